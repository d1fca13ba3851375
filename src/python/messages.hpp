// Every text that the Python binding shows to Python code, in one place.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tolm::python::messages {

// Binding errors. `function` is the display name, e.g. "NativeEngine.check()".
std::string too_many_positional(std::string_view function, size_t required, size_t positional,
                                size_t given);
std::string unexpected_keyword(std::string_view function, std::string_view key);
std::string multiple_values(std::string_view function, std::string_view name);
std::string positional_only_as_keyword(std::string_view function,
                                       const std::vector<std::string_view>& names);
// `kind` is "positional" or "keyword".
std::string missing_arguments(std::string_view function, std::string_view kind,
                              const std::vector<std::string_view>& names);

// Conversion errors. `target` names the native type, e.g. "PyString".
std::string cannot_convert(std::string_view type_name, std::string_view target);
std::string labelled(std::string_view parameter, std::string_view message);
inline constexpr std::string_view kTypeNameUnavailable = "<failed to extract type name>";

inline constexpr std::string_view kNoPendingException =
    "attempted to fetch exception but none was set";
inline constexpr std::string_view kApiCallFailed = "Python API call failed";
inline constexpr std::string_view kAppendToAllFailed = "could not append __name__ to __all__";
inline constexpr std::string_view kInitializedTwice =
    "tolm_native may be initialized only once per interpreter process";
std::string class_init_failed(std::string_view class_name);

// The fatal-failure exception and what goes with it.
inline constexpr const char* kPanicQualifiedName = "native_runtime.PanicException";
inline constexpr const char* kPanicDoc =
    "Raised when native code called from Python fails fatally.\n"
    "\n"
    "Like SystemExit, this exception derives from BaseException rather than Exception, so\n"
    "that it typically propagates all the way up the stack and ends the interpreter.";
inline constexpr std::string_view kFatalWithoutMessage = "native code failed fatally";
inline constexpr std::string_view kPanicMessageUnreadable =
    "a PanicException raised in Python code had no readable message";
inline constexpr const char* kResumingPanic =
    "A PanicException raised in Python code is resumed as a fatal failure:\n";
inline constexpr std::string_view kFatalAtBoundary =
    "fatal failure reached the Python interpreter boundary; aborting";

}  // namespace tolm::python::messages
