// The CPython extension module tolm_native and its one class, NativeEngine, which owns one
// rate-limit Engine. Argument binding, conversion and error wording live in src/python, and
// so does the building of the result dictionaries (python/result).
#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/engine.hpp"
#include "core/reusable_result.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/cpython.hpp"
#include "python/error.hpp"
#include "python/messages.hpp"
#include "python/ref.hpp"
#include "python/result.hpp"
#include "runtime/fatal.hpp"
#include "runtime/shared_region.hpp"

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
constexpr const char* kDecideDoc =
    "_decide($self, ip, route, identity, cost=1, /)\n--\n\n"
    "The middleware's check: (outcome, remaining, admit_after_ms, whole_after_ms), None for\n"
    "what is unknown; outcome packs allowed (1), would_block (2) and 1 + the reason code << 2.";

constexpr std::array<const char*, 7> kNewParameters = {
    "algorithm_str", "mode_str", "capacity", "refill_rate", "api_key", "debug", "backend_url"};
constexpr std::array<const char*, 3> kCheckParameters = {"ip", "route", "identity"};
constexpr std::array<const char*, 4> kDecideParameters = {"ip", "route", "identity", "cost"};

constexpr const char* kOpenDoc =
    "_open(algorithm, mode, capacity, refill_rate, *, window_ms=60000, max_clients=0,\n"
    "      shared=None, clock='wall', api_key=None, debug=False, backend_url='',\n"
    "      lease=0, lease_ms=0)\n--\n\n"
    "A NativeEngine for the friendly layers: any window length, an optional cap on the\n"
    "clients kept, a shared region, and elapsed time that never steps back. With lease,\n"
    "the shared region holds the host's Redis leases and the clients stay in the engine.";
constexpr const char* kRemoveSharedDoc =
    "_remove_shared(name, /)\n--\n\nRemoves the shared region; False when there was none.";
constexpr const char* kStatsDoc = "_stats($self, /)\n--\n\n{'evictions': n, 'clients': n}";

constexpr std::array<const char*, 4> kOpenParameters = {"algorithm", "mode", "capacity",
                                                        "refill_rate"};
constexpr std::array<tolm::python::KeywordOnlyParameter, 9> kOpenKeywords = {{
    {"window_ms", false},
    {"max_clients", false},
    {"shared", false},
    {"clock", false},
    {"api_key", false},
    {"debug", false},
    {"backend_url", false},
    {"lease", false},
    {"lease_ms", false},
}};
constexpr std::array<const char*, 1> kNameParameter = {"name"};

const ArgSpec kNewSpec{kClassName, "__new__", kNewParameters, 0, 7};
const ArgSpec kOpenSpec{std::nullopt, "_open", kOpenParameters, 0, 4, kOpenKeywords};
const ArgSpec kRemoveSharedSpec{std::nullopt, "_remove_shared", kNameParameter, 1, 1};
const ArgSpec kCheckSpec{kClassName, "check", kCheckParameters, 0, 2};
const ArgSpec kDecideSpec{kClassName, "_decide", kDecideParameters, 4, 3};

// Python-side settings that are not exposed to Python code.
constexpr double kBurstMultiplier = 1.0;
constexpr uint64_t kBlockDurationMs = 60000;

struct EngineObject {
    PyObject ob_base;  // what PyObject_HEAD declares
    tolm::python::ResultCache results;
    alignas(tolm::Engine) std::byte engine_storage[sizeof(tolm::Engine)];

    tolm::Engine& engine() noexcept {
        return *std::launder(reinterpret_cast<tolm::Engine*>(engine_storage));
    }
};

// Process-wide slots, filled once with the interpreter lock held and never emptied.
PyObject* module_slot = nullptr;
PyObject* class_slot = nullptr;

