// Natives of com.norvane.fileutils.Win32FileNatives: directory enumeration with attributes and
// 64-bit sizes, directory change notification, drive types, and moves that report failures with
// the system's text. Enumeration and drive types use the wide functions on the NT family and the
// narrow ones on Windows 9x; change notification is always narrow, moving always wide.
#include "../common/class_cache.h"
#include "../common/errors.h"
#include "../common/library_state.h"
#include "../common/live_objects.h"
#include "../common/paths.h"
#include "../common/strings.h"

#include <windows.h>

#include <jni.h>

#include <atomic>
#include <cstring>

using namespace pallux;

namespace {

HANDLE toHandle(jlong value)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(value));
}

jlong fromHandle(HANDLE handle)
{
    return static_cast<jlong>(reinterpret_cast<intptr_t>(handle));
}

// The modified UTF-8 bytes of a Java string, for the narrow functions; given back on every path.
class BorrowedUtf {
public:
    BorrowedUtf(JNIEnv *env, jstring string) : env_(env), string_(string)
    {
        bytes_ = string ? env->GetStringUTFChars(string, nullptr) : nullptr;
    }
    ~BorrowedUtf()
    {
        if (bytes_)
            env_->ReleaseStringUTFChars(string_, bytes_);
    }
    BorrowedUtf(const BorrowedUtf &) = delete;
    BorrowedUtf &operator=(const BorrowedUtf &) = delete;
    const char *get() const { return bytes_; }

private:
    JNIEnv *env_;
    jstring string_;
    const char *bytes_;
};

void throwNullPointer(JNIEnv *env)
{
    env->ThrowNew(classCache.nullPointerException, "");
}

// The shared class cache, which this class has no init native to fill. False with the virtual
// machine's error pending when a java.lang class is missing.
bool commonClassesReady(JNIEnv *env)
{
    if (classCache.nullPointerException)
        return true;
    cacheCommonClasses(env);
    return !env->ExceptionCheck();
}

// The four fields of the caller's file-information class.
struct InformationFields {
    jclass type = nullptr;  // held globally: the field IDs are valid while the class is
    jfieldID filename = nullptr;
    jfieldID fileattrib = nullptr;
    jfieldID filesize = nullptr;
    jfieldID directory = nullptr;
};

bool lookUpFields(JNIEnv *env, jclass type, InformationFields &fields)
{
    fields.type = type;
    fields.filename = env->GetFieldID(type, "filename", "Ljava/lang/String;");
    fields.fileattrib = fields.filename ? env->GetFieldID(type, "fileattrib", "J") : nullptr;
    fields.filesize = fields.fileattrib ? env->GetFieldID(type, "filesize", "J") : nullptr;
    fields.directory = fields.filesize ? env->GetFieldID(type, "directory", "Z") : nullptr;
    return fields.directory != nullptr;
}

// The field identifiers of one native, looked up on the class of the first information object it
// receives and kept once every lookup succeeded. An object of another class has its own looked
// up, so a caller that mixes classes gets its fields or NoSuchFieldError, never a wrong field.
class FieldCache {
public:
    // False with the virtual machine's error pending.
    bool fieldsFor(JNIEnv *env, jobject info, InformationFields &out)
    {
        const InformationFields *cached = cached_.load(std::memory_order_acquire);
        if (cached && env->IsInstanceOf(info, cached->type)) {
            out = *cached;
            return true;
        }
        jclass type = env->GetObjectClass(info);
        if (!type || !lookUpFields(env, type, out)) {
            if (type)
                env->DeleteLocalRef(type);
            return false;
        }
        if (!cached) {
            auto *fresh = new InformationFields(out);
            fresh->type = static_cast<jclass>(env->NewGlobalRef(type));
            const InformationFields *expected = nullptr;
            if (!fresh->type || !cached_.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
                // Another thread's first call stored the same identifiers first.
                if (fresh->type)
                    env->DeleteGlobalRef(fresh->type);
                delete fresh;
            }
        }
        env->DeleteLocalRef(type);
        out.type = nullptr;
        return true;
    }

private:
    std::atomic<const InformationFields *> cached_{nullptr};
};

FieldCache firstFileFields;
FieldCache nextFileFields;
std::atomic<jclass> fileNotFoundException{nullptr};

