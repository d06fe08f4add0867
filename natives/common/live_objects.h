// The native objects that the natives hand to Java as handles (dispatch cells, indicator records,
// ...), registered while they live. A native that gets a handle back looks it up here before it
// touches it, so a stale, deleted, foreign or mistyped handle from a faulty Java caller becomes a
// Java exception instead of a crash of the virtual machine.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace pallux {

// One kind per class of native object, so a handle of one class passed where another is expected
// is refused too.
enum class ObjectKind : uint8_t {
    none = 0,
    dispatchCell,
    indicatorRecord,
    encryptedFileContext,
};

class LiveObjects {
public:
    void add(const void *object, ObjectKind kind)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        objects_[object] = kind;
    }

    // Removes the object if it is registered with that kind; false when it is not (unknown,
    // removed already, or of another kind), in which case nothing changes.
    bool remove(const void *object, ObjectKind kind)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = objects_.find(object);
        if (found == objects_.end() || found->second != kind)
            return false;
        objects_.erase(found);
        return true;
    }

    bool contains(const void *object, ObjectKind kind) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = objects_.find(object);
        return found != objects_.end() && found->second == kind;
    }

private:
    mutable std::mutex mutex_;
    std::unordered_map<const void *, ObjectKind> objects_;
};

// The table of the whole library.
LiveObjects &liveObjects();

}  // namespace pallux