PyObject* new_text(std::string_view text) {
    return must(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

PyObject* engine_class();

// A NativeEngine holding an engine built from `config` (and `options`, for _open).
PyObject* make_engine(PyTypeObject* type, tolm::EngineConfig config,
                      const tolm::EngineOptions* options) {
    tolm::python::ResultCache results{};
    results.init(config.algorithm);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (self == nullptr) {
        results.release();
        throw PyError::fetch();
    }
    auto* object = reinterpret_cast<EngineObject*>(self);
    try {
        if (options != nullptr) {
            new (object->engine_storage) tolm::Engine(std::move(config), *options);
        } else {
            new (object->engine_storage) tolm::Engine(std::move(config));
        }
    } catch (...) {
        // The object holds no engine: free it without running the engine's destructor.
        results.release();
        auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_slot(self);
        Py_DECREF(reinterpret_cast<PyObject*>(type));
        throw;
    }
    object->results = results;
    return self;
}

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
        return make_engine(type, std::move(config), nullptr);
    });
}

[[noreturn]] void refuse(std::string_view option, const std::string& problem) {
    throw PyError(PyExc_ValueError, std::string(option) + problem);
}

void expect_fine(std::string_view option, const std::string& problem) {
    if (!problem.empty()) refuse(option, problem);
}

// A whole number option, given as an int or a float with no fraction.
uint64_t whole_option(PyObject* value, std::string_view option, uint64_t fallback, uint64_t least,
                      uint64_t most) {
    if (value == nullptr) return fallback;
    const double number = convert_argument(tolm::python::to_double, value, option);
    expect_fine(option, tolm::whole_number_problem(number, least, most));
    return static_cast<uint64_t>(number);
}

// tolm_native._open(...): every setting checked, each refusal naming its option.
PyObject* module_open(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, kOpenParameters.size() + kOpenKeywords.size()> slots{};
        tolm::python::bind(kOpenSpec, args, kwargs, slots);

        using namespace tolm::python;
        tolm::EngineConfig config;
        config.algorithm = convert_argument(to_text, slots[0], "algorithm");
        expect_fine("algorithm", tolm::algorithm_problem(config.algorithm));
        config.mode = convert_argument(to_text, slots[1], "mode");
        expect_fine("mode", tolm::mode_problem(config.mode));
        config.capacity = convert_argument(to_double, slots[2], "capacity");
        config.refill_rate = convert_argument(to_double, slots[3], "refill_rate");
        config.window_ms =
            whole_option(slots[4], "window_ms", tolm::kDefaultWindowMs, 1, tolm::kMaxWindowMs);
        config.max_clients = whole_option(slots[5], "max_clients", 0, 0, tolm::kMaxClients);

        tolm::EngineOptions options;
        options.shared = convert_argument(to_optional_text, slots[6], "shared");
        if (options.shared) {
            if (config.max_clients == 0) {
                refuse("max_clients", " must be above 0 for a shared engine (it sizes the region)");
            }
            try {
                tolm::platform::validate_shared_region_name(*options.shared);
            } catch (const tolm::platform::SharedRegionError& error) {
                throw PyError(PyExc_ValueError, std::string("shared: ") + error.what());
            }
        }
        if (slots[7] != nullptr) {
            const std::string clock = convert_argument(to_text, slots[7], "clock");
            const std::optional<tolm::ClockChoice> choice = tolm::parse_clock(clock);
            if (!choice) refuse("clock", tolm::clock_problem(clock));
            options.clock = *choice;
        }
        config.api_key = convert_argument(to_optional_text, slots[8], "api_key");
        // debug is stored and read by nothing: a flag or a text.
        if (PyObject* debug = slots[9]; debug != nullptr && debug != Py_None && debug != Py_False) {
            config.debug =
                debug == Py_True ? std::string("true") : convert_argument(to_text, debug, "debug");
        }
        if (slots[10] != nullptr)
            config.backend_url = convert_argument(to_text, slots[10], "backend_url");
        options.lease_units = whole_option(slots[11], "lease", 0, 0, tolm::kMaxLeaseUnits);
        options.lease_ms = whole_option(slots[12], "lease_ms", 0, 0, tolm::kMaxWindowMs);
        if (options.lease_units > 0) {
            if (!options.shared) refuse("lease", " needs shared: the region that holds the leases");
            if (options.lease_ms == 0) refuse("lease_ms", " must be above 0 with lease");
        }
        config.burst_multiplier = kBurstMultiplier;
        config.block_duration_ms = kBlockDurationMs;

        auto* type = reinterpret_cast<PyTypeObject*>(engine_class());
        try {
            return make_engine(type, std::move(config), &options);
        } catch (const tolm::platform::SharedRegionError& error) {
            throw PyError(PyExc_OSError, error.what());
        }
    });
}

