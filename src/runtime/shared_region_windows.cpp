// Compiled into Windows builds only (see platform_windows.cpp for the guard's reason).
#if defined(_WIN32)

#include <windows.h>

#include <string>
#include <vector>

#include "runtime/fatal.hpp"
#include "runtime/platform.hpp"
#include "runtime/shared_region.hpp"

namespace tolm::platform {

// Each lock is a named mutex: a process's handle is its own, so the region keeps nothing of
// it, and a wait on it reports WAIT_ABANDONED when its owner died holding it.
struct SharedRegion::Native {
    HANDLE mapping = nullptr;
    std::vector<HANDLE> locks;
    ~Native() {
        for (HANDLE lock : locks) {
            if (lock != nullptr) ::CloseHandle(lock);
        }
        if (mapping != nullptr) ::CloseHandle(mapping);
    }
};

namespace {

// Names in the session's namespace: a region is shared by the processes of one login
// session, and kernel objects there are created with the user's default security (the
// user, SYSTEM and administrators).
std::wstring object_name(std::string_view name, std::string_view suffix) {
    std::wstring text = L"Local\\tolm.";
    for (const char c : name) text += static_cast<wchar_t>(c);  // validated ASCII
    for (const char c : suffix) text += static_cast<wchar_t>(c);
    return text;
}

[[noreturn]] void fail(std::string_view what, std::string_view name) {
    const DWORD error = ::GetLastError();
    throw SharedRegionError("shared region '" + std::string(name) + "': " + std::string(what) +
                            " failed (system error " + std::to_string(error) + ")");
}

// Holds the region's creation mutex: creating and initialising a region, and checking that
// one exists, happen under it, so an opener never sees a region half initialised.
class CreationLock {
  public:
    explicit CreationLock(std::string_view name)
        : handle_(::CreateMutexW(nullptr, FALSE, object_name(name, ".create").c_str())) {
        if (handle_ == nullptr) fail("CreateMutexW", name);
        // An abandoned creation mutex: its creator died initialising; the region it left (if
        // any is still open) has no magic number, and openers refuse it until it is gone.
        ::WaitForSingleObject(handle_, INFINITE);
    }
    ~CreationLock() {
        ::ReleaseMutex(handle_);
        ::CloseHandle(handle_);
    }
    CreationLock(const CreationLock&) = delete;
    CreationLock& operator=(const CreationLock&) = delete;

  private:
    HANDLE handle_;
};

}  // namespace

void validate_shared_region_name(std::string_view name) {
    if (name.empty() || name.size() > kMaxSharedRegionName) {
        throw SharedRegionError("shared region name must be 1 to " +
                                std::to_string(kMaxSharedRegionName) + " characters, got " +
                                std::to_string(name.size()));
    }
    for (const char c : name) {
        if (c == '/' || c == '\\' || c < 0x21 || c > 0x7e) {
            throw SharedRegionError(
                "shared region name may hold printable ASCII without '/', '\\' or blanks: '" +
                std::string(name) + "' does not");
        }
    }
}

std::unique_ptr<SharedRegion> SharedRegion::open(std::string_view name, size_t size,
                                                 uint32_t lock_count, Initialise initialise,
                                                 void* context) {
    validate_shared_region_name(name);
    std::unique_ptr<SharedRegion> region(new SharedRegion());
    region->name_ = name;
    region->native_ = std::make_unique<Native>();
    Native& native = *region->native_;
    for (uint32_t i = 0; i < lock_count; ++i) {
        HANDLE lock =
            ::CreateMutexW(nullptr, FALSE, object_name(name, ".lock." + std::to_string(i)).c_str());
        if (lock == nullptr) fail("CreateMutexW", name);
        native.locks.push_back(lock);
    }

    const CreationLock creating(name);
    const auto wide_size = static_cast<uint64_t>(size);
    native.mapping = ::CreateFileMappingW(
        INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(wide_size >> 32),
        static_cast<DWORD>(wide_size & 0xffffffffu), object_name(name, "").c_str());
    if (native.mapping == nullptr) fail("CreateFileMappingW", name);
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    region->base_ = ::MapViewOfFile(native.mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (region->base_ == nullptr) fail("MapViewOfFile", name);
    MEMORY_BASIC_INFORMATION info{};
    if (::VirtualQuery(region->base_, &info, sizeof info) == 0) fail("VirtualQuery", name);
    // A view covers whole pages: an existing region may show a little more than its size.
    region->size_ = existed ? static_cast<size_t>(info.RegionSize) : size;
    if (!existed) {
        initialise(*region, context);  // the pages of a new mapping read as zero
        region->created_ = true;
    }
    return region;
}

bool SharedRegion::remove(std::string_view name) {
    validate_shared_region_name(name);
    return false;  // a named mapping goes with its last handle
}

SharedRegion::~SharedRegion() {
    if (base_ != nullptr) ::UnmapViewOfFile(base_);
}

void SharedRegion::init_lock(SharedLockSpace& /*space*/, uint32_t /*index*/) {}

SharedLockState SharedRegion::lock(SharedLockSpace& /*space*/, uint32_t index) noexcept {
    switch (::WaitForSingleObject(native_->locks[index], INFINITE)) {
        case WAIT_OBJECT_0:
            return SharedLockState::acquired;
        case WAIT_ABANDONED:
            return SharedLockState::owner_died;
        default:
            abort_with_message("shared region '" + name_ + "': waiting for a shard lock failed");
    }
}

void SharedRegion::unlock(SharedLockSpace& /*space*/, uint32_t index) noexcept {
    ::ReleaseMutex(native_->locks[index]);
}

void SharedRegion::mark_consistent(SharedLockSpace& /*space*/, uint32_t /*index*/) noexcept {}

uint64_t monotonic_ns() noexcept {
    static const uint64_t frequency = [] {
        LARGE_INTEGER f{};
        ::QueryPerformanceFrequency(&f);
        return static_cast<uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    const auto ticks = static_cast<uint64_t>(counter.QuadPart);
    return ticks / frequency * 1'000'000'000u + ticks % frequency * 1'000'000'000u / frequency;
}

}  // namespace tolm::platform

#endif  // defined(_WIN32)
