// service.properties: key=value lines beside the program, read into an ordered list.
#pragma once

#include "service_log.h"

#include <memory>
#include <string>
#include <vector>

namespace cpputil {

class Property {
public:
    Property(const char *key, const char *value);
    Property(const std::string &key, const std::string &value);
    Property(const Property &other);
    virtual ~Property();

    const std::string &getKey() const { return key; }
    const std::string &getValue() const { return value; }

private:
    std::string key;
    std::string value;
};

class Properties {
public:
    Properties() = default;
    virtual ~Properties();
    Properties(const Properties &) = delete;
    Properties &operator=(const Properties &) = delete;

    // Appends the properties of a file: 0 when it was read, -1 when it cannot be opened.
    int load(const char *path);
    // The first property of that key (exact, case-sensitive), owned by this list; or null.
    const Property *getProperty(const char *key) const;
    void add(const Property &property);
    size_t size() const { return entries.size(); }

private:
    std::vector<std::unique_ptr<Property>> entries;
};

}  // namespace cpputil

inline constexpr const char *kDefaultServiceName = "QzBackup Service";
inline constexpr const char *kDefaultDisplayName = "Pemrix Stowline Service";
inline constexpr const char *kPropertiesFileName = "service.properties";

// The full path of the program file; false when it cannot be had whole.
bool programPath(std::string &path);
// The directory of a program path, with its trailing backslash.
std::string programDirectory(const std::string &path);

// The service's identity from service.properties; never null. A missing file or program path
// is reported to the event log under the default name.
ServiceConfig *loadServiceConfig();
