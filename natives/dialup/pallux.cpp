// Natives of com.norvane.dialup.Pallux: the dial-up phonebook and connections through the remote
// access library, and the desktop helpers of the same class (the application's window title,
// bringing a running instance forward, opening a document through the shell).
//
// Remote access failures come back as values, never as exceptions; every dial-up native has a
// value for a remote access library that is missing or lacks the function it needs.
#include "../common/class_cache.h"
#include "../common/strings.h"
#include "application_window.h"
#include "remote_access.h"

#include <windows.h>

#include <ras.h>
#include <raserror.h>

#include <jni.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

using namespace pallux;

namespace {

// The record versions this library uses, chosen by their size fields.
constexpr DWORD kEntryNameSize = 532;
constexpr DWORD kConnectionSize = 708;
constexpr DWORD kDialParamsSize = 1064;
constexpr DWORD kStatusSize = 288;
static_assert(sizeof(RASENTRYNAMEA) == kEntryNameSize, "RASENTRYNAMEA of Windows 2000 and later");
static_assert(sizeof(RASCONNA) == kConnectionSize, "RASCONNA of Windows XP");
static_assert(offsetof(RASDIALPARAMSA, dwCallbackId) + sizeof(ULONG_PTR) == kDialParamsSize,
              "RASDIALPARAMSA of Windows NT 4 and later");
static_assert(sizeof(RASCONNSTATUSA) == kStatusSize, "RASCONNSTATUSA of Windows NT 4 and later");

constexpr jint kNoConnectionStatus = ERROR_INVALID_PORT_HANDLE;  // 601
constexpr jint kUnavailable = -1;
constexpr DWORD kEntryRecords = 20;
// RasEnumConnections asks again when connections appear between its two calls, this often.
constexpr int kConnectionListAttempts = 3;

// The notifier that RasDialA is given: a window-message notifier, so the call returns at once;
// the value is no window, so no notification is ever delivered.
constexpr DWORD kWindowNotifier = 0xFFFFFFFF;
LPVOID const kNoWindow = reinterpret_cast<LPVOID>(1);

void cacheCommonClassesOnce(JNIEnv *env)
{
    if (!classCache.nullPointerException)
        cacheCommonClasses(env);
}

HRASCONN toConnection(jlong handle)
{
    return reinterpret_cast<HRASCONN>(static_cast<intptr_t>(handle));
}

// Copies a string into a fixed field of a record; false when it does not fit with its NUL.
template <size_t N>
bool copyIntoField(CHAR (&field)[N], const char *text)
{
    size_t length = strlen(text);
    if (length >= N)
        return false;
    memcpy(field, text, length + 1);
    return true;
}

// Overwrites a secret where the compiler cannot drop the writes as dead stores.
void wipe(void *memory, size_t size)
{
    volatile unsigned char *bytes = static_cast<volatile unsigned char *>(memory);
    while (size--)
        *bytes++ = 0;
}

struct WipedPassword {
    char *text;
    ~WipedPassword()
    {
        if (text)
            wipe(text, strlen(text));
        free(text);
    }
};

// The array of WinRasEntry objects for the connection records, or null with an exception pending.
jobjectArray connectionArray(JNIEnv *env, const RASCONNA *connections, DWORD count)
{
    jclass entryClass = env->FindClass("com/norvane/dialup/WinRasEntry");
    if (!entryClass)
        return nullptr;
    jfieldID nameField = env->GetFieldID(entryClass, "name", "Ljava/lang/String;");
    jfieldID handleField = nameField ? env->GetFieldID(entryClass, "handle", "J") : nullptr;
    jobjectArray array = handleField ? env->NewObjectArray(static_cast<jsize>(count), entryClass, nullptr) : nullptr;
    if (!array) {
        env->DeleteLocalRef(entryClass);
        return nullptr;
    }
    for (DWORD i = 0; i < count; ++i) {
        jobject entry = env->AllocObject(entryClass);
        if (!entry)
            return nullptr;
        char name[sizeof connections[i].szEntryName];
        memcpy(name, connections[i].szEntryName, sizeof name);
        name[sizeof name - 1] = '\0';
        jstring nameString = env->NewStringUTF(name);
        if (!nameString)
            return nullptr;
        env->SetObjectField(entry, nameField, nameString);
        env->SetLongField(entry, handleField, static_cast<jlong>(reinterpret_cast<intptr_t>(connections[i].hrasconn)));
        env->SetObjectArrayElement(array, static_cast<jsize>(i), entry);
        env->DeleteLocalRef(nameString);
        env->DeleteLocalRef(entry);
        if (env->ExceptionCheck())
            return nullptr;
    }
    env->DeleteLocalRef(entryClass);
    return array;
}

}  // namespace

