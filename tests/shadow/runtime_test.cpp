// The shadow copy bridge's own routines: BSTR copies, result checks, waits for asynchronous
// operations and, against a JVM created in this process, the making and deletion of native
// objects.
#include "machine/counters.h"
#include "ole32/com.h"
#include "runtime/class_cache.h"
#include "runtime/conversions.h"
#include "runtime/errors.h"
#include "runtime/native_objects.h"
#include "runtime/service_calls.h"

#include <windows.h>
#include <vsbackup.h>

#include <gtest/gtest.h>

#include <jni.h>

#include <future>
#include <string>
#include <thread>

using namespace shadelink;

TEST(CopyBstr, NullGivesEmptyAndAnEmbeddedNulEndsTheCopy)
{
    int64_t alive = winsim::counterValue("oleaut32.bstr.alive");
    OwnedString empty = copyBstr(nullptr);
    EXPECT_EQ(empty[0], 0);
    OwnedString cut = copyBstr(SysAllocStringLen(u"ab\0cd", 5));
    EXPECT_EQ(std::u16string(cut.get()), u"ab");
    for (int i = 2; i <= 5; ++i)
        EXPECT_EQ(cut[i], 0) << i;
    EXPECT_EQ(std::u16string(copyBstr(SysAllocString(u"name")).get()), u"name");
    EXPECT_EQ(winsim::counterValue("oleaut32.bstr.alive"), alive);
}

TEST(CheckResult, OnlyS_OKPasses)
{
    EXPECT_NO_THROW(checkResult(S_OK));
    try {
        checkResult(S_FALSE);
        FAIL() << "S_FALSE passed";
    } catch (const VssError &error) {
        EXPECT_STREQ(error.message(), "Call returned \"False\"");
    }
    EXPECT_STREQ(resultMessage(VSS_S_ASYNC_FINISHED), "Unknown VSS or COM error");
    EXPECT_STREQ(resultMessage(E_INVALIDARG), "Ivalid argument");
}

namespace {

class FakeAsync : public IVssAsync {
public:
    FakeAsync(HRESULT status, HRESULT waitResult = S_OK) : status_(status), waitResult_(waitResult) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE Cancel() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Wait(DWORD timeout) override
    {
        waitedFor = timeout;
        return waitResult_;
    }
    HRESULT STDMETHODCALLTYPE QueryStatus(HRESULT *status, INT *reserved) override
    {
        EXPECT_EQ(reserved, nullptr);
        *status = status_;
        return S_OK;
    }
    ULONG references = 1;
    DWORD waitedFor = 0;

private:
    HRESULT status_;
    HRESULT waitResult_;
};

std::string outcome(HRESULT callResult, FakeAsync *async)
{
    try {
        waitForAsync(callResult, async);
        return "";
    } catch (const VssError &error) {
        return error.message();
    }
}

}  // namespace

TEST(WaitForAsync, EveryEndingReleasesTheOperationOnce)
{
    struct Case {
        HRESULT call, wait, status;
        const char *message;
    } cases[] = {
        {S_OK, S_OK, VSS_S_ASYNC_FINISHED, ""},
        {S_OK, S_OK, S_OK, ""},
        {S_OK, S_OK, VSS_S_ASYNC_CANCELLED, "Async call cancelled"},
        {S_OK, S_OK, VSS_S_ASYNC_PENDING, "Async call pending"},
        {S_OK, S_OK, VSS_E_PROVIDER_VETO, "Provider veto - see event log"},
        {S_OK, E_FAIL, VSS_S_ASYNC_FINISHED, "Internal COM failure"},
        {VSS_E_BAD_STATE, S_OK, VSS_S_ASYNC_FINISHED, "VSS in bad state"},
    };
    for (const Case &c : cases) {
        FakeAsync async(c.status, c.wait);
        EXPECT_EQ(outcome(c.call, &async), c.message);
        EXPECT_EQ(async.references, 0u) << c.message;
        EXPECT_EQ(async.waitedFor, c.call == S_OK ? INFINITE : 0u);
    }
    EXPECT_EQ(outcome(S_OK, nullptr), "A required pointer parameter is NULL");
}

#ifdef WITH_JVM

extern "C" {
JNIEXPORT void JNICALL Java_com_pemrix_vss_VSSFactory_init(JNIEnv *, jclass);
JNIEXPORT jobject JNICALL Java_com_pemrix_vss_VSSFactory_getBackupComponents0(JNIEnv *, jclass);
JNIEXPORT void JNICALL Java_com_pemrix_vss_VSSFactory_delete_1CUnknown(JNIEnv *, jclass, jlong);
}

