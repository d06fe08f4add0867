#include "live_objects.h"

namespace pallux {

LiveObjects &liveObjects()
{
    // Never destroyed: natives may still run on other threads while the library unloads.
    static LiveObjects *const objects = new LiveObjects;
    return *objects;
}

}  // namespace pallux
