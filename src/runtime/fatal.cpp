#include "runtime/fatal.hpp"

#include <cstdlib>

#include "runtime/platform.hpp"

namespace tolm {

void raise_fatal(std::string_view message, std::source_location location) {
    std::string report = "thread '" + platform::current_thread_name() + "' failed fatally at ";
    report += location.file_name();
    report += ':' + std::to_string(location.line()) + ':' + std::to_string(location.column());
    report += ":\n";
    report += message;
    report += '\n';
    platform::write_stderr(report);
    throw FatalError(std::string(message), location);
}

void abort_with_message(std::string_view message) noexcept {
    std::string line(message);
    line += '\n';
    platform::write_stderr(line);
    std::abort();
}

}  // namespace tolm
