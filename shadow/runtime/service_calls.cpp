#include "service_calls.h"

#include "conversions.h"
#include "errors.h"

namespace shadelink {

void waitForAsync(HRESULT callResult, IVssAsync *async)
{
    ComRef<IVssAsync> held(async);
    checkResult(callResult);
    if (!held.get())
        checkResult(E_POINTER);
    checkResult(held->Wait(INFINITE));
    HRESULT status = S_OK;
    checkResult(held->QueryStatus(&status, nullptr));
    if (status == VSS_S_ASYNC_FINISHED)
        return;
    if (status == VSS_S_ASYNC_CANCELLED)
        throw VssError("Async call cancelled");
    if (status == VSS_S_ASYNC_PENDING)
        throw VssError("Async call pending");
    checkResult(status);
}

}  // namespace shadelink
