#include "python/result.hpp"

#include <array>
#include <initializer_list>
#include <optional>
#include <utility>

#include "python/error.hpp"

namespace tolm::python {
namespace {

// Result dictionary keys, interned once so that every dict insertion hashes nothing new.
enum ResultKey : size_t {
    kAllowed,
    kWouldBlock,
    kReason,
    kDecision,
    kAlgorithm,
    kRoute,
    kRemaining,
    kLatencyMs,
    kResultKeyCount
};
constexpr std::array<const char*, kResultKeyCount> kResultKeyNames = {
    "allowed",   "would_block", "reason",    "decision",
    "algorithm", "route",       "remaining", "latency_ms"};

// Process-wide, filled once with the interpreter lock held and never emptied.
std::array<PyObject*, kResultKeyCount> result_keys{};
std::array<PyObject*, kEnumCount<Decision>> decision_texts{};  // indexed by Decision
std::array<PyObject*, kEnumCount<ReasonCode>> reason_texts{};  // indexed by ReasonCode
PyObject* outer_template = nullptr;                            // with "reason"
PyObject* outer_template_without_reason = nullptr;             // disabled mode

PyObject* decision_text(Decision code) noexcept {
    return decision_texts[static_cast<size_t>(code)];
}
PyObject* reason_text(ReasonCode code) noexcept {
    return reason_texts[static_cast<size_t>(code)];
}

void set_item(PyObject* dict, ResultKey key, PyObject* value) {
    if (PyDict_SetItem(dict, result_keys[key], value) != 0) throw PyError::fetch();
}

PyRef make_template(std::initializer_list<std::pair<ResultKey, PyObject*>> items) {
    PyRef dict = PyRef::steal(must(PyDict_New()));
    for (const auto& [key, value] : items) set_item(dict.get(), key, value);
    return dict;
}

PyObject* new_text(std::string_view text) {
    return must(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

template <typename Enum, size_t N>
void fill_texts(std::array<PyObject*, N>& texts) {
    for (size_t i = 0; i < N; ++i) {
        if (texts[i] == nullptr) texts[i] = new_text(to_text(static_cast<Enum>(i)));
    }
}

}  // namespace

void prepare_result_objects() {
    for (size_t i = 0; i < result_keys.size(); ++i) {
        if (result_keys[i] == nullptr)
            result_keys[i] = must(PyUnicode_InternFromString(kResultKeyNames[i]));
    }
    fill_texts<Decision>(decision_texts);
    fill_texts<ReasonCode>(reason_texts);
    PyObject* within_limit = reason_text(ReasonCode::within_limit);
    if (outer_template == nullptr) {
        outer_template = make_template({{kAllowed, Py_True},
                                        {kWouldBlock, Py_False},
                                        {kReason, within_limit},
                                        {kDecision, Py_None}})
                             .release();
    }
    if (outer_template_without_reason == nullptr) {
        outer_template_without_reason =
            make_template({{kAllowed, Py_True}, {kWouldBlock, Py_False}, {kDecision, Py_None}})
                .release();
    }
}

void ResultCache::init(std::string_view algorithm) {
    algorithm_text = nullptr;
    decision_template = nullptr;
    last_remaining = nullptr;
    last_remaining_value = 0;
    PyRef text = PyRef::steal(new_text(algorithm));
    PyRef zero = PyRef::steal(must(PyLong_FromUnsignedLongLong(0)));
    PyRef nested = make_template({{kDecision, decision_text(Decision::allow)},
                                  {kReason, reason_text(ReasonCode::within_limit)},
                                  {kAlgorithm, text.get()},
                                  {kRoute, Py_None},
                                  {kRemaining, Py_None},
                                  {kLatencyMs, zero.get()}});
    algorithm_text = text.release();
    decision_template = nested.release();
}

void ResultCache::release() noexcept {
    Py_XDECREF(std::exchange(algorithm_text, nullptr));
    Py_XDECREF(std::exchange(decision_template, nullptr));
    Py_XDECREF(std::exchange(last_remaining, nullptr));
}

PyRef result_dict(ResultCache& cache, const CheckResult& result, PyObject* route_argument,
                  std::string_view route) {
    const DecisionRecord& record = result.record;
    const ReasonCode record_reason = result.reason_code.value_or(ReasonCode::within_limit);
    PyRef decision = PyRef::steal(must(PyDict_Copy(cache.decision_template)));
    if (result.decision_code != Decision::allow) {
        set_item(decision.get(), kDecision, decision_text(result.decision_code));
    }
    if (record_reason != ReasonCode::within_limit) {
        set_item(decision.get(), kReason, reason_text(record_reason));
    }
    if (PyUnicode_CheckExact(route_argument)) {
        set_item(decision.get(), kRoute, route_argument);
    } else {
        set_item(decision.get(), kRoute, PyRef::steal(new_text(route)).get());
    }
    if (record.remaining) {
        if (cache.last_remaining == nullptr || cache.last_remaining_value != *record.remaining) {
            PyObject* count = must(PyLong_FromUnsignedLongLong(*record.remaining));
            Py_XDECREF(std::exchange(cache.last_remaining, count));
            cache.last_remaining_value = *record.remaining;
        }
        set_item(decision.get(), kRemaining, cache.last_remaining);
    }
    if (record.latency_ms != 0u) {
        PyRef latency = record.latency_ms
                            ? PyRef::steal(must(PyLong_FromUnsignedLongLong(*record.latency_ms)))
                            : PyRef::borrow(Py_None);
        set_item(decision.get(), kLatencyMs, latency.get());
    }

    PyRef outer = PyRef::steal(
        must(PyDict_Copy(result.reason_code ? outer_template : outer_template_without_reason)));
    if (!result.allowed) set_item(outer.get(), kAllowed, Py_False);
    if (result.would_block) set_item(outer.get(), kWouldBlock, Py_True);
    if (result.reason_code && *result.reason_code != ReasonCode::within_limit) {
        set_item(outer.get(), kReason, reason_text(*result.reason_code));
    }
    set_item(outer.get(), kDecision, decision.get());
    return outer;
}

}  // namespace tolm::python
