// A table of the native objects that a JNI library hands to Java as handles, registered while
// they live, each with its kind (its class). A native that gets a handle back asks the table
// before it touches the object, so a stale, deleted, foreign or mistyped handle from a faulty
// Java caller becomes a Java exception instead of a crash of the virtual machine. Both JNI
// libraries keep one (pallux in common/live_objects.h, shadelink in runtime/native_objects.h).
//
// Every native that takes a handle asks, so the lookup is made cheap: the kind sits in the low
// bits of the object's address (objects from operator new are aligned to at least 8 bytes), and
// the (address | kind) words live in an open-addressing table that lookups read without a lock.
// Changes take a lock; a table that grows is kept after it is replaced, since a lookup may still
// be reading it (the tables' sizes double, so all of them together are at most twice the last).
// A lookup that misses looks again under the lock, so a live object is never reported unknown
// because a change moved it under a reader. An object that does not fit the packed form (an
// address not aligned to 8, or a kind above 7) is kept in a map under the lock instead.
//
// The table answers whether a handle is live; it does not keep an object alive while a native
// uses it. Deleting an object while another thread uses it remains a fault of the caller, which
// the natives' contract already rules out (one object is used by one thread at a time).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace jnihandles {

// Kind is an enumeration whose value 0 means "no kind" and is never registered.
template <typename Kind>
class LiveObjectTable {
public:
    LiveObjectTable() { publish(std::make_unique<Slots>(kInitialBits)); }
    LiveObjectTable(const LiveObjectTable &) = delete;
    LiveObjectTable &operator=(const LiveObjectTable &) = delete;

    // Registers the object with its kind, replacing any kind it had.
    void add(const void *object, Kind kind)
    {
        if (!object || kind == Kind{})
            return;
        std::lock_guard<std::mutex> guard(lock_);
        eraseLocked(object);
        if (!packable(object, kind)) {
            others_[object] = kind;
            return;
        }
        if ((count_ + 1) * 2 > current().capacity())
            grow();
        insert(current(), pack(object, kind));
        ++count_;
    }

    // Removes the object if it is registered with that kind; false when it is not (unknown,
    // removed already, or of another kind), in which case nothing changes.
    bool remove(const void *object, Kind kind)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (kindLocked(object) != kind || kind == Kind{})
            return false;
        eraseLocked(object);
        return true;
    }

    // Removes the object whatever its kind and gives that kind; Kind{} when it was not
    // registered. Of two threads taking the same object, one gets its kind.
    Kind take(const void *object)
    {
        std::lock_guard<std::mutex> guard(lock_);
        Kind kind = kindLocked(object);
        if (kind != Kind{})
            eraseLocked(object);
        return kind;
    }

    bool contains(const void *object, Kind kind) const
    {
        if (!object || kind == Kind{})
            return false;
        if (packable(object, kind)) {
            const uintptr_t key = pack(object, kind);
            const Slots &slots = current();
            for (size_t i = slots.home(key), probes = 0; probes <= slots.mask; i = (i + 1) & slots.mask, ++probes) {
                const uintptr_t found = slots.keys[i].load(std::memory_order_relaxed);
                if (found == key)
                    return true;
                if (found == 0)
                    break;
            }
        }
        std::lock_guard<std::mutex> guard(lock_);
        return kindLocked(object) == kind;
    }

    // The kind the object is registered with, Kind{} when it is not.
    Kind kindOf(const void *object) const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return kindLocked(object);
    }

    size_t size() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return count_ + others_.size();
    }

