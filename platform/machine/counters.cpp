#include "machine/counters.h"

#include "machine/machine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

namespace winsim {

namespace {

constexpr char kMagic[8] = {'W', 'S', 'C', 'O', 'U', 'N', 'T', '1'};
constexpr uint32_t kSlotCount = 1024;
constexpr size_t kHeaderSize = 16;
constexpr size_t kSlotSize = 64;
constexpr size_t kNameSize = 56;
constexpr size_t kFileSize = kHeaderSize + kSlotCount * kSlotSize;

struct Slot {
    char name[kNameSize];
    int64_t value;
};
static_assert(sizeof(Slot) == kSlotSize, "slot layout");

class CounterFile {
public:
    static CounterFile &instance()
    {
        // Never destroyed: counters are touched from destructors of static objects.
        static CounterFile *file = new CounterFile;
        return *file;
    }

    // The value of a counter, made when `create`; null when missing or the file is unusable.
    int64_t *find(std::string_view name, bool create)
    {
        if (name.empty() || name.size() >= kNameSize)
            return nullptr;
        std::lock_guard<std::mutex> guard(lock_);
        if (!map())
            return nullptr;
        std::string key(name);
        if (auto it = known_.find(key); it != known_.end())
            return it->second;
        // Other processes may have added slots since: look again under the file lock.
        flock(fd_, LOCK_EX);
        int64_t *value = nullptr;
        Slot *slots = reinterpret_cast<Slot *>(base_ + kHeaderSize);
        for (uint32_t i = 0; i < kSlotCount; ++i) {
            if (slots[i].name[0] == '\0') {
                if (create) {
                    memcpy(slots[i].name, key.data(), key.size());
                    value = &slots[i].value;
                }
                break;
            }
            if (key == slots[i].name) {
                value = &slots[i].value;
                break;
            }
        }
        flock(fd_, LOCK_UN);
        if (value)
            known_[key] = value;
        return value;
    }

    std::vector<std::pair<std::string, int64_t>> all()
    {
        std::vector<std::pair<std::string, int64_t>> result;
        std::lock_guard<std::mutex> guard(lock_);
        if (!map())
            return result;
        const Slot *slots = reinterpret_cast<const Slot *>(base_ + kHeaderSize);
        for (uint32_t i = 0; i < kSlotCount && slots[i].name[0]; ++i)
            result.emplace_back(std::string(slots[i].name, strnlen(slots[i].name, kNameSize)),
                                __atomic_load_n(&slots[i].value, __ATOMIC_SEQ_CST));
        return result;
    }

private:
    bool map()
    {
        if (base_)
            return true;
        std::string path = machineRoot() + "/counters";
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0)
            return false;
        flock(fd_, LOCK_EX);
        struct stat st;
        bool fresh = fstat(fd_, &st) == 0 && st.st_size == 0;
        if (fresh && ftruncate(fd_, kFileSize) != 0) {
            flock(fd_, LOCK_UN);
            return false;
        }
        void *mapped = mmap(nullptr, kFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (mapped == MAP_FAILED) {
            flock(fd_, LOCK_UN);
            return false;
        }
        base_ = static_cast<char *>(mapped);
        if (fresh) {
            memcpy(base_, kMagic, sizeof kMagic);
            uint32_t count = kSlotCount;
            memcpy(base_ + 8, &count, sizeof count);
        }
        flock(fd_, LOCK_UN);
        return memcmp(base_, kMagic, sizeof kMagic) == 0;
    }

    std::mutex lock_;
    int fd_ = -1;
    char *base_ = nullptr;
    std::map<std::string, int64_t *> known_;
};

}  // namespace

int64_t addToCounter(std::string_view name, int64_t delta)
{
    int64_t *value = CounterFile::instance().find(name, true);
    return value ? __atomic_add_fetch(value, delta, __ATOMIC_SEQ_CST) : 0;
}

int64_t counterValue(std::string_view name)
{
    int64_t *value = CounterFile::instance().find(name, false);
    return value ? __atomic_load_n(value, __ATOMIC_SEQ_CST) : 0;
}

std::vector<std::pair<std::string, int64_t>> allCounters()
{
    return CounterFile::instance().all();
}

}  // namespace winsim
