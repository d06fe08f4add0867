#include "check.h"

#include "registry.h"
#include "side.h"

#include <cstring>

namespace conformance {

namespace {

std::string narrow(const WCHAR *text, size_t length)
{
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        uint32_t c = static_cast<uint16_t>(text[i]);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < length && static_cast<uint16_t>(text[i + 1]) >= 0xDC00 &&
            static_cast<uint16_t>(text[i + 1]) < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(text[++i]) - 0xDC00);
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string quoted(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

void Check::fail(const char *file, int line, const std::string &message)
{
    const char *base = strrchr(file, '/');
    failures_.push_back(std::string(base ? base + 1 : file) + ":" + std::to_string(line) + ": " + message);
}

const WString &Check::directory()
{
    if (directory_.empty()) {
        WString root = W(TEXT("C:\\conformance"));
        WString own = root + TEXT("\\") + widen(name_);
        if (!side::makeDirectory(root) || !side::makeDirectory(own))
            fail(__FILE__, __LINE__, "cannot make the check's directory " + describe(own));
        directory_ = own;
    }
    return directory_;
}

WString Check::path(const WString &name)
{
    return directory() + TEXT("\\") + name;
}

Registration::Registration(const char *family, const char *name, CheckFunction function)
{
    registeredChecks().push_back({std::string(family) + "." + name, function});
}

HelperRegistration::HelperRegistration(const char *name, HelperFunction function)
{
    registeredHelpers().push_back({name, function});
}

std::vector<RegisteredCheck> &registeredChecks()
{
    static std::vector<RegisteredCheck> checks;
    return checks;
}

std::vector<RegisteredHelper> &registeredHelpers()
{
    static std::vector<RegisteredHelper> helpers;
    return helpers;
}

std::string describe(const std::string &text)
{
    return quoted(text);
}

std::string describe(const char *text)
{
    return text ? quoted(text) : "null";
}

std::string describe(const WString &text)
{
    return "L" + quoted(narrow(text.data(), text.size()));
}

std::string describe(const WCHAR *text)
{
    if (!text)
        return "null";
    size_t length = 0;
    while (text[length])
        ++length;
    return "L" + quoted(narrow(text, length));
}

std::string describe(const void *pointer)
{
    if (!pointer)
        return "null";
    char text[32];
    snprintf(text, sizeof text, "%p", pointer);
    return text;
}

std::string describe(std::nullptr_t)
{
    return "null";
}

std::string describe(bool value)
{
    return value ? "true" : "false";
}

std::string utf8(const WString &text)
{
    return narrow(text.data(), text.size());
}

WString widen(const std::string &text)
{
    WString out;
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        uint32_t c = lead;
        size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
        if (extra) {
            c = lead & (0x3F >> extra);
            for (size_t k = 1; k <= extra && i + k < text.size(); ++k)
                c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        i += extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<WCHAR>(0xD800 + (c >> 10));
            out += static_cast<WCHAR>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<WCHAR>(c);
        }
    }
    return out;
}

std::string programPathA()
{
    char path[MAX_PATH * 4];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, length < sizeof path ? length : 0);
}

WString programDirectory()
{
    WString path = widen(programPathA());
    return path.substr(0, path.find_last_of(TEXT("\\/")) + 1);
}

bool makeDirectory(const WString &path)
{
    return side::makeDirectory(path);
}

const char *sideName()
{
    return side::name();
}

}  // namespace conformance