PyObject* module_remove_shared(PyObject* /*module*/, PyObject* args) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, kNameParameter.size()> slots{};
        tolm::python::bind(kRemoveSharedSpec, args, nullptr, slots);
        const std::string name = convert_argument(tolm::python::to_text, slots[0], "name");
        try {
            tolm::platform::validate_shared_region_name(name);
        } catch (const tolm::platform::SharedRegionError& error) {
            throw PyError(PyExc_ValueError, std::string("name: ") + error.what());
        }
        const bool removed = tolm::Engine::remove_shared(name);
        return PyRef::borrow(removed ? Py_True : Py_False).release();
    });
}

void engine_dealloc(PyObject* self) noexcept {
    auto* object = reinterpret_cast<EngineObject*>(self);
    object->engine().~Engine();
    object->results.release();
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

        auto& object = *reinterpret_cast<EngineObject*>(self);
        tolm::Engine& engine = object.engine();
        const uint64_t start_ms = engine.clock().now_ms();
        tolm::ReusableResult reusable;
        tolm::CheckResult& result = reusable.get();
        // The dictionaries carry no detail text and take their strs from the codes, the route
        // argument and the engine's cache, so the engine need not format or copy texts.
        engine.check_into(result, identity, ip, route, start_ms, tolm::RecordUse::read,
                          tolm::DetailUse::unread, tolm::TextUse::unread);
        return tolm::python::result_dict(object.results, result, slots[1], route).release();
    });
}

PyObject* optional_count(std::optional<uint64_t> value) {
    if (!value) return PyRef::borrow(Py_None).release();
    return must(PyLong_FromUnsignedLongLong(*value));
}

// The friendly layers' check: the verdict's numbers in a tuple, with no dictionary and no
// text built. The arguments are positional and all three required, so they are bound the
// same way as check's, with the same errors for a wrong type.
PyObject* engine_decide(PyObject* self, PyObject* args) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, kDecideParameters.size()> slots{};
        tolm::python::bind(kDecideSpec, args, nullptr, slots);

        using namespace tolm::python;
        std::string ip_storage, route_storage, identity_storage;
        const std::string_view ip =
            convert_argument([&](PyObject* value) { return to_text_view(value, ip_storage); },
                             slots[0], kCheckParameters[0]);
        const std::string_view route =
            convert_argument([&](PyObject* value) { return to_text_view(value, route_storage); },
                             slots[1], kCheckParameters[1]);
        const std::optional<std::string_view> identity = convert_argument(
            [&](PyObject* value) { return to_optional_text_view(value, identity_storage); },
            slots[2], kCheckParameters[2]);

        tolm::Engine& engine = reinterpret_cast<EngineObject*>(self)->engine();
        double cost = 1.0;
        if (slots[3] != nullptr) {
            cost = convert_argument(to_double, slots[3], kDecideParameters[3]);
            const std::string problem = tolm::cost_problem(engine.algorithm(), cost);
            if (!problem.empty()) throw PyError(PyExc_ValueError, "cost" + problem);
        }
        const uint64_t start_ms = engine.clock().now_ms();
        tolm::ReusableResult reusable;
        tolm::CheckResult& result = reusable.get();
        engine.check_into(result, identity, ip, route, start_ms, tolm::RecordUse::unread,
                          tolm::DetailUse::unread, tolm::TextUse::unread, cost);

        PyRef out = PyRef::steal(must(PyTuple_New(4)));
        const auto put = [&](Py_ssize_t index, PyObject* item) {
            // Steals the item's reference, also when it fails.
            if (PyTuple_SetItem(out.get(), index, item) != 0) throw PyError::fetch();
        };
        put(0, must(PyLong_FromUnsignedLongLong(
                   static_cast<unsigned long long>(tolm::packed_outcome(result)))));
        put(1, optional_count(result.remaining));
        put(2, optional_count(result.admit_after_ms));
        put(3, optional_count(result.whole_after_ms));
        return out.release();
    });
}

