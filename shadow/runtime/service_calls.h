// Waiting for the service's asynchronous operations.
#pragma once

#include <windows.h>
#include <vss.h>

namespace shadelink {

// The end of an operation that handed back an IVssAsync: checks the operation call's result,
// waits for the operation without a time limit and checks how it ended; throws VssError on any
// failure. The IVssAsync is released on every path.
void waitForAsync(HRESULT callResult, IVssAsync *async);

}  // namespace shadelink