extern "C" {

JNIEXPORT jobjectArray JNICALL Java_com_norvane_dialup_Pallux_RasEnumEntries(JNIEnv *env, jclass)
{
    if (!remoteAccess.available || !remoteAccess.enumEntries)
        return nullptr;
    HeapPtr<RASENTRYNAMEA> entries(static_cast<RASENTRYNAMEA *>(calloc(kEntryRecords, kEntryNameSize)));
    if (!entries)
        return nullptr;
    entries.get()[0].dwSize = kEntryNameSize;
    DWORD bytes = kEntryRecords * kEntryNameSize;
    DWORD count = 0;
    // More entries than the room holds is ERROR_BUFFER_TOO_SMALL, and null.
    if (remoteAccess.enumEntries(nullptr, nullptr, entries.get(), &bytes, &count) != 0)
        return nullptr;
    count = std::min(count, kEntryRecords);
    jclass stringClass = env->FindClass("java/lang/String");
    if (!stringClass)
        return nullptr;
    jobjectArray names = env->NewObjectArray(static_cast<jsize>(count), stringClass, nullptr);
    env->DeleteLocalRef(stringClass);
    if (!names)
        return nullptr;
    for (DWORD i = 0; i < count; ++i) {
        RASENTRYNAMEA &entry = entries.get()[i];
        entry.szEntryName[sizeof entry.szEntryName - 1] = '\0';
        jstring name = env->NewStringUTF(entry.szEntryName);
        if (!name)
            return nullptr;
        env->SetObjectArrayElement(names, static_cast<jsize>(i), name);
        env->DeleteLocalRef(name);
        if (env->ExceptionCheck())
            return nullptr;
    }
    return names;
}

JNIEXPORT jobjectArray JNICALL Java_com_norvane_dialup_Pallux_RasEnumConnections(JNIEnv *env, jclass)
{
    if (!remoteAccess.available || !remoteAccess.enumConnections)
        return nullptr;
    for (int attempt = 0; attempt < kConnectionListAttempts; ++attempt) {
        RASCONNA probe{};
        probe.dwSize = kConnectionSize;
        DWORD bytes = 0;
        DWORD count = 0;
        remoteAccess.enumConnections(&probe, &bytes, &count);
        if (bytes == 0)
            return nullptr;
        HeapPtr<RASCONNA> connections(static_cast<RASCONNA *>(calloc(1, bytes)));
        if (!connections)
            return nullptr;
        connections.get()[0].dwSize = kConnectionSize;
        DWORD filled = bytes;
        count = 0;
        DWORD result = remoteAccess.enumConnections(connections.get(), &filled, &count);
        // A connection dialled since the first call makes the room too small: ask again.
        if (result == ERROR_BUFFER_TOO_SMALL)
            continue;
        if (result != 0)
            return nullptr;
        // The count is only trusted as far as the room reaches.
        count = std::min(count, bytes / kConnectionSize);
        if (count == 0)
            return nullptr;
        return connectionArray(env, connections.get(), count);
    }
    return nullptr;
}

JNIEXPORT jlong JNICALL Java_com_norvane_dialup_Pallux_RasDial(JNIEnv *env, jclass, jstring entry, jstring user,
                                                               jstring password)
{
    if (!remoteAccess.available || !remoteAccess.dial)
        return kUnavailable;
    cacheCommonClassesOnce(env);
    HeapPtr<char> entryName(javaStringToUtf(env, entry));
    if (!entryName)
        return kUnavailable;
    HeapPtr<char> userName(javaStringToUtf(env, user));
    if (!userName)
        return kUnavailable;
    WipedPassword secret{javaStringToUtf(env, password)};
    if (!secret.text)
        return kUnavailable;

    RASDIALPARAMSA parameters{};
    parameters.dwSize = kDialParamsSize;
    // A string longer than its field is refused rather than cut: a cut name dials another
    // entry, a cut password fails in a way nobody could explain.
    const bool fits = copyIntoField(parameters.szEntryName, entryName.get()) &&
                      copyIntoField(parameters.szUserName, userName.get()) &&
                      copyIntoField(parameters.szPassword, secret.text);
    if (!fits) {
        wipe(parameters.szPassword, sizeof parameters.szPassword);
        return kUnavailable;
    }
    HRASCONN connection = nullptr;
    DWORD result = remoteAccess.dial(nullptr, nullptr, &parameters, kWindowNotifier, kNoWindow, &connection);
    wipe(parameters.szPassword, sizeof parameters.szPassword);
    if (result == 0)
        return static_cast<jlong>(reinterpret_cast<intptr_t>(connection));
    // A dial that fails may still have made its connection, which is then the caller's to end.
    if (connection)
        remoteAccess.hangUp(connection);
    // Remote access errors (600 and up) become 0 or less; a system error would become a
    // positive number that looks like a handle.
    return result >= RASBASE ? static_cast<jlong>(RASBASE) - static_cast<jlong>(result) : kUnavailable;
}

JNIEXPORT jint JNICALL Java_com_norvane_dialup_Pallux_RasGetConnectStatus(JNIEnv *, jclass, jlong handle)
{
    if (!remoteAccess.available || !remoteAccess.getConnectStatus)
        return kNoConnectionStatus;
    RASCONNSTATUSA status{};
    status.dwSize = kStatusSize;
    if (remoteAccess.getConnectStatus(toConnection(handle), &status) != 0)
        return kNoConnectionStatus;
    return static_cast<jint>(status.rasconnstate);
}

JNIEXPORT jint JNICALL Java_com_norvane_dialup_Pallux_RasHangUp(JNIEnv *, jclass, jlong handle)
{
    if (!remoteAccess.available)
        return kUnavailable;
    return static_cast<jint>(remoteAccess.hangUp(toConnection(handle)));
}

JNIEXPORT void JNICALL Java_com_norvane_dialup_Pallux_SetTitle(JNIEnv *env, jclass, jstring title)
{
    cacheCommonClassesOnce(env);
    HeapPtr<char> text(javaStringToUtf(env, title));
    if (!text)
        return;
    setApplicationTitle(text.get());
}

JNIEXPORT jint JNICALL Java_com_norvane_dialup_Pallux_newInstance(JNIEnv *, jclass)
{
    HWND running = findApplicationWindow();
    if (!running)
        return 1;
    ShowWindow(running, SW_RESTORE);
    SetForegroundWindow(running);
    return 0;
}

JNIEXPORT void JNICALL Java_com_norvane_dialup_Pallux_ExecShell(JNIEnv *env, jclass, jstring file)
{
    cacheCommonClassesOnce(env);
    HeapPtr<char> name(javaStringToUtf(env, file));
    if (!name)
        return;
    ShellExecuteA(nullptr, "open", name.get(), nullptr, nullptr, SW_HIDE);
}

}  // extern "C"
