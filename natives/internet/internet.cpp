// Natives of com.pemrix.system.Internet: the computer's Internet settings as the Internet client
// library reports them for the whole process. The library is loaded on the first call, not
// linked, so the natives library loads without it; when it cannot be loaded every native returns
// null, after one line on standard error.
#include "../common/modules.h"

#include <windows.h>
#include <wininet.h>

#include <jni.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

using namespace pallux;

namespace {

using InternetQueryOptionFunction = BOOL(WINAPI *)(HINTERNET, DWORD, LPVOID, LPDWORD);

// Loaded once per process, whatever the outcome; a thread that calls while another is loading
// waits for it (a function-local static is initialised once, under the compiler's guard). The
// module stays loaded for the life of the process.
InternetQueryOptionFunction internetQueryOption()
{
    static const InternetQueryOptionFunction function = []() -> InternetQueryOptionFunction {
        HMODULE module = LoadLibraryA("wininet");
        if (!module) {
            fputs("inet lib load failed\n", stderr);
            fflush(stderr);
            return nullptr;
        }
        return procAddress<InternetQueryOptionFunction>(module, "InternetQueryOptionA");
    }();
    return function;
}

// The value of a process-wide option, in a buffer of the size the library asked for and cut to
// the size it reported; false when the query failed.
bool queryOption(DWORD option, std::vector<char> &value)
{
    InternetQueryOptionFunction query = internetQueryOption();
    if (!query)
        return false;
    DWORD size = 0;
    query(nullptr, option, nullptr, &size);
    value.assign(size, '\0');
    DWORD returned = size;
    if (!query(nullptr, option, value.empty() ? nullptr : value.data(), &returned))
        return false;
    value.resize(std::min<size_t>(returned, value.size()));
    return true;
}

// A Java string of the narrow text in [text, end): up to its first NUL, or all of it.
jstring boundedString(JNIEnv *env, const char *text, const char *end)
{
    const void *nul = memchr(text, '\0', static_cast<size_t>(end - text));
    std::vector<char> copy(text, nul ? static_cast<const char *>(nul) : end);
    copy.push_back('\0');
    return env->NewStringUTF(copy.data());
}

// A Java string of the narrow text at `text`, bounded by the buffer when it lies inside it.
jstring newString(JNIEnv *env, const char *text, const std::vector<char> &buffer)
{
    const char *begin = buffer.data(), *end = buffer.data() + buffer.size();
    if (text < begin || text >= end)
        return env->NewStringUTF(text);
    return boundedString(env, text, end);
}

// One list of the proxy settings; null for a direct connection or when the list is absent.
jstring proxyList(JNIEnv *env, LPCTSTR INTERNET_PROXY_INFO::*list)
{
    std::vector<char> buffer;
    if (!queryOption(INTERNET_OPTION_PROXY, buffer) || buffer.size() < sizeof(INTERNET_PROXY_INFO))
        return nullptr;
    INTERNET_PROXY_INFO info;
    memcpy(&info, buffer.data(), sizeof info);
    // InternetQueryOptionA gives narrow strings whatever TCHAR is.
    const char *text = reinterpret_cast<const char *>(info.*list);
    if (info.dwAccessType == INTERNET_OPEN_TYPE_DIRECT || !text)
        return nullptr;
    return newString(env, text, buffer);
}

}  // namespace

extern "C" {

JNIEXPORT jstring JNICALL Java_com_pemrix_system_Internet_queryProxyServers(JNIEnv *env, jclass)
{
    return proxyList(env, &INTERNET_PROXY_INFO::lpszProxy);
}

JNIEXPORT jstring JNICALL Java_com_pemrix_system_Internet_queryProxyBypass(JNIEnv *env, jclass)
{
    return proxyList(env, &INTERNET_PROXY_INFO::lpszProxyBypass);
}

JNIEXPORT jstring JNICALL Java_com_pemrix_system_Internet_queryStringValue(JNIEnv *env, jclass, jint option)
{
    std::vector<char> buffer;
    if (!queryOption(static_cast<DWORD>(option), buffer))
        return nullptr;
    // A value need not be a string: its text ends at its first NUL or at its end.
    return boundedString(env, buffer.data(), buffer.data() + buffer.size());
}

}  // extern "C"
