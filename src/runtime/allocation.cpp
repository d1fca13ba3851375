// Allocation inside the shared library: running out of memory ends the process with a
// report instead of throwing into a host that cannot expect it. These definitions are
// hidden, so they serve only this library's own code, never the host's.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "runtime/fatal.hpp"

namespace {

[[noreturn]] void allocation_failed(std::size_t size) noexcept {
    char message[64];
    std::snprintf(message, sizeof message, "memory allocation of %zu bytes failed", size);
    tolm::abort_with_message(message);
}

void* allocate(std::size_t size) noexcept {
    if (size == 0) size = 1;
    void* p = std::malloc(size);
    if (p == nullptr) allocation_failed(size);
    return p;
}

}  // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
