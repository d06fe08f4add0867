// The shared JNI routines of the natives library, run against a real JVM in this process.
#ifdef WITH_JVM

#include "common/class_cache.h"
#include "common/errors.h"
#include "common/paths.h"
#include "common/strings.h"
#include "test_jvm.h"

#include <gtest/gtest.h>

#include <jni.h>

#include <string>
#include <vector>

using namespace pallux;

namespace {

JNIEnv *jvmEnv()
{
    static JNIEnv *env = [] {
        JNIEnv *created = testJvm();
        if (!created)
            return created;
        cacheCommonClasses(created);
        cacheClass(created, classCache.ioException, "java/io/IOException");
        cacheClass(created, classCache.errorCodeException, "com/pemrix/util/ErrorCodeException");
        classCache.errorCodeExceptionInit =
            created->GetMethodID(classCache.errorCodeException, "<init>", "(Ljava/lang/String;I)V");
        return created;
    }();
    return env;
}

class JniConventions : public testing::Test {
protected:
    void SetUp() override
    {
        env = jvmEnv();
        ASSERT_NE(env, nullptr);
    }
    void TearDown() override { EXPECT_FALSE(env->ExceptionCheck()) << "exception left pending"; }

    // Takes the pending exception: its class name and message ("<null>" for a null one).
    std::pair<std::string, std::string> takeException()
    {
        jthrowable thrown = env->ExceptionOccurred();
        if (!thrown)
            return {"", ""};
        env->ExceptionClear();
        jclass type = env->GetObjectClass(thrown);
        jclass classClass = env->FindClass("java/lang/Class");
        auto name = static_cast<jstring>(
            env->CallObjectMethod(type, env->GetMethodID(classClass, "getName", "()Ljava/lang/String;")));
        EXPECT_FALSE(env->ExceptionCheck());
        jclass throwable = env->FindClass("java/lang/Throwable");
        auto message = static_cast<jstring>(
            env->CallObjectMethod(thrown, env->GetMethodID(throwable, "getMessage", "()Ljava/lang/String;")));
        EXPECT_FALSE(env->ExceptionCheck());
        std::pair<std::string, std::string> result{text(name), message ? text(message) : "<null>"};
        env->DeleteLocalRef(thrown);
        return result;
    }

    std::string text(jstring string)
    {
        const char *chars = env->GetStringUTFChars(string, nullptr);
        std::string out(chars);
        env->ReleaseStringUTFChars(string, chars);
        return out;
    }

    jstring javaString(const std::u16string &value)
    {
        return env->NewString(reinterpret_cast<const jchar *>(value.data()), static_cast<jsize>(value.size()));
    }

    std::vector<std::string> elements(jobjectArray array)
    {
        std::vector<std::string> out;
        for (jsize i = 0; i < env->GetArrayLength(array); ++i) {
            auto element = static_cast<jstring>(env->GetObjectArrayElement(array, i));
            out.push_back(element ? text(element) : "<null>");
        }
        return out;
    }

    JNIEnv *env = nullptr;
};

TEST_F(JniConventions, CommonClassesAreCachedInOrder)
{
    EXPECT_NE(classCache.nullPointerException, nullptr);
    EXPECT_NE(classCache.object, nullptr);
    EXPECT_TRUE(env->IsSameObject(classCache.string, env->FindClass("java/lang/String")));
}

TEST_F(JniConventions, SystemMessageLosesItsLineEndAndUnknownCodesHaveAText)
{
    EXPECT_STREQ(systemMessageText(ERROR_ACCESS_DENIED).get(), "Access is denied.");
    EXPECT_STREQ(systemMessageText(0x2000FFFF).get(), "no error message");
}

TEST_F(JniConventions, ThrowSystemErrorRaisesTheClassWithTheText)
{
    throwSystemError(env, classCache.ioException, ERROR_FILE_NOT_FOUND);
    auto [type, message] = takeException();
    EXPECT_EQ(type, "java.io.IOException");
    EXPECT_EQ(message, "The system cannot find the file specified.");
}

TEST_F(JniConventions, ErrorCodeExceptionCarriesTheCode)
{
    throwErrorCodeException(env, ERROR_INSUFFICIENT_BUFFER);
    jthrowable thrown = env->ExceptionOccurred();
    env->ExceptionClear();
    ASSERT_NE(thrown, nullptr);
    jmethodID getCode = env->GetMethodID(classCache.errorCodeException, "getErrorCode", "()I");
    EXPECT_EQ(env->CallIntMethod(thrown, getCode), 122);
    EXPECT_FALSE(env->ExceptionCheck());
}

TEST_F(JniConventions, WideCopyEndsInTwoNulsAndStopsAtAnEmbeddedNul)
{
    jstring empty = javaString(u"");
    HeapPtr<WCHAR> copy(javaStringToWide(env, empty));
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy.get()[0], 0);
    EXPECT_EQ(copy.get()[1], 0);

