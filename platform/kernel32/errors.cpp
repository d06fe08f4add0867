// Thread error codes and the system message table.
#include "kernel32/message_table.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;

bool isSupportedLanguage(DWORD language)
{
    // Neutral, user default, system default and en-US all give the en-US table.
    return language == 0 || language == 0x400 || language == 0x800 || language == 0x409 || language == 0x009;
}

// The text of a message, or null. HRESULTs of the Win32 facility carry a Win32 code.
const char *lookupMessage(DWORD id)
{
    if ((id & 0xFFFF0000u) == 0x80070000u)
        id &= 0xFFFF;
    return winsim::systemMessageText(id);
}

// Whether a message text holds an insert (%1 to %99).
bool hasInsert(const std::string &text)
{
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '%')
            continue;
        if (text[i + 1] >= '1' && text[i + 1] <= '9')
            return true;
        ++i;  // an escape such as %% or %n
    }
    return false;
}

template <typename Char>
DWORD formatMessage(DWORD flags, LPCVOID source, DWORD id, DWORD language, Char *buffer, DWORD size,
                    bool withArguments)
{
    std::string text;
    if (flags & FORMAT_MESSAGE_FROM_STRING) {
        text = source ? static_cast<const char *>(source) : "";
    } else if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
        if (!isSupportedLanguage(language)) {
            SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
            return 0;
        }
        const char *message = lookupMessage(id);
        if (!message) {
            SetLastError(ERROR_MR_MID_NOT_FOUND);
            return 0;
        }
        text = message;
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Inserts are not substituted here. Without FORMAT_MESSAGE_IGNORE_INSERTS Windows would read
    // them from the arguments, so a text with an insert and no arguments is refused rather than
    // read through a null pointer, and one with arguments is not supported.
    if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && hasInsert(text)) {
        SetLastError(withArguments ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::basic_string<Char> out(text.begin(), text.end());
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        size_t bytes = (std::max<size_t>(out.size() + 1, size)) * sizeof(Char);
        auto *block = static_cast<Char *>(LocalAlloc(LMEM_FIXED, bytes));
        if (!block) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        memcpy(block, out.c_str(), (out.size() + 1) * sizeof(Char));
        *reinterpret_cast<Char **>(buffer) = block;
    } else {
        if (!buffer || size < out.size() + 1) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        memcpy(buffer, out.c_str(), (out.size() + 1) * sizeof(Char));
    }
    return static_cast<DWORD>(out.size());
}

}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void)
{
    return lastError;
}

void WINAPI SetLastError(DWORD code)
{
    lastError = code;
}

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPSTR buffer, DWORD size,
                            va_list *arguments)
{
    return formatMessage<char>(flags, source, id, language, buffer, size, arguments != nullptr);
}

DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPWSTR buffer, DWORD size,
                            va_list *arguments)
{
    if (flags & FORMAT_MESSAGE_FROM_STRING) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    return formatMessage<char16_t>(flags, source, id, language, buffer, size, arguments != nullptr);
}

}  // extern "C"
