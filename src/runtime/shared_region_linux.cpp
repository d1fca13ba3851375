#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "runtime/fatal.hpp"
#include "runtime/platform.hpp"
#include "runtime/shared_region.hpp"

namespace tolm::platform {

static_assert(sizeof(pthread_mutex_t) <= kSharedLockBytes &&
              alignof(pthread_mutex_t) <= alignof(SharedLockSpace));

struct SharedRegion::Native {};

namespace {

// Where POSIX shared-memory objects live (a tmpfs). The files are opened directly, as
// glibc's shm_open does, because shm_open sat in librt before glibc 2.34 and the shipped
// library links against nothing newer than glibc 2.28's libc and libpthread.
constexpr std::string_view kShmDirectory = "/dev/shm/";

std::string object_path(std::string_view name) {
    std::string text(kShmDirectory);
    text += "tolm.";
    text += name;
    return text;
}

constexpr int kOpenFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC;

std::string system_error_text(std::string_view what, std::string_view name, int error) {
    std::string text = "shared region '";
    text += name;
    text += "': ";
    text += what;
    text += " failed: ";
    text += std::strerror(error);
    return text;
}

[[noreturn]] void fail(std::string_view what, std::string_view name, int error) {
    throw SharedRegionError(system_error_text(what, name, error));
}

class Fd {
  public:
    explicit Fd(int fd) noexcept : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const noexcept { return fd_; }

  private:
    int fd_;
};

void* map_shared(int fd, size_t size, std::string_view name) {
    void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) fail("mmap", name, errno);
    return base;
}

pthread_mutex_t* mutex_in(SharedLockSpace& space) noexcept {
    return reinterpret_cast<pthread_mutex_t*>(space.bytes);
}

// A creator killed between creating its private draft and publishing it leaves the draft
// behind, with its reserved memory. Drafts are named <public>.new.<pid>.<random>: those of
// processes that no longer exist are removed before a new one is made.
void remove_abandoned_drafts(const std::string& public_path) {
    const std::string prefix = public_path.substr(kShmDirectory.size()) + ".new.";
    DIR* directory = ::opendir(std::string(kShmDirectory).c_str());
    if (directory == nullptr) return;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string_view file(entry->d_name);
        if (file.substr(0, prefix.size()) != prefix) continue;
        const std::string_view rest = file.substr(prefix.size());
        const size_t dot = rest.find('.');
        if (dot == 0 || dot == std::string_view::npos) continue;
        long pid = 0;
        for (const char c : rest.substr(0, dot)) {
            if (c < '0' || c > '9' || pid > 1'000'000'000) {
                pid = -1;
                break;
            }
            pid = pid * 10 + (c - '0');
        }
        if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        ::unlinkat(::dirfd(directory), entry->d_name, 0);
    }
    ::closedir(directory);
}

}  // namespace

