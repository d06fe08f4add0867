// Natives of com.norvane.guinative.DesktopIndicator: each enabled indicator has a hidden window,
// owned by the library's one indicator thread, whose click notifications (WM_USER + 1 with
// WM_LBUTTONDBLCLK, as notification-area icons report them) call the object's fireClicked; and
// the icon and window helpers of the same class.
//
// The indicator thread lives while at least one indicator is enabled. Enabling and disabling
// post commands to it; it creates and destroys the windows and the records. A small lock keeps
// the records, their count and the thread's identity consistent between the Java threads and the
// indicator thread, so that an enable never meets a thread that is on its way out, and a
// record is destroyed exactly once.
#include "../common/class_cache.h"
#include "../common/library_state.h"
#include "../common/live_objects.h"
#include "../common/strings.h"
#include "../dialup/application_window.h"

#include <windows.h>

#include <jni.h>

#include <cstdio>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

using namespace pallux;

namespace {

constexpr UINT kCommandMessage = WM_USER;
constexpr WPARAM kCreateWindow = 1;
constexpr WPARAM kUpdate = 2;
constexpr WPARAM kDestroy = 3;
constexpr UINT kNotifyMessage = WM_USER + 1;

const char kWindowClass[] = "PemrixBackupWindowClass";
const char kWindowTitle[] = "PemrixBackupWindow";
const char kThreadName[] = "Desktop indicator";

struct IndicatorRecord {
    HWND window = nullptr;  // only touched by the indicator thread
    LONG_PTR image = 0;     // kept for the caller, never read
    jobject object = nullptr;
    HeapPtr<char> tooltip;  // kept for the caller, never read
    jmethodID clicked = nullptr;
    bool disabling = false;  // a destroy command is on its way (under the state's lock)
};

struct IndicatorState {
    std::mutex lock;
    // Under the lock.
    JavaVM *vm = nullptr;
    DWORD threadId = 0;  // 0 while no indicator thread takes commands
    std::unordered_set<IndicatorRecord *> records;
    bool classRegistered = false;
    // Set by the starter before the thread runs, read by the thread.
    HANDLE ready = nullptr;
};

IndicatorState &indicators()
{
    // Never destroyed: the indicator thread may still run while the library unloads.
    static IndicatorState *const state = new IndicatorState;
    return *state;
}

// The indicator thread's environment, for its window procedure.
thread_local JNIEnv *indicatorEnv = nullptr;

void cacheCommonClassesOnce(JNIEnv *env)
{
    if (!classCache.nullPointerException)
        cacheCommonClasses(env);
}

jfieldID handlerField(JNIEnv *env, jobject object)
{
    jclass type = env->GetObjectClass(object);
    jfieldID field = env->GetFieldID(type, "handler", "J");
    env->DeleteLocalRef(type);
    return field;
}

// The record that an object's handler names, checked against the records alive; raises
// IllegalStateException for a value that names none (null, with nothing raised, for 0).
IndicatorRecord *recordOf(JNIEnv *env, jlong handler, bool &bad)
{
    bad = false;
    if (handler == 0)
        return nullptr;
    auto *record = reinterpret_cast<IndicatorRecord *>(static_cast<intptr_t>(handler));
    if (liveObjects().contains(record, ObjectKind::indicatorRecord))
        return record;
    bad = true;
    jclass illegalState = env->FindClass("java/lang/IllegalStateException");
    if (illegalState)
        env->ThrowNew(illegalState, "the indicator's handler names no enabled indicator");
    return nullptr;
}

void freeRecord(JNIEnv *env, IndicatorRecord *record)
{
    if (record->window)
        DestroyWindow(record->window);
    env->DeleteGlobalRef(record->object);
    delete record;
}

// Forgets a record (under the lock): it is no longer alive, and its object is disabled.
void retireRecord(JNIEnv *env, IndicatorState &state, IndicatorRecord *record)
{
    liveObjects().remove(record, ObjectKind::indicatorRecord);
    state.records.erase(record);
    if (jfieldID field = handlerField(env, record->object))
        env->SetLongField(record->object, field, 0);
    else
        env->ExceptionClear();  // the object's class lost its field? then there is nothing to clear
}

LRESULT CALLBACK indicatorWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kNotifyMessage && static_cast<UINT>(lParam) == WM_LBUTTONDBLCLK) {
        auto *record = reinterpret_cast<IndicatorRecord *>(GetWindowLongPtrA(window, GWLP_USERDATA));
        JNIEnv *env = indicatorEnv;
        // Records are destroyed on this thread only, so one alive now stays alive for the call.
        if (env && record && liveObjects().contains(record, ObjectKind::indicatorRecord)) {
            env->CallVoidMethod(record->object, record->clicked);
            // Nobody above this thread would see the exception: report it and go on.
            if (env->ExceptionCheck()) {
                env->ExceptionDescribe();
                env->ExceptionClear();
            }
        }
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Registers the window class once in the process (the first time a window is needed); the
// error code of a failed registration, else 0.
DWORD registerWindowClass(IndicatorState &state)
{
    if (state.classRegistered)
        return 0;
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = indicatorWindowProcedure;
    windowClass.lpszClassName = kWindowClass;
    if (!RegisterClassExA(&windowClass)) {
        DWORD error = GetLastError();
        if (error != ERROR_CLASS_ALREADY_EXISTS)
            return error;
    }
    state.classRegistered = true;
    return 0;
}

void createWindow(IndicatorState &state, IndicatorRecord *candidate)
{
    DWORD registrationError;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (!liveObjects().contains(candidate, ObjectKind::indicatorRecord))
            return;
        registrationError = registerWindowClass(state);
    }
    if (registrationError) {
        char caption[16];
        snprintf(caption, sizeof caption, "%lx", static_cast<unsigned long>(registrationError));
        MessageBoxA(nullptr, " ", caption, MB_OK);
        return;
    }
    HWND window = CreateWindowExA(0, kWindowClass, kWindowTitle, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                  nullptr);
    if (!window) {
        MessageBoxA(nullptr, " ", " ", MB_OK);
        return;
    }
    candidate->window = window;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(candidate));
}