bool fileNotFoundExceptionReady(JNIEnv *env)
{
    if (fileNotFoundException.load(std::memory_order_acquire))
        return true;
    jclass local = env->FindClass("java/io/FileNotFoundException");
    if (!local)
        return false;
    auto global = static_cast<jclass>(env->NewWeakGlobalRef(local));
    env->DeleteLocalRef(local);
    if (!global)
        return false;
    jclass expected = nullptr;
    if (!fileNotFoundException.compare_exchange_strong(expected, global, std::memory_order_acq_rel))
        env->DeleteWeakGlobalRef(global);
    return true;
}

// Sets the four fields; false with the virtual machine's error pending when the name could not
// be made.
bool fillInformation(JNIEnv *env, jobject info, const InformationFields &fields, jstring name, DWORD attributes,
                     DWORD sizeHigh, DWORD sizeLow)
{
    if (!name)
        return false;
    env->SetObjectField(info, fields.filename, name);
    env->DeleteLocalRef(name);
    env->SetLongField(info, fields.fileattrib, static_cast<jlong>(attributes));
    env->SetLongField(info, fields.filesize,
                      static_cast<jlong>((static_cast<uint64_t>(sizeHigh) << 32) | static_cast<uint64_t>(sizeLow)));
    env->SetBooleanField(info, fields.directory, (attributes & FILE_ATTRIBUTE_DIRECTORY) ? JNI_TRUE : JNI_FALSE);
    return true;
}

bool fillFromWide(JNIEnv *env, jobject info, const InformationFields &fields, const WIN32_FIND_DATAW &entry)
{
    jsize length = 0;
    while (length < MAX_PATH && entry.cFileName[length] != 0)
        ++length;
    jstring name = env->NewString(reinterpret_cast<const jchar *>(entry.cFileName), length);
    return fillInformation(env, info, fields, name, entry.dwFileAttributes, entry.nFileSizeHigh, entry.nFileSizeLow);
}

bool fillFromNarrow(JNIEnv *env, jobject info, const InformationFields &fields, const WIN32_FIND_DATAA &entry)
{
    char name[MAX_PATH + 1] = {};
    memcpy(name, entry.cFileName, MAX_PATH);  // terminated even if the record's name is not
    return fillInformation(env, info, fields, env->NewStringUTF(name), entry.dwFileAttributes, entry.nFileSizeHigh,
                           entry.nFileSizeLow);
}

