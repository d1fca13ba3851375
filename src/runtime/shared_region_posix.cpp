// Shared regions on Unix systems other than Linux (macOS, the BSDs). Their pthread mutexes
// are not robust (macOS has no PTHREAD_MUTEX_ROBUST), so a worker killed inside a critical
// section would leave every other worker of the host waiting for good. Rather than ship that,
// opening a region is refused with an error that says what to use instead; the rest of the
// library works as on Linux.
#include <time.h>

#include <string>

#include "runtime/fatal.hpp"
#include "runtime/shared_region.hpp"

namespace tolm::platform {

struct SharedRegion::Native {};

std::unique_ptr<SharedRegion> SharedRegion::open(std::string_view name, size_t /*size*/,
                                                 uint32_t /*lock_count*/, Initialise /*initialise*/,
                                                 void* /*context*/) {
    validate_shared_region_name(name);
    throw SharedRegionError("shared region '" + std::string(name) +
                            "': shared limits across processes need Linux or Windows (this "
                            "system has no locks that survive a holder's death); use one "
                            "limiter per process or a Redis store here");
}

bool SharedRegion::remove(std::string_view name) {
    validate_shared_region_name(name);
    return false;
}

SharedRegion::~SharedRegion() = default;

// Unreachable: no region is ever opened on this platform.
void SharedRegion::init_lock(SharedLockSpace& /*space*/, uint32_t /*index*/) {}
SharedLockState SharedRegion::lock(SharedLockSpace& /*space*/, uint32_t /*index*/) noexcept {
    abort_with_message("shared region lock on a platform without shared regions");
}
void SharedRegion::unlock(SharedLockSpace& /*space*/, uint32_t /*index*/) noexcept {}
void SharedRegion::mark_consistent(SharedLockSpace& /*space*/, uint32_t /*index*/) noexcept {}

uint64_t monotonic_ns() noexcept {
    timespec ts{};
    if (::clock_gettime(CLOCK_MONOTONIC, &ts) != 0) {
        abort_with_message("clock_gettime(CLOCK_MONOTONIC) failed");
    }
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace tolm::platform
