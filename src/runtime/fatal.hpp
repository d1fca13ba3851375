// Fatal failures: broken internal invariants (a wall clock before 1970, a lock left
// unusable by an earlier failure) that the core cannot report as a value.
//
// A fatal failure is written to standard error where it is raised, then unwinds as a
// C++ exception through RAII guards up to a host entry point. The core never catches
// it; only the Python and Node entry points do.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace tolm {

class FatalError : public std::exception {
  public:
    FatalError(std::string message, std::source_location location)
        : message_(std::move(message)), location_(location) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& location() const noexcept { return location_; }

  private:
    std::string message_;
    std::source_location location_;
};

// Writes the failure report (thread, file:line:column, message) to standard error and
// throws FatalError. Never returns.
[[noreturn]] void raise_fatal(std::string_view message,
                              std::source_location location = std::source_location::current());

// Writes `message` to standard error and aborts the process, for failures that have no
// entry point above them to unwind to.
[[noreturn]] void abort_with_message(std::string_view message) noexcept;

}  // namespace tolm
