// A named shared-memory region that every process of the host can open by name, and the
// locks that live in it: cross-process locks whose holder's death is detected, so that a
// worker killed inside a critical section never leaves the others waiting for good.
//
// Linux: a POSIX shared-memory file (/dev/shm/tolm.<name>, mode 0600) mapped MAP_SHARED,
// and pthread mutexes that are PTHREAD_PROCESS_SHARED and PTHREAD_MUTEX_ROBUST, stored in the
// region itself. A new region is built under a private temporary name and only then linked
// to its public name, so no process ever sees one half initialised, and of two processes
// creating the same name at once one links and the other opens what it linked.
//
// Windows: a named file mapping (Local\tolm.<name>) and, per lock, a named mutex
// (Local\tolm.<name>.lock.<i>), whose wait reports WAIT_ABANDONED when its owner died. The
// creator initialises the region while holding a named creation mutex that openers also
// take, and marks it ready inside it.
//
// Region life differs by platform and is part of the contract: on Linux a region stays until
// remove_shared_region() (or a reboot) removes it; on Windows the system removes it when the
// last process closes it or dies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tolm::platform {

// An error a caller can provoke when opening a region: a bad name, a region that exists but
// is not one of ours, a permission or system failure. Its text names the region.
class SharedRegionError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Longest region name accepted. The system's own limit is larger (a file name of 255 bytes,
// a kernel object name of MAX_PATH); this leaves room for the prefix and the temporary
// suffix on both systems.
inline constexpr size_t kMaxSharedRegionName = 200;

// Throws SharedRegionError unless `name` is usable on every platform: 1 to
// kMaxSharedRegionName printable ASCII characters without '/' or '\'.
void validate_shared_region_name(std::string_view name);

// Room reserved in the region for one lock: a pthread_mutex_t on Linux (checked where it is
// used), unused on Windows, whose locks are kernel objects.
inline constexpr size_t kSharedLockBytes = 48;
struct alignas(8) SharedLockSpace {
    unsigned char bytes[kSharedLockBytes];
};

// How a lock was acquired: `owner_died` means its previous holder died holding it; whatever
// it guards may be half written and must be checked before use, and mark_consistent() called
// before the unlock, or the lock is unusable for everyone from then on.
enum class SharedLockState : uint8_t { acquired, owner_died };

class SharedRegion {
  public:
    // Fills a new region (zeroed, `size` bytes) before any other process can see it: the
    // caller's layout, including init_lock() for every lock it holds.
    using Initialise = void (*)(SharedRegion& region, void* context);

    // Opens the region `name`, creating it with `size` bytes and `initialise` when it does not
    // exist. An existing region is mapped at its own size (size() tells it), whatever `size`
    // says: the caller checks its header. `lock_count` is the number of locks the layout
    // keeps (indexes 0 .. lock_count-1); every opener of one region must pass the same.
    // Throws SharedRegionError.
    static std::unique_ptr<SharedRegion> open(std::string_view name, size_t size,
                                              uint32_t lock_count, Initialise initialise,
                                              void* context);

    // Removes the name so that the next open creates a new region; processes that have it
    // open keep using the old one. False when there was no such region. Linux only removes;
    // on Windows the region goes with its last user and this returns false.
    static bool remove(std::string_view name);

    ~SharedRegion();
    SharedRegion(const SharedRegion&) = delete;
    SharedRegion& operator=(const SharedRegion&) = delete;

    void* base() const noexcept { return base_; }
    size_t size() const noexcept { return size_; }
    bool created() const noexcept { return created_; }
    const std::string& name() const noexcept { return name_; }

    // Lock `index` stored in `space` (inside this region). init_lock is for Initialise only.
    void init_lock(SharedLockSpace& space, uint32_t index);
    SharedLockState lock(SharedLockSpace& space, uint32_t index) noexcept;
    void unlock(SharedLockSpace& space, uint32_t index) noexcept;
    // After an owner_died acquisition, once the guarded data has been checked.
    void mark_consistent(SharedLockSpace& space, uint32_t index) noexcept;

  private:
    SharedRegion() = default;
    struct Native;

    std::string name_;
    void* base_ = nullptr;
    size_t size_ = 0;
    bool created_ = false;
    std::unique_ptr<Native> native_;
};

// A host-wide clock that never steps: nanoseconds since an unspecified start (the boot),
// the same in every process of the host. CLOCK_BOOTTIME read through the C library on
// Linux, CLOCK_MONOTONIC on other Unix systems, QueryPerformanceCounter on Windows.
uint64_t monotonic_ns() noexcept;

}  // namespace tolm::platform
