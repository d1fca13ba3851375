#include <pthread.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/fatal.hpp"
#include "runtime/platform.hpp"

namespace tolm::platform {

void wall_clock_failed() noexcept {
    abort_with_message("clock_gettime(CLOCK_REALTIME) failed");
}

uint64_t logical_processor_count() noexcept {
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<uint64_t>(n) : 0;
}

void fill_random(void* out, size_t size) noexcept {
    auto* bytes = static_cast<unsigned char*>(out);
    while (size > 0) {
        const ssize_t n = ::getrandom(bytes, size, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            abort_with_message("getrandom failed: the random generator is unavailable");
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
}

std::string current_thread_name() {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0') {
        return name;
    }
    return "<unnamed>";
}

void write_stderr(std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n <= 0) return;
        text.remove_prefix(static_cast<size_t>(n));
    }
}

}  // namespace tolm::platform
