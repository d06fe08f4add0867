// The checks and helpers that the families register.
#pragma once

#include "check.h"

#include <string>
#include <vector>

namespace conformance {

struct RegisteredCheck {
    std::string name;  // <family>.<name>
    CheckFunction function;
};

struct RegisteredHelper {
    std::string name;
    HelperFunction function;
};

std::vector<RegisteredCheck> &registeredChecks();
std::vector<RegisteredHelper> &registeredHelpers();

}  // namespace conformance
