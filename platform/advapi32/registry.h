// The registry behind the Reg* functions, for the machine tool and the other stand-in services.
#pragma once

#include "machine/hive.h"

#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace winsim {

// The subkeys and values of an open key, in the key's order.
LONG registryKeyContents(HKEY key, std::vector<std::string> &subkeys, std::vector<RegistryValue> &values);

// Many changes as one transaction per hive, for tools that import thousands of keys and values:
// after join(key), the changes made under that key's hive wait for commit() (or are rolled back
// when the batch goes). Only for a single-threaded program: other threads' changes to the same
// hive would join the batch too.
class RegistryBatch {
public:
    RegistryBatch() = default;
    ~RegistryBatch();
    RegistryBatch(const RegistryBatch &) = delete;
    RegistryBatch &operator=(const RegistryBatch &) = delete;
    LONG join(HKEY key);
    LONG commit();

private:
    std::vector<std::pair<std::shared_ptr<Hive>, std::unique_ptr<Hive::WriteTransaction>>> transactions_;
};

}  // namespace winsim