namespace {

JavaVM *javaVm()
{
    static JavaVM *vm = [] {
        static std::string classPath = std::string("-Djava.class.path=") + SHADOW_TEST_CLASSPATH;
        JavaVMOption options[2] = {{const_cast<char *>("-Xcheck:jni"), nullptr},
                                   {const_cast<char *>(classPath.c_str()), nullptr}};
        JavaVMInitArgs args{JNI_VERSION_1_8, 2, options, JNI_FALSE};
        JavaVM *created = nullptr;
        JNIEnv *env = nullptr;
        if (JNI_CreateJavaVM(&created, reinterpret_cast<void **>(&env), &args) != JNI_OK)
            return static_cast<JavaVM *>(nullptr);
        Java_com_pemrix_vss_VSSFactory_init(env, nullptr);
        return env->ExceptionCheck() ? nullptr : created;
    }();
    return vm;
}

// Runs a check on a thread attached to the JVM (COM initialisation is per thread).
template <typename Check>
void onJavaThread(Check check)
{
    JavaVM *vm = javaVm();
    ASSERT_NE(vm, nullptr);
    std::thread([&] {
        JNIEnv *env = nullptr;
        ASSERT_EQ(vm->AttachCurrentThread(reinterpret_cast<void **>(&env), nullptr), JNI_OK);
        check(env);
        EXPECT_FALSE(env->ExceptionCheck());
        env->ExceptionClear();
        vm->DetachCurrentThread();
    }).join();
}

class WatchedObject : public ComObjectHolder {
public:
    explicit WatchedObject(bool &deleted) : ComObjectHolder(nullptr, ObjectKind::component), deleted_(deleted) {}
    ~WatchedObject() override { deleted_ = true; }

private:
    bool &deleted_;
};

}  // namespace

TEST(NativeObjects, AnObjectJavaCannotReceiveIsDeleted)
{
    onJavaThread([](JNIEnv *env) {
        jclass refusing = env->FindClass("com/pemrix/vss/RefusingWrapper");
        ASSERT_NE(refusing, nullptr);
        jmethodID constructor = env->GetMethodID(refusing, "<init>", "(J)V");
        bool deleted = false;
        EXPECT_EQ(wrapNative(env, refusing, constructor, new WatchedObject(deleted)), nullptr);
        EXPECT_TRUE(env->ExceptionCheck());
        env->ExceptionClear();
        EXPECT_TRUE(deleted);
    });
}

TEST(NativeObjects, ARequesterUndoesOnlyTheCOMInitialisationItMade)
{
    onJavaThread([](JNIEnv *env) {
        // The thread is already in the multithreaded apartment: the requester's apartment-threaded
        // initialisation fails, and its deletion must not end the thread's own.
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        jobject backup = Java_com_pemrix_vss_VSSFactory_getBackupComponents0(env, nullptr);
        ASSERT_NE(backup, nullptr);
        jlong handle = env->GetLongField(backup, env->GetFieldID(classCache.backupComponents, "handle", "J"));
        Java_com_pemrix_vss_VSSFactory_delete_1CUnknown(env, nullptr, handle);
        EXPECT_TRUE(winsim::comInitializedOnThisThread());
        CoUninitialize();
        EXPECT_FALSE(winsim::comInitializedOnThisThread());

        backup = Java_com_pemrix_vss_VSSFactory_getBackupComponents0(env, nullptr);
        ASSERT_NE(backup, nullptr);
        EXPECT_TRUE(winsim::comInitializedOnThisThread());
        handle = env->GetLongField(backup, env->GetFieldID(classCache.backupComponents, "handle", "J"));
        Java_com_pemrix_vss_VSSFactory_delete_1CUnknown(env, nullptr, handle);
        EXPECT_FALSE(winsim::comInitializedOnThisThread());
    });
}

// COM is per thread: a requester deleted on a thread other than the one that made it leaves the
// deleting thread's own initialisation alone, and cannot end the maker's.
TEST(NativeObjects, ARequesterDeletedOnAnotherThreadLeavesBothThreadsAsTheyWere)
{
    JavaVM *vm = javaVm();
    ASSERT_NE(vm, nullptr);
    std::promise<jlong> made;
    std::promise<void> deleted;
    std::thread maker([&] {
        JNIEnv *env = nullptr;
        ASSERT_EQ(vm->AttachCurrentThread(reinterpret_cast<void **>(&env), nullptr), JNI_OK);
        jobject backup = Java_com_pemrix_vss_VSSFactory_getBackupComponents0(env, nullptr);
        made.set_value(backup ? env->GetLongField(backup, env->GetFieldID(classCache.backupComponents, "handle", "J"))
                              : 0);
        deleted.get_future().wait();
        EXPECT_TRUE(winsim::comInitializedOnThisThread());
        CoUninitialize();
        EXPECT_FALSE(winsim::comInitializedOnThisThread());
        vm->DetachCurrentThread();
    });
    jlong handle = made.get_future().get();
    EXPECT_NE(handle, 0);
    onJavaThread([&](JNIEnv *env) {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        Java_com_pemrix_vss_VSSFactory_delete_1CUnknown(env, nullptr, handle);
        EXPECT_TRUE(winsim::comInitializedOnThisThread());
        CoUninitialize();
        EXPECT_FALSE(winsim::comInitializedOnThisThread());
    });
    deleted.set_value();
    maker.join();
}

#endif  // WITH_JVM
