// The dictionaries NativeEngine.check returns, built from a CheckResult.
//
// A check's result is built from copies of template dictionaries that already hold every key
// in its order and the values of the commonest result (allowed, within limit, measured in
// under a millisecond), so only the values that differ are set. The interned keys, the
// decision and reason strs and the outer templates are made once per process; each engine
// keeps the few objects that depend on its settings in a ResultCache.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/engine.hpp"
#include "python/cpython.hpp"
#include "python/ref.hpp"

namespace tolm::python {

// Makes the process-wide objects; called by module initialisation, before any engine exists.
void prepare_result_objects();

// What one engine's results share. Lives inside the Python instance, so it has no
// constructor or destructor of its own: init() after allocation, release() before freeing.
struct ResultCache {
    PyObject* algorithm_text;     // the configured algorithm text as a str
    PyObject* decision_template;  // the nested "decision" dict of the commonest result
    // The last "remaining" int handed out, and its value. A client well within its limit gets
    // the same count on every request (capacity - 1 for a bucket that refills between
    // requests), and an int is immutable, so the one object is handed out again.
    PyObject* last_remaining;
    uint64_t last_remaining_value;

    // Throws PyError; on failure the cache holds nothing and release() is still safe.
    void init(std::string_view algorithm);
    void release() noexcept;
};

// The outer dictionary for `result`, as a new reference. Only the result's codes, flags and
// record numbers are read, not its texts. `route_argument` is the str the caller passed as the
// route and `route` its UTF-8 text: an exact str is handed back as it is, a str subclass as a
// new str of the same text.
PyRef result_dict(ResultCache& cache, const CheckResult& result, PyObject* route_argument,
                  std::string_view route);

}  // namespace tolm::python