PyObject* engine_stats(PyObject* self, PyObject* /*unused*/) noexcept {
    return guarded([&]() -> PyObject* {
        const tolm::EngineStats stats = reinterpret_cast<EngineObject*>(self)->engine().stats();
        PyRef out = PyRef::steal(must(PyDict_New()));
        const auto put = [&](const char* name, uint64_t value) {
            PyRef number = PyRef::steal(must(PyLong_FromUnsignedLongLong(value)));
            if (PyDict_SetItemString(out.get(), name, number.get()) != 0) throw PyError::fetch();
        };
        put("evictions", stats.evictions);
        put("clients", stats.clients);
        return out.release();
    });
}

// The key argument of the client methods: the text checks key by.
std::string_view key_argument(PyObject* args, const ArgSpec& spec, std::span<PyObject*> slots,
                              std::string& storage) {
    tolm::python::bind(spec, args, nullptr, slots);
    return convert_argument(
        [&](PyObject* value) { return tolm::python::to_text_view(value, storage); }, slots[0],
        "key");
}

constexpr std::array<const char*, 1> kKeyParameter = {"key"};
constexpr std::array<const char*, 2> kAdjustParameters = {"key", "units"};
constexpr std::array<const char*, 2> kBlockParameters = {"key", "duration_ms"};
const ArgSpec kResetSpec{kClassName, "_reset", kKeyParameter, 1, 1};
const ArgSpec kAdjustSpec{kClassName, "_adjust", kAdjustParameters, 2, 2};
const ArgSpec kBlockSpec{kClassName, "_block", kBlockParameters, 2, 2};

PyObject* engine_reset(PyObject* self, PyObject* args) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};
        std::string storage;
        const std::string_view key = key_argument(args, kResetSpec, slots, storage);
        reinterpret_cast<EngineObject*>(self)->engine().reset(key);
        return PyRef::borrow(Py_None).release();
    });
}

PyObject* engine_adjust(PyObject* self, PyObject* args) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> slots{};
        std::string storage;
        const std::string_view key = key_argument(args, kAdjustSpec, slots, storage);
        const double units = convert_argument(tolm::python::to_double, slots[1], "units");
        tolm::Engine& engine = reinterpret_cast<EngineObject*>(self)->engine();
        expect_fine("units", tolm::units_problem(engine.algorithm(), units));
        engine.adjust(key, units);
        return PyRef::borrow(Py_None).release();
    });
}

PyObject* engine_block(PyObject* self, PyObject* args) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> slots{};
        std::string storage;
        const std::string_view key = key_argument(args, kBlockSpec, slots, storage);
        const uint64_t duration = whole_option(slots[1], "duration_ms", 0, 0, tolm::kMaxWindowMs);
        reinterpret_cast<EngineObject*>(self)->engine().block(key, duration);
        return PyRef::borrow(Py_None).release();
    });
}

constexpr std::array<const char*, 2> kLeaseTakeParameters = {"key", "fetch_budget_ms"};
constexpr std::array<const char*, 5> kLeasePutParameters = {"key", "units", "remaining",
                                                            "lifetime_ms", "refused_ms"};
const ArgSpec kLeaseTakeSpec{kClassName, "_lease_take", kLeaseTakeParameters, 2, 2};
const ArgSpec kLeasePutSpec{kClassName, "_lease_put", kLeasePutParameters, 5, 5};

// The host's lease region of an engine opened with one.
tolm::SharedLeases& leases_of(PyObject* self) {
    tolm::SharedLeases* leases = reinterpret_cast<EngineObject*>(self)->engine().leases();
    if (leases == nullptr) {
        throw PyError(PyExc_TypeError, "this NativeEngine holds no leases (opened without lease)");
    }
    return *leases;
}

PyObject* engine_lease_take(PyObject* self, PyObject* args) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, kLeaseTakeParameters.size()> slots{};
        std::string storage;
        const std::string_view key = key_argument(args, kLeaseTakeSpec, slots, storage);
        const uint64_t budget = whole_option(slots[1], "fetch_budget_ms", 0, 0, tolm::kMaxWindowMs);
        const tolm::LeaseAnswer answer = leases_of(self).take(key, budget);
        PyRef out = PyRef::steal(must(PyTuple_New(3)));
        const auto put = [&](Py_ssize_t index, PyObject* item) {
            // Steals the item's reference, also when it fails.
            if (PyTuple_SetItem(out.get(), index, item) != 0) throw PyError::fetch();
        };
        put(0, must(PyLong_FromUnsignedLongLong(static_cast<uint8_t>(answer.step))));
        put(1, must(PyFloat_FromDouble(tolm::lease_answer_value(answer))));
        put(2, must(PyLong_FromUnsignedLongLong(answer.want)));
        return out.release();
    });
}