private:
    static constexpr uintptr_t kKindBits = 7;
    static constexpr unsigned kInitialBits = 6;

    struct Slots {
        explicit Slots(unsigned bits)
            : shift(64 - bits), mask((size_t{1} << bits) - 1), keys(new std::atomic<uintptr_t>[mask + 1])
        {
            for (size_t i = 0; i <= mask; ++i)
                keys[i].store(0, std::memory_order_relaxed);
        }
        size_t capacity() const { return mask + 1; }
        // Every kind of one address starts at the same slot, so it is found whatever its kind.
        size_t home(uintptr_t key) const
        {
            return static_cast<size_t>((static_cast<uint64_t>(key >> 3) * 0x9E3779B97F4A7C15ull) >> shift);
        }
        unsigned shift;
        size_t mask;
        std::unique_ptr<std::atomic<uintptr_t>[]> keys;
    };

    static bool packable(const void *object, Kind kind)
    {
        const auto value = static_cast<uintptr_t>(kind);
        return (reinterpret_cast<uintptr_t>(object) & kKindBits) == 0 && value != 0 && value <= kKindBits;
    }
    static uintptr_t pack(const void *object, Kind kind)
    {
        return reinterpret_cast<uintptr_t>(object) | static_cast<uintptr_t>(kind);
    }

    const Slots &current() const { return *current_.load(std::memory_order_acquire); }
    Slots &current() { return *current_.load(std::memory_order_acquire); }

    void publish(std::unique_ptr<Slots> slots)
    {
        current_.store(slots.get(), std::memory_order_release);
        tables_.push_back(std::move(slots));
    }

    static void insert(Slots &slots, uintptr_t key)
    {
        size_t i = slots.home(key);
        while (slots.keys[i].load(std::memory_order_relaxed) != 0)
            i = (i + 1) & slots.mask;
        slots.keys[i].store(key, std::memory_order_release);
    }

    void grow()
    {
        const Slots &old = current();
        auto bigger = std::make_unique<Slots>(64 - old.shift + 1);
        for (size_t i = 0; i <= old.mask; ++i)
            if (uintptr_t key = old.keys[i].load(std::memory_order_relaxed))
                insert(*bigger, key);
        publish(std::move(bigger));
    }

    // The slot of an address in the packed table, or the capacity when it is not there.
    size_t findLocked(const void *object) const
    {
        const Slots &slots = current();
        const uintptr_t address = reinterpret_cast<uintptr_t>(object);
        for (size_t i = slots.home(address), probes = 0; probes <= slots.mask; i = (i + 1) & slots.mask, ++probes) {
            const uintptr_t found = slots.keys[i].load(std::memory_order_relaxed);
            if (found == 0)
                break;
            if ((found & ~kKindBits) == address)
                return i;
        }
        return slots.capacity();
    }

    Kind kindLocked(const void *object) const
    {
        if (!object)
            return Kind{};
        if ((reinterpret_cast<uintptr_t>(object) & kKindBits) == 0) {
            size_t slot = findLocked(object);
            if (slot != current().capacity())
                return static_cast<Kind>(current().keys[slot].load(std::memory_order_relaxed) & kKindBits);
        }
        auto other = others_.find(object);
        return other == others_.end() ? Kind{} : other->second;
    }

    void eraseLocked(const void *object)
    {
        if (others_.erase(object) || (reinterpret_cast<uintptr_t>(object) & kKindBits) != 0)
            return;
        Slots &slots = current();
        size_t hole = findLocked(object);
        if (hole == slots.capacity())
            return;
        // Backward shift: each later key of the run that may live in the hole moves into it,
        // so that no probe sequence is broken and no tombstones pile up.
        for (size_t next = (hole + 1) & slots.mask;; next = (next + 1) & slots.mask) {
            const uintptr_t key = slots.keys[next].load(std::memory_order_relaxed);
            if (key == 0)
                break;
            const size_t home = slots.home(key);
            const bool staysPut = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
            if (staysPut)
                continue;
            slots.keys[hole].store(key, std::memory_order_release);
            hole = next;
        }
        slots.keys[hole].store(0, std::memory_order_release);
        --count_;
    }

    mutable std::mutex lock_;
    std::atomic<Slots *> current_{nullptr};
    std::vector<std::unique_ptr<Slots>> tables_;  // every table made, the current one last
    size_t count_ = 0;                            // objects in the packed table
    std::unordered_map<const void *, Kind> others_;
};

}  // namespace jnihandles
