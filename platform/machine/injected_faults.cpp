#include "machine/injected_faults.h"

#include "machine/machine.h"

#include <cstdlib>
#include <string>

namespace winsim {

std::optional<long> injectedFailure(const char *call)
{
    std::string value = machineSetting(std::string("fail.") + call, "");
    if (value.empty())
        return std::nullopt;
    char *end = nullptr;
    long code = strtol(value.c_str(), &end, 0);
    if (end == value.c_str())
        return std::nullopt;
    return code;
}

}  // namespace winsim