PyObject* engine_lease_put(PyObject* self, PyObject* args) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, kLeasePutParameters.size()> slots{};
        std::string storage;
        const std::string_view key = key_argument(args, kLeasePutSpec, slots, storage);
        using tolm::python::to_double;
        const double units = convert_argument(to_double, slots[1], "units");
        expect_fine("units", tolm::whole_number_problem(units, 0, tolm::kMaxLeaseUnits));
        const double remaining = convert_argument(to_double, slots[2], "remaining");
        if (!(remaining >= 0 && remaining <= static_cast<double>(tolm::kMaxLeaseUnits))) {
            refuse("remaining", " must be a number from 0 to 2**53");
        }
        const uint64_t lifetime = whole_option(slots[3], "lifetime_ms", 0, 0, tolm::kMaxWindowMs);
        const uint64_t refused = whole_option(slots[4], "refused_ms", 0, 0, tolm::kMaxWindowMs);
        leases_of(self).put(key, units, remaining, lifetime, refused);
        return PyRef::borrow(Py_None).release();
    });
}

PyObject* engine_clear(PyObject* self, PyObject* /*unused*/) noexcept {
    return guarded([&]() -> PyObject* {
        reinterpret_cast<EngineObject*>(self)->engine().clear();
        return PyRef::borrow(Py_None).release();
    });
}

PyMethodDef engine_methods[] = {
    {"_decide", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(engine_decide)),
     METH_VARARGS, kDecideDoc},
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(engine_check)),
     METH_VARARGS | METH_KEYWORDS, kCheckDoc},
    {"_stats", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(engine_stats)),
     METH_NOARGS, kStatsDoc},
    {"_reset", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(engine_reset)),
     METH_VARARGS, "_reset($self, key, /)\n--\n\nForgets the client `key`."},
    {"_adjust", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(engine_adjust)),
     METH_VARARGS,
     "_adjust($self, key, units, /)\n--\n\nGives back (units < 0) or takes (units > 0) "
     "allowance."},
    {"_block", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(engine_block)),
     METH_VARARGS,
     "_block($self, key, duration_ms, /)\n--\n\nRefuses `key` for duration_ms; only _reset "
     "ends it early."},
    {"_clear", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(engine_clear)),
     METH_NOARGS, "_clear($self, /)\n--\n\nForgets every client."},
    {"_lease_take",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(engine_lease_take)),
     METH_VARARGS,
     "_lease_take($self, key, fetch_budget_ms, /)\n--\n\nA unit of the host's lease: (step, "
     "value, want); step 0 admitted, 1 refused, 2 fetch, 3 ask, 4 admitted and fetch; value the "
     "allowance left or the ms refused; want the units to fetch."},
    {"_lease_put",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(engine_lease_put)),
     METH_VARARGS,
     "_lease_put($self, key, units, remaining, lifetime_ms, refused_ms, /)\n--\n\nWhat Redis "
     "granted (units for lifetime_ms) or refused (for refused_ms); ends the fetch."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef module_methods[] = {
    {"_open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_open)),
     METH_VARARGS | METH_KEYWORDS, kOpenDoc},
    {"_remove_shared",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_remove_shared)),
     METH_VARARGS, kRemoveSharedDoc},
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
    PyModuleDef_HEAD_INIT, "tolm_native", "", 0, module_methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tolm_native() {
#if defined(_WIN32)
    // Every CPython call of the Windows build goes through import slots that are filled here,
    // from the interpreter that called this function.
    if (!tolm::python::import_cpython(__builtin_return_address(0))) return nullptr;
#endif
    return guarded([]() -> PyObject* {
        if (module_slot != nullptr) {
            throw PyError(PyExc_ImportError, tolm::python::messages::kInitializedTwice);
        }
        PyRef module = PyRef::steal(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
        if (!module) throw PyError::fetch();
        add_class(module.get());
        tolm::python::prepare_result_objects();
        module_slot = PyRef::borrow(module.get()).release();
        return module.release();
    });
}
