// The registry behind the Reg* functions, for the machine tool and the other stand-in services.
#pragma once

#include "machine/hive.h"

#include <windows.h>

#include <string>
#include <vector>

namespace winsim {

// The subkeys and values of an open key.
LONG registryKeyContents(HKEY key, std::vector<std::string> &subkeys, std::vector<RegistryValue> &values);

// Whether the process may change the machine's keys (administrators and the local system).
bool mayWriteMachineKeys();

}  // namespace winsim
