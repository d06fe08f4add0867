#include "properties.h"

#include "win32_handles.h"

namespace {

constexpr DWORD kProgramPathSize = 512;
constexpr DWORD kReadChunk = 4096;

// Splits the file's text into lines as a text-mode stream reads them: CR LF arrives as one
// line end, a lone CR stays in the line, and a last line without a line end still counts.
std::vector<std::string> textLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

}  // namespace

namespace cpputil {

Property::Property(const char *key, const char *value) : key(key ? key : ""), value(value ? value : "") {}

Property::Property(const std::string &key, const std::string &value) : key(key), value(value) {}

Property::Property(const Property &other) = default;

Property::~Property() = default;

Properties::~Properties() = default;

int Properties::load(const char *path)
{
    FileHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return -1;
    std::string text;
    char chunk[kReadChunk];
    DWORD read = 0;
    // Reading ends at the end of the file or at a read error, keeping what was read.
    while (ReadFile(file.get(), chunk, kReadChunk, &read, nullptr) && read > 0)
        text.append(chunk, read);
    for (const std::string &line : textLines(text)) {
        if (line.empty() || line[0] == '#')
            continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        entries.push_back(std::make_unique<Property>(line.substr(0, equals), line.substr(equals + 1)));
    }
    return 0;
}

const Property *Properties::getProperty(const char *key) const
{
    if (!key)
        return nullptr;
    for (const auto &entry : entries)
        if (entry->getKey() == key)
            return entry.get();
    return nullptr;
}

void Properties::add(const Property &property)
{
    entries.push_back(std::make_unique<Property>(property));
}

}  // namespace cpputil

bool programPath(std::string &path)
{
    char buffer[kProgramPathSize];
    DWORD length = GetModuleFileNameA(nullptr, buffer, kProgramPathSize);
    // A path that fills the buffer was cut short.
    if (length == 0 || length >= kProgramPathSize)
        return false;
    path.assign(buffer, length);
    return true;
}

std::string programDirectory(const std::string &path)
{
    size_t slash = path.rfind('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

ServiceConfig *loadServiceConfig()
{
    std::string program;
    if (!programPath(program)) {
        auto *config = new ServiceConfig(kDefaultServiceName, kDefaultDisplayName);
        config->reportError("Failed to get module file name");
        return config;
    }
    cpputil::Properties properties;
    if (properties.load((programDirectory(program) + kPropertiesFileName).c_str()) < 0) {
        auto *config = new ServiceConfig(kDefaultServiceName, kDefaultDisplayName);
        config->reportError("service.properties file not found, using defaults");
        return config;
    }
    const cpputil::Property *name = properties.getProperty("service.name");
    const cpputil::Property *displayName = properties.getProperty("service.displayname");
    return new ServiceConfig(name ? name->getValue() : kDefaultServiceName,
                             displayName ? displayName->getValue() : kDefaultDisplayName);
}