// Destroys a record whose disable is still wanted; true when it was the last one and the thread
// is to end.
bool destroyRecord(JNIEnv *env, IndicatorState &state, IndicatorRecord *candidate)
{
    bool last;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        // Gone already, or enabled again since the disable: nothing to do.
        if (!liveObjects().contains(candidate, ObjectKind::indicatorRecord) || !candidate->disabling)
            return false;
        retireRecord(env, state, candidate);
        last = state.records.empty();
        if (last)
            state.threadId = 0;
    }
    freeRecord(env, candidate);
    return last;
}

// The loop ended without its last destroy (a quit message, a failing queue): every indicator
// still enabled is disabled here, and a later enable starts a new thread.
void retireAll(JNIEnv *env, IndicatorState &state)
{
    std::vector<IndicatorRecord *> remaining;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        remaining.assign(state.records.begin(), state.records.end());
        for (IndicatorRecord *record : remaining)
            retireRecord(env, state, record);
        state.threadId = 0;
    }
    for (IndicatorRecord *record : remaining)
        freeRecord(env, record);
}

DWORD WINAPI indicatorThread(LPVOID parameter)
{
    IndicatorState &state = *static_cast<IndicatorState *>(parameter);
    JNIEnv *env = nullptr;
    JavaVMAttachArgs arguments{JNI_VERSION_1_6, const_cast<char *>(kThreadName), nullptr};
    // A daemon: a virtual machine being destroyed does not wait for this thread.
    if (state.vm->AttachCurrentThreadAsDaemon(reinterpret_cast<void **>(&env), &arguments) != JNI_OK)
        return 1;
    indicatorEnv = env;
    MSG message;
    // Asking for a message gives the thread its queue, so posts to it succeed from here on.
    PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    SetEvent(state.ready);

    BOOL received;
    while ((received = GetMessageA(&message, nullptr, 0, 0)) != 0 && received != -1) {
        if (message.message == kCommandMessage && !message.hwnd) {
            auto *record = reinterpret_cast<IndicatorRecord *>(message.lParam);
            if (message.wParam == kCreateWindow) {
                createWindow(state, record);
            } else if (message.wParam == kDestroy && destroyRecord(env, state, record)) {
                state.vm->DetachCurrentThread();
                return 0;
            }
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    retireAll(env, state);
    state.vm->DetachCurrentThread();
    return 0;
}

// Starts the indicator thread (under the lock) and waits until it takes commands; false when
// it could not be started or could not attach.
bool startIndicatorThread(JNIEnv *env, IndicatorState &state)
{
    if (env->GetJavaVM(&state.vm) != JNI_OK)
        return false;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ready)
        return false;
    state.ready = ready;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, indicatorThread, &state, 0, &id);
    DWORD started = WAIT_FAILED;
    if (thread) {
        HANDLE waits[2] = {ready, thread};
        started = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        CloseHandle(thread);
    }
    CloseHandle(ready);
    state.ready = nullptr;
    if (started != WAIT_OBJECT_0)
        return false;
    state.threadId = id;
    return true;
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_norvane_guinative_DesktopIndicator_nativeEnable(JNIEnv *env, jobject self, jint image,
                                                                                 jstring tooltip)
{
    cacheCommonClassesOnce(env);
    HeapPtr<char> text(javaStringToUtf(env, tooltip));
    if (!text)
        return;
    jfieldID field = handlerField(env, self);
    if (!field)
        return;
    IndicatorState &state = indicators();
    std::lock_guard<std::mutex> guard(state.lock);
    bool bad = false;
    if (IndicatorRecord *record = recordOf(env, env->GetLongField(self, field), bad)) {
        record->image = static_cast<LONG_PTR>(image);
        record->tooltip = std::move(text);
        // An enable after a disable that the thread has not carried out yet keeps the indicator.
        record->disabling = false;
        PostThreadMessageA(state.threadId, kCommandMessage, kUpdate, reinterpret_cast<LPARAM>(record));
        return;
    }
    if (bad)
        return;

    auto *record = new (std::nothrow) IndicatorRecord;
    if (!record)
        return;
    jclass type = env->GetObjectClass(self);
    record->clicked = env->GetMethodID(type, "fireClicked", "()V");
    env->DeleteLocalRef(type);
    record->object = record->clicked ? env->NewGlobalRef(self) : nullptr;
    if (!record->object) {
        delete record;
        return;
    }
    record->image = static_cast<LONG_PTR>(image);
    record->tooltip = std::move(text);
    if (!state.threadId && !startIndicatorThread(env, state)) {
        env->DeleteGlobalRef(record->object);
        delete record;
        return;
    }
    liveObjects().add(record, ObjectKind::indicatorRecord);
    state.records.insert(record);
    env->SetLongField(self, field, static_cast<jlong>(reinterpret_cast<intptr_t>(record)));
    // The thread takes commands until the last record is destroyed, which needs this one too.
    PostThreadMessageA(state.threadId, kCommandMessage, kCreateWindow, reinterpret_cast<LPARAM>(record));
}

JNIEXPORT void JNICALL Java_com_norvane_guinative_DesktopIndicator_nativeDisable(JNIEnv *env, jobject self)
{
    jfieldID field = handlerField(env, self);
    if (!field)
        return;
    IndicatorState &state = indicators();
    std::lock_guard<std::mutex> guard(state.lock);
    bool bad = false;
    IndicatorRecord *record = recordOf(env, env->GetLongField(self, field), bad);
    // Never enabled, or a disable already on its way.
    if (!record || record->disabling)
        return;
    record->disabling = true;
    if (!PostThreadMessageA(state.threadId, kCommandMessage, kDestroy, reinterpret_cast<LPARAM>(record)))
        record->disabling = false;  // a later disable tries again
}

JNIEXPORT jint JNICALL Java_com_norvane_guinative_DesktopIndicator_nativeLoadImage(JNIEnv *env, jclass,
                                                                                    jstring fileName)
{
    cacheCommonClassesOnce(env);
    HeapPtr<char> name(javaStringToUtf(env, fileName));
    if (!name)
        return -1;
    HICON icon = ExtractIconA(libraryState.module, name.get(), 0);
    return icon ? static_cast<jint>(reinterpret_cast<intptr_t>(icon)) : -1;
}

JNIEXPORT jint JNICALL Java_com_norvane_guinative_DesktopIndicator_nativeFreeImage(JNIEnv *, jclass, jint image)
{
    return DestroyIcon(reinterpret_cast<HICON>(static_cast<intptr_t>(image)));
}

JNIEXPORT jint JNICALL Java_com_norvane_guinative_DesktopIndicator_nativeRestoreWindow(JNIEnv *, jclass)
{
    HWND window = findApplicationWindow();
    ShowWindow(window, SW_RESTORE);
    return SetForegroundWindow(window);
}

}  // extern "C"
