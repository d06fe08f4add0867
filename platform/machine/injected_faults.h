// Fault injection: the machine setting "fail.<call> = <code>" makes the stand-in answer that
// call with that code (an error code, HRESULT or JNI result as the call returns), so tests can
// reach failures that the real services do not produce on demand.
#pragma once

#include <optional>

namespace winsim {

std::optional<long> injectedFailure(const char *call);

}  // namespace winsim
