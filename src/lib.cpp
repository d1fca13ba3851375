// The CPython extension module tolm_native and its one class, NativeEngine, which owns one
// rate-limit Engine. Argument binding, conversion and error wording live in src/python.
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/clock.hpp"
#include "core/engine.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/cpython.hpp"
#include "python/error.hpp"
#include "python/messages.hpp"
#include "python/ref.hpp"
#include "runtime/fatal.hpp"

namespace {

using tolm::python::ArgSpec;
using tolm::python::convert_argument;
using tolm::python::guarded;
using tolm::python::must;
using tolm::python::PyError;
using tolm::python::PyRef;

constexpr std::string_view kClassName = "NativeEngine";
constexpr const char* kTypeName = "builtins.NativeEngine";
constexpr const char* kClassDoc =
    "NativeEngine(algorithm_str, mode_str, capacity, refill_rate, api_key, debug, backend_url)"
    "\n--\n\n";
constexpr const char* kCheckDoc = "check($self, ip, route, identity=None)\n--\n\n";

constexpr std::array<const char*, 7> kNewParameters = {
    "algorithm_str", "mode_str", "capacity", "refill_rate", "api_key", "debug", "backend_url"};
constexpr std::array<const char*, 3> kCheckParameters = {"ip", "route", "identity"};

const ArgSpec kNewSpec{kClassName, "__new__", kNewParameters, 0, 7};
const ArgSpec kCheckSpec{kClassName, "check", kCheckParameters, 0, 2};

// Python-side settings that are not exposed to Python code.
constexpr double kBurstMultiplier = 1.0;
constexpr uint64_t kBlockDurationMs = 60000;

struct EngineObject {
    PyObject ob_base;  // what PyObject_HEAD declares
    // The configured algorithm text as a str, made once: every result repeats it.
    PyObject* algorithm_text;
    // The nested "decision" dictionary of the commonest result of this engine; see
    // result_dict.
    PyObject* decision_template;
    // The last "remaining" int this engine returned, and its value. A client well within
    // its limit gets the same count on every request (capacity - 1 for a bucket that
    // refills between requests), and an int is immutable, so that one object is handed out
    // again instead of a new one each time.
    PyObject* last_remaining;
    uint64_t last_remaining_value;
    alignas(tolm::Engine) std::byte engine_storage[sizeof(tolm::Engine)];

