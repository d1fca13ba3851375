#include "runtime/fatal.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace tolm {
namespace {

// One write(2) per report so that reports of concurrent failures do not interleave.
void write_stderr(std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n <= 0) return;
        text.remove_prefix(static_cast<size_t>(n));
    }
}

std::string current_thread_name() {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0') {
        return name;
    }
    return "<unnamed>";
}

}  // namespace

void raise_fatal(std::string_view message, std::source_location location) {
    std::string report = "thread '" + current_thread_name() + "' failed fatally at ";
    report += location.file_name();
    report += ':' + std::to_string(location.line()) + ':' + std::to_string(location.column());
    report += ":\n";
    report += message;
    report += '\n';
    write_stderr(report);
    throw FatalError(std::string(message), location);
}

void abort_with_message(std::string_view message) noexcept {
    std::string line(message);
    line += '\n';
    write_stderr(line);
    std::abort();
}

}  // namespace tolm
