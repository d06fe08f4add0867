// The native objects that the natives hand to Java as handles (dispatch cells, indicator records,
// ...), registered while they live. A native that gets a handle back looks it up here before it
// touches it, so a stale, deleted, foreign or mistyped handle from a faulty Java caller becomes a
// Java exception instead of a crash of the virtual machine.
//
//   liveObjects().add(object, kind)       when the object is made
//   liveObjects().contains(object, kind)  before a native uses a handle (a few nanoseconds)
//   liveObjects().remove(object, kind)    when it is deleted; false when it was not live
#pragma once

#include "natives/common/live_object_table.h"

#include <cstdint>

namespace pallux {

// One kind per class of native object, so a handle of one class passed where another is expected
// is refused too. Kinds 1 to 7 take the table's fast path.
enum class ObjectKind : uint8_t {
    none = 0,
    dispatchCell,
    indicatorRecord,
    encryptedFileContext,
    findHandle,  // a directory search (the search state FindFirstFile allocates)
};

using LiveObjects = jnihandles::LiveObjectTable<ObjectKind>;

// The table of the whole library.
LiveObjects &liveObjects();

}  // namespace pallux