jlong findFirstWide(JNIEnv *env, jstring pattern, jobject info, const InformationFields &fields)
{
    NativePath path(env, pattern);
    if (!path)
        return 0;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(path.get(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        env->ThrowNew(fileNotFoundException.load(std::memory_order_acquire), "");
        return 0;
    }
    if (!fillFromWide(env, info, fields, entry)) {
        FindClose(search);
        return 0;
    }
    liveObjects().add(search, ObjectKind::findHandle);
    return fromHandle(search);
}

jlong findFirstNarrow(JNIEnv *env, jstring pattern, jobject info, const InformationFields &fields)
{
    if (!pattern) {
        throwNullPointer(env);
        return 0;
    }
    BorrowedUtf bytes(env, pattern);
    if (!bytes.get())
        return 0;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(bytes.get(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    if (!fillFromNarrow(env, info, fields, entry)) {
        FindClose(search);
        return 0;
    }
    liveObjects().add(search, ObjectKind::findHandle);
    return fromHandle(search);
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_norvane_fileutils_Win32FileNatives_nativeFindFirstFile(JNIEnv *env, jclass,
                                                                                        jstring pattern, jobject info)
{
    if (!commonClassesReady(env))
        return 0;
    if (!info) {
        throwNullPointer(env);
        return 0;
    }
    InformationFields fields;
    if (!firstFileFields.fieldsFor(env, info, fields) || !fileNotFoundExceptionReady(env))
        return 0;
    return libraryState.ntFamily ? findFirstWide(env, pattern, info, fields)
                                 : findFirstNarrow(env, pattern, info, fields);
}

JNIEXPORT jobject JNICALL Java_com_norvane_fileutils_Win32FileNatives_nativeFindNextFile(JNIEnv *env, jclass,
                                                                                         jlong handle, jobject info)
{
    if (!commonClassesReady(env))
        return nullptr;
    if (handle == 0 || !info) {
        throwNullPointer(env);
        return nullptr;
    }
    InformationFields fields;
    if (!nextFileFields.fieldsFor(env, info, fields))
        return nullptr;
    // A search that was closed, or a value that never was one, ends like a failed call; Windows
    // itself would read freed memory through it.
    if (!liveObjects().contains(toHandle(handle), ObjectKind::findHandle))
        return nullptr;
    bool filled;
    if (libraryState.ntFamily) {
        WIN32_FIND_DATAW entry;
        if (!FindNextFileW(toHandle(handle), &entry))
            return nullptr;
        filled = fillFromWide(env, info, fields, entry);
    } else {
        WIN32_FIND_DATAA entry;
        if (!FindNextFileA(toHandle(handle), &entry))
            return nullptr;
        filled = fillFromNarrow(env, info, fields, entry);
    }
    return filled ? info : nullptr;
}

JNIEXPORT jint JNICALL Java_com_norvane_fileutils_Win32FileNatives_nativeFindClose(JNIEnv *, jclass, jlong handle)
{
    if (!liveObjects().remove(toHandle(handle), ObjectKind::findHandle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return FindClose(toHandle(handle));
}

JNIEXPORT jlong JNICALL Java_com_norvane_fileutils_Win32FileNatives_nativeFindFirstChangeNotification(
    JNIEnv *env, jclass, jstring directory, jboolean subtree, jint filter)
{
    if (!commonClassesReady(env))
        return fromHandle(INVALID_HANDLE_VALUE);
    if (!directory) {
        throwNullPointer(env);
        return fromHandle(INVALID_HANDLE_VALUE);
    }
    BorrowedUtf bytes(env, directory);
    if (!bytes.get())
        return fromHandle(INVALID_HANDLE_VALUE);
    return fromHandle(FindFirstChangeNotificationA(bytes.get(), subtree ? TRUE : FALSE, static_cast<DWORD>(filter)));
}

JNIEXPORT jint JNICALL Java_com_norvane_fileutils_Win32FileNatives_nativeFindNextChangeNotification(JNIEnv *, jclass,
                                                                                                    jlong handle)
{
    return FindNextChangeNotification(toHandle(handle));
}

JNIEXPORT jint JNICALL Java_com_norvane_fileutils_Win32FileNatives_nativeFindCloseChangeNotification(JNIEnv *,
                                                                                                     jclass,
                                                                                                     jlong handle)
{
    return FindCloseChangeNotification(toHandle(handle));
}

JNIEXPORT jlong JNICALL Java_com_norvane_fileutils_Win32FileNatives_nativeWaitForSingleObject(JNIEnv *, jclass,
                                                                                              jlong handle,
                                                                                              jint milliseconds)
{
    DWORD result = WaitForSingleObject(toHandle(handle), static_cast<DWORD>(milliseconds));
    return static_cast<jlong>(result);
}

JNIEXPORT jint JNICALL Java_com_norvane_fileutils_Win32FileNatives_nativeDriveType(JNIEnv *env, jclass, jstring root)
{
    if (!commonClassesReady(env))
        return 0;
    UINT type;
    if (libraryState.ntFamily) {
        HeapPtr<WCHAR> wide(javaStringToWide(env, root));
        if (!wide)
            return 0;
        type = GetDriveTypeW(wide.get());
    } else {
        if (!root) {
            throwNullPointer(env);
            return 0;
        }
        BorrowedUtf bytes(env, root);
        if (!bytes.get())
            return 0;
        type = GetDriveTypeA(bytes.get());
    }
    return type >= DRIVE_NO_ROOT_DIR && type <= DRIVE_RAMDISK ? static_cast<jint>(type) : 0;
}

JNIEXPORT void JNICALL Java_com_norvane_fileutils_Win32FileNatives_MoveFileEx0(JNIEnv *env, jclass,
                                                                               jstring existingName, jstring newName,
                                                                               jint flags)
{
    if (!commonClassesReady(env))
        return;
    // Terminated copies: the characters a Java string lends are not.
    HeapPtr<WCHAR> existing(javaStringToWide(env, existingName));
    if (!existing)
        return;
    HeapPtr<WCHAR> target;
    if (newName) {
        target.reset(javaStringToWide(env, newName));
        if (!target)
            return;
    }
    if (MoveFileExW(existing.get(), target.get(), static_cast<DWORD>(flags)))
        return;
    const DWORD error = GetLastError();
    jclass ioException = env->FindClass("java/io/IOException");
    if (!ioException)
        return;
    throwSystemError(env, ioException, error);
    env->DeleteLocalRef(ioException);
}

}  // extern "C"