    HeapPtr<WCHAR> cut(javaStringToWide(env, javaString(std::u16string(u"ab\0cd", 5))));
    EXPECT_EQ(std::u16string(cut.get()), u"ab");

    HeapPtr<WCHAR> full(javaStringToWide(env, javaString(u"h\u00e9llo \u20ac")));
    EXPECT_EQ(std::u16string(full.get()), u"h\u00e9llo \u20ac");
}

TEST_F(JniConventions, NullStringsRaiseNullPointerException)
{
    EXPECT_EQ(javaStringToWide(env, nullptr), nullptr);
    EXPECT_EQ(takeException(), std::make_pair(std::string("java.lang.NullPointerException"), std::string("")));
    EXPECT_EQ(javaStringToUtf(env, nullptr), nullptr);
    EXPECT_EQ(takeException(), std::make_pair(std::string("java.lang.NullPointerException"), std::string("<null>")));
}

TEST_F(JniConventions, UtfCopyHoldsModifiedUtf8)
{
    HeapPtr<char> copy(javaStringToUtf(env, javaString(u"caf\u00e9")));
    EXPECT_STREQ(copy.get(), "caf\xc3\xa9");
    HeapPtr<char> empty(javaStringToUtf(env, javaString(u"")));
    EXPECT_STREQ(empty.get(), "");
}

TEST_F(JniConventions, MultiStringBecomesAnArray)
{
    const WCHAR two[] = {'a', 0, 'b', 0, 0};
    EXPECT_EQ(elements(multiStringToArray(env, two)), (std::vector<std::string>{"a", "b"}));
    const WCHAR emptyFirst[] = {0, 'a', 0, 0};
    EXPECT_EQ(elements(multiStringToArray(env, emptyFirst)), (std::vector<std::string>{"", "a"}));
    const WCHAR nothing[] = {0, 0};
    EXPECT_EQ(elements(multiStringToArray(env, nothing)), (std::vector<std::string>{"<null>"}));
    EXPECT_EQ(elements(multiStringToArray(env, nullptr)), std::vector<std::string>{});
}

TEST_F(JniConventions, UnterminatedMultiStringIsRefused)
{
    std::vector<WCHAR> endless(70000, 'x');
    endless.back() = 0;
    endless[endless.size() - 2] = 0;
    EXPECT_EQ(multiStringToArray(env, endless.data()), nullptr);
    EXPECT_EQ(takeException(),
              std::make_pair(std::string("java.lang.Exception"), std::string("illegal cstring size returned")));
}

TEST_F(JniConventions, ArrayBecomesAMultiStringWithNullsAsEmptyStrings)
{
    jobjectArray array = env->NewObjectArray(2, classCache.string, nullptr);
    env->SetObjectArrayElement(array, 0, javaString(u"a"));
    DWORD bytes = 99;
    HeapPtr<WCHAR> list(arrayToMultiString(env, array, &bytes));
    ASSERT_TRUE(list);
    EXPECT_EQ(bytes, 8u);
    EXPECT_EQ(std::u16string(list.get(), 4), std::u16string(u"a\0\0\0", 4));

    DWORD untouched = 7;
    EXPECT_EQ(arrayToMultiString(env, nullptr, &untouched), nullptr);
    EXPECT_EQ(untouched, 7u);
}

TEST_F(JniConventions, PathsOf260UnitsAndMoreGetThePrefixShorterOnesNot)
{
    std::u16string shortPath = u"C:\\" + std::u16string(256, u'a');
    ASSERT_EQ(shortPath.size(), 259u);
    NativePath unchanged(env, javaString(shortPath));
    EXPECT_EQ(std::u16string(unchanged.get()), shortPath);
    NativePath prefixed(env, javaString(shortPath + u"b"));
    EXPECT_EQ(std::u16string(prefixed.get()), u"\\\\?\\" + shortPath + u"b");
    NativePath unc(env, javaString(u"\\\\server\\share\\" + std::u16string(250, u'f')));
    EXPECT_EQ(std::u16string(unc.get()).substr(0, 21), u"\\\\?\\UNC\\server\\share\\");
}

}  // namespace

#endif
