// The Java runtime that a machine comes with, registered as a Windows installer registers one.
#pragma once

#include <string>

namespace winsim {

// Where the runtime lives on the machine, and the version under which it is registered.
inline constexpr const char *kJavaHome = "C:\\Program Files\\Java\\jre";
inline constexpr const char *kJavaVersion = "1.8";

// Lays out <JavaHome>\bin\server\jvm.dll (the shim over the host's OpenJDK) and writes
// HKLM\SOFTWARE\JavaSoft\Java Runtime Environment unless a runtime is registered already.
void installJavaRuntime(const std::string &root);

}  // namespace winsim