std::unique_ptr<SharedRegion> SharedRegion::open(std::string_view name, size_t size,
                                                 uint32_t /*lock_count*/, Initialise initialise,
                                                 void* context) {
    validate_shared_region_name(name);
    const std::string public_path = object_path(name);
    std::unique_ptr<SharedRegion> region(new SharedRegion());
    region->name_ = name;
    region->native_ = std::make_unique<Native>();

    // Each round either opens the published region or publishes one; a round that loses the
    // race to publish opens the winner's in the next.
    for (int round = 0; round < 8; ++round) {
        const int existing = ::open(public_path.c_str(), kOpenFlags);
        if (existing >= 0) {
            const Fd fd(existing);
            // statx rather than fstat: fstat is a symbol of its own only from glibc 2.33,
            // and the shipped library asks for nothing newer than 2.28.
            struct statx info {};
            if (::statx(fd.get(), "", AT_EMPTY_PATH, STATX_UID | STATX_SIZE, &info) != 0) {
                fail("statx", name, errno);
            }
            if (info.stx_uid != ::geteuid()) {
                throw SharedRegionError("shared region '" + std::string(name) +
                                        "' belongs to another user");
            }
            if (info.stx_size == 0) {
                throw SharedRegionError("shared region '" + std::string(name) +
                                        "' is empty (truncated, or not a tolm region)");
            }
            region->size_ = static_cast<size_t>(info.stx_size);
            region->base_ = map_shared(fd.get(), region->size_, name);
            return region;
        }
        if (errno != ENOENT) fail("open", name, errno);

        // Build the whole region under a name nobody else uses, then publish it with link(),
        // which fails rather than replace a region another process published first.
        remove_abandoned_drafts(public_path);
        unsigned char random[8];
        fill_random(random, sizeof random);
        std::string private_path = public_path + ".new." + std::to_string(::getpid()) + ".";
        for (const unsigned char byte : random) {
            private_path += "0123456789abcdef"[byte >> 4];
            private_path += "0123456789abcdef"[byte & 15];
        }
        const int created = ::open(private_path.c_str(), kOpenFlags | O_CREAT | O_EXCL, 0600);
        if (created < 0) fail("open (create)", name, errno);
        const Fd fd(created);
        struct Discard {
            const std::string& path;
            bool armed = true;
            ~Discard() {
                if (armed) ::unlink(path.c_str());
            }
        } discard{private_path};
        // The umask may have taken bits away; it cannot have added any, but be exact.
        if (::fchmod(fd.get(), 0600) != 0) fail("fchmod", name, errno);
        if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) fail("ftruncate", name, errno);
        // Reserve the memory now: a region that cannot be backed fails here with ENOSPC,
        // where a sparse one would kill the process with SIGBUS on a later write.
        if (const int error = ::posix_fallocate(fd.get(), 0, static_cast<off_t>(size));
            error != 0) {
            fail("reserving " + std::to_string(size) + " bytes", name, error);
        }
        region->size_ = size;
        region->base_ = map_shared(fd.get(), size, name);
        try {
            initialise(*region, context);
        } catch (...) {
            ::munmap(region->base_, region->size_);
            region->base_ = nullptr;
            throw;
        }
        if (::link(private_path.c_str(), public_path.c_str()) == 0) {
            region->created_ = true;
            return region;  // `discard` removes the private name; the public one stays
        }
        const int error = errno;
        ::munmap(region->base_, region->size_);
        region->base_ = nullptr;
        if (error != EEXIST) fail("link", name, error);
    }
    throw SharedRegionError("shared region '" + std::string(name) +
                            "' keeps appearing and disappearing while it is opened");
}

bool SharedRegion::remove(std::string_view name) {
    validate_shared_region_name(name);
    if (::unlink(object_path(name).c_str()) == 0) return true;
    if (errno == ENOENT) return false;
    fail("unlink", name, errno);
}

SharedRegion::~SharedRegion() {
    if (base_ != nullptr) ::munmap(base_, size_);
}

void SharedRegion::init_lock(SharedLockSpace& space, uint32_t /*index*/) {
    pthread_mutexattr_t attributes;
    if (::pthread_mutexattr_init(&attributes) != 0) fail("pthread_mutexattr_init", name_, ENOMEM);
    struct Destroy {
        pthread_mutexattr_t* attributes;
        ~Destroy() { ::pthread_mutexattr_destroy(attributes); }
    } destroy{&attributes};
    int error = ::pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    if (error == 0) error = ::pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    if (error == 0) error = ::pthread_mutex_init(mutex_in(space), &attributes);
    if (error != 0) fail("pthread_mutex_init", name_, error);
}

SharedLockState SharedRegion::lock(SharedLockSpace& space, uint32_t /*index*/) noexcept {
    const int error = ::pthread_mutex_lock(mutex_in(space));
    if (error == 0) return SharedLockState::acquired;
    if (error == EOWNERDEAD) return SharedLockState::owner_died;
    // ENOTRECOVERABLE (a holder unlocked after its owner died without marking it consistent,
    // which this library never does) or a lock that is not one: the region is damaged, and
    // no answer from it could be trusted.
    abort_with_message(system_error_text("locking a shard", name_, error));
}

void SharedRegion::unlock(SharedLockSpace& space, uint32_t /*index*/) noexcept {
    ::pthread_mutex_unlock(mutex_in(space));
}

void SharedRegion::mark_consistent(SharedLockSpace& space, uint32_t /*index*/) noexcept {
    ::pthread_mutex_consistent(mutex_in(space));
}

uint64_t monotonic_ns() noexcept {
    timespec ts{};
    // CLOCK_BOOTTIME: host-wide and never stepped like CLOCK_MONOTONIC, but it also counts
    // time the machine spent suspended, which a client waiting for its allowance did wait.
    // No host runtime reads it, so the suites' clock shim can steer it without stopping the
    // host's own timers.
    if (::clock_gettime(CLOCK_BOOTTIME, &ts) != 0) {
        abort_with_message("clock_gettime(CLOCK_BOOTTIME) failed");
    }
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace tolm::platform