    tolm::Engine& engine() noexcept {
        return *std::launder(reinterpret_cast<tolm::Engine*>(engine_storage));
    }
};

// Process-wide slots, filled once with the interpreter lock held and never emptied.
PyObject* module_slot = nullptr;
PyObject* class_slot = nullptr;

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
std::array<PyObject*, kResultKeyCount> result_keys{};

// Result dictionaries start as copies of templates that hold every key in its order and
// the values of the commonest result: an allowed request within its limit, measured in
// under a millisecond. A copy is already sized (a dictionary built key by key grows on the
// way), and only the values that differ from the template are then set. The outer
// templates are shared; each engine has its own nested one, which holds its algorithm.
PyObject* outer_template = nullptr;                 // with "reason" (active and shadow)
PyObject* outer_template_without_reason = nullptr;  // disabled mode

// The decision and reason texts come from fixed tables, so their str objects are shared.
const std::array<std::string_view, 6> kConstantTexts = {
    tolm::to_text(tolm::Decision::allow),
    tolm::to_text(tolm::Decision::block),
    tolm::to_text(tolm::Decision::would_block),
    tolm::to_text(tolm::ReasonCode::within_limit),
    tolm::to_text(tolm::ReasonCode::limit_exceeded),
    tolm::to_text(tolm::ReasonCode::token_exhausted)};
std::array<PyObject*, 6> constant_texts{};
constexpr size_t kAllowText = 0;
constexpr size_t kWithinLimitText = 3;

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

void fill_result_caches() {
    for (size_t i = 0; i < result_keys.size(); ++i) {
        if (result_keys[i] == nullptr)
            result_keys[i] = must(PyUnicode_InternFromString(kResultKeyNames[i]));
    }
    for (size_t i = 0; i < constant_texts.size(); ++i) {
        if (constant_texts[i] == nullptr) constant_texts[i] = new_text(kConstantTexts[i]);
    }
    if (outer_template == nullptr) {
        outer_template = make_template({{kAllowed, Py_True},
                                        {kWouldBlock, Py_False},
                                        {kReason, constant_texts[kWithinLimitText]},
                                        {kDecision, Py_None}})
                             .release();
    }
    if (outer_template_without_reason == nullptr) {
        outer_template_without_reason =
            make_template({{kAllowed, Py_True}, {kWouldBlock, Py_False}, {kDecision, Py_None}})
                .release();
    }
}

PyRef make_decision_template(PyObject* algorithm_text) {
    PyRef zero = PyRef::steal(must(PyLong_FromUnsignedLongLong(0)));
    return make_template({{kDecision, constant_texts[kAllowText]},
                          {kReason, constant_texts[kWithinLimitText]},
                          {kAlgorithm, algorithm_text},
                          {kRoute, Py_None},
                          {kRemaining, Py_None},
                          {kLatencyMs, zero.get()}});
}

PyRef text_value(std::string_view text) {
    for (size_t i = 0; i < kConstantTexts.size(); ++i) {
        if (kConstantTexts[i] == text) return PyRef::borrow(constant_texts[i]);
    }
    return PyRef::steal(new_text(text));
}

PyRef count_value(std::optional<uint64_t> count) {
    if (!count) return PyRef::borrow(Py_None);
    return PyRef::steal(must(PyLong_FromUnsignedLongLong(*count)));
}

// `route_argument` is the str the caller passed as the route; the record's route is its
// text, so an exact str is handed back as it is instead of being decoded again.
PyRef result_dict(EngineObject& self, const tolm::CheckResult& result, PyObject* route_argument) {
    const tolm::DecisionRecord& record = result.record;
    PyRef decision = PyRef::steal(must(PyDict_Copy(self.decision_template)));
    if (record.decision != kConstantTexts[kAllowText]) {
        set_item(decision.get(), kDecision, text_value(record.decision).get());
    }
    if (record.reason != kConstantTexts[kWithinLimitText]) {
        set_item(decision.get(), kReason, text_value(record.reason).get());
    }
    if (record.algorithm != self.engine().config().algorithm) {
        set_item(decision.get(), kAlgorithm, PyRef::steal(new_text(record.algorithm)).get());
    }
    if (PyUnicode_CheckExact(route_argument)) {
        set_item(decision.get(), kRoute, route_argument);
    } else {
        set_item(decision.get(), kRoute, PyRef::steal(new_text(record.route)).get());
    }
    if (record.remaining) {
        if (self.last_remaining == nullptr || self.last_remaining_value != *record.remaining) {
            PyObject* count = must(PyLong_FromUnsignedLongLong(*record.remaining));
            Py_XDECREF(std::exchange(self.last_remaining, count));
            self.last_remaining_value = *record.remaining;
        }
        set_item(decision.get(), kRemaining, self.last_remaining);
    }
    if (record.latency_ms != 0u) {
        set_item(decision.get(), kLatencyMs, count_value(record.latency_ms).get());
    }

    PyRef outer = PyRef::steal(
        must(PyDict_Copy(result.reason ? outer_template : outer_template_without_reason)));
    if (!result.allowed) set_item(outer.get(), kAllowed, Py_False);
    if (result.would_block) set_item(outer.get(), kWouldBlock, Py_True);
    if (result.reason && *result.reason != kConstantTexts[kWithinLimitText]) {
        set_item(outer.get(), kReason, text_value(*result.reason).get());
    }
    set_item(outer.get(), kDecision, decision.get());
    return outer;
}

// The CheckResult that check fills: one per thread, reused from call to call so that its
// texts keep their storage. Building the dictionaries can run Python code (a collection
// calling finalizers) that checks again on the same thread while the outer result is still
// being read; such a nested check gets a result of its own.
class ReusableResult {
  public:
    ReusableResult() noexcept : nested_(in_use_) { in_use_ = true; }
    ~ReusableResult() { in_use_ = nested_; }
    ReusableResult(const ReusableResult&) = delete;
    ReusableResult& operator=(const ReusableResult&) = delete;

    tolm::CheckResult& get() {
        if (!nested_) return shared_;
        own_.emplace();
        return *own_;
    }

  private:
    static thread_local tolm::CheckResult shared_;
    static thread_local bool in_use_;
    bool nested_;
    std::optional<tolm::CheckResult> own_;
};

thread_local tolm::CheckResult ReusableResult::shared_;
thread_local bool ReusableResult::in_use_ = false;

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, kNewParameters.size()> slots{};
        tolm::python::bind(kNewSpec, args, kwargs, slots);

        using namespace tolm::python;
        tolm::EngineConfig config;
        config.algorithm = convert_argument(to_text, slots[0], kNewParameters[0]);
        config.mode = convert_argument(to_text, slots[1], kNewParameters[1]);
        config.capacity = convert_argument(to_double, slots[2], kNewParameters[2]);
        config.refill_rate = convert_argument(to_double, slots[3], kNewParameters[3]);
        config.api_key = convert_argument(to_optional_text, slots[4], kNewParameters[4]);
        config.debug = convert_argument(to_optional_text, slots[5], kNewParameters[5]);
        config.backend_url = convert_argument(to_text, slots[6], kNewParameters[6]);
        config.burst_multiplier = kBurstMultiplier;
        config.block_duration_ms = kBlockDurationMs;

        PyRef algorithm_text = PyRef::steal(new_text(config.algorithm));
        PyRef decision_template = make_decision_template(algorithm_text.get());
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        if (alloc == nullptr) alloc = PyType_GenericAlloc;
        PyObject* self = alloc(type, 0);
        if (self == nullptr) throw PyError::fetch();
        auto* object = reinterpret_cast<EngineObject*>(self);
        new (object->engine_storage) tolm::Engine(std::move(config));
        object->algorithm_text = algorithm_text.release();
        object->decision_template = decision_template.release();
        object->last_remaining = nullptr;
        object->last_remaining_value = 0;
        return self;
    });
}

void engine_dealloc(PyObject* self) noexcept {
    auto* object = reinterpret_cast<EngineObject*>(self);
    object->engine().~Engine();
    Py_XDECREF(object->algorithm_text);
    Py_XDECREF(object->decision_template);
    Py_XDECREF(object->last_remaining);
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    // Instances of heap types hold a reference to their class from allocation on.
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyObject* engine_check(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, kCheckParameters.size()> slots{};
        tolm::python::bind(kCheckSpec, args, kwargs, slots);

        using namespace tolm::python;
        // Views into the argument objects, which the call's tuple and dict keep alive.
        std::string ip_storage, route_storage, identity_storage;
        const auto borrow_text = [](std::string& storage) {
            return [&storage](PyObject* value) { return to_text_view(value, storage); };
        };
        const std::string_view ip =
            convert_argument(borrow_text(ip_storage), slots[0], kCheckParameters[0]);
        const std::string_view route =
            convert_argument(borrow_text(route_storage), slots[1], kCheckParameters[1]);
        const std::optional<std::string_view> identity = convert_argument(
            [&](PyObject* value) { return to_optional_text_view(value, identity_storage); },
            slots[2], kCheckParameters[2]);

        const uint64_t start_ms = tolm::wall_clock().now_ms();
        auto& object = *reinterpret_cast<EngineObject*>(self);
        ReusableResult reusable;
        tolm::CheckResult& result = reusable.get();
        // The dictionaries carry no detail text, so the engine need not format one.
        object.engine().check_into(result, identity, ip, route, start_ms, tolm::RecordUse::read,
                                   tolm::DetailUse::unread);
        return result_dict(object, result, slots[1]).release();
    });
}

PyMethodDef engine_methods[] = {
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(engine_check)),
     METH_VARARGS | METH_KEYWORDS, kCheckDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* engine_class() {
    if (class_slot != nullptr) return class_slot;
    PyType_Slot slots[] = {
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
        {Py_tp_doc, const_cast<char*>(kClassDoc)},
        {Py_tp_new, reinterpret_cast<void*>(engine_new)},
        {Py_tp_methods, engine_methods},
        {0, nullptr},
    };
    PyType_Spec spec{kTypeName, static_cast<int>(sizeof(EngineObject)), 0, Py_TPFLAGS_DEFAULT,
                     slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) {
        PyRef cause = PyError::fetch().instance();
        PyError error(PyExc_RuntimeError, tolm::python::messages::class_init_failed(kClassName));
        PyException_SetCause(error.instance().get(), cause.release());
        throw error;
    }
    class_slot = type;
    return class_slot;
}

void add_class(PyObject* module) {
    PyObject* type = engine_class();
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) throw PyError::fetch();
        PyErr_Clear();
        all = PyRef::steal(must(PyList_New(0)));
        if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw PyError::fetch();
    } else if (!PyList_Check(all.get())) {
        throw tolm::python::conversion_error(all.get(), "PyList");
    }
    PyRef name = PyRef::steal(new_text(kClassName));
    if (PyList_Append(all.get(), name.get()) != 0) {
        PyErr_Print();
        tolm::raise_fatal(tolm::python::messages::kAppendToAllFailed);
    }
    if (PyObject_SetAttrString(module, std::string(kClassName).c_str(), type) != 0) {
        throw PyError::fetch();
    }
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tolm_native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tolm_native() {
    return guarded([]() -> PyObject* {
        if (module_slot != nullptr) {
            throw PyError(PyExc_ImportError, tolm::python::messages::kInitializedTwice);
        }
        PyRef module = PyRef::steal(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
        if (!module) throw PyError::fetch();
        add_class(module.get());
        fill_result_caches();
        module_slot = PyRef::borrow(module.get()).release();
        return module.release();
    });
}
