#include "ffi/node_bridge.hpp"

#include <array>

#include "core/reusable_result.hpp"
#include "ffi/node_config.hpp"
#include "ffi/node_convert.hpp"
#include "ffi/node_registration.hpp"
#include "runtime/shared_region.hpp"

namespace tolm::node {
namespace {

constexpr std::string_view kClassName = "TolmNode";
constexpr auto kMethodAttributes =
    static_cast<napi_property_attributes>(napi_writable | napi_enumerable | napi_configurable);

// A callback's `this`, its first N arguments (undefined where the caller passed fewer) and how
// many the caller passed; `data`, when given, receives the function's data pointer.
template <size_t N>
struct CallbackArgs {
    napi_value self = nullptr;
    std::array<napi_value, N> argv{};
    size_t argc = N;
};

template <size_t N>
CallbackArgs<N> callback_args(napi_env env, napi_callback_info info, void** data = nullptr) {
    CallbackArgs<N> args;
    expect_ok(node_api.napi_get_cb_info(env, info, &args.argc, args.argv.data(), &args.self, data),
              messages::kCallbackInfo);
    return args;
}

// The instance this thread used last, checked against `this` through its weak wrap
// reference: servers call one limiter over and over, and napi_unwrap costs more than the
// engine's own check. The finalizer clears it before the native part goes away.
struct LastInstance {
    napi_env env = nullptr;
    TolmNode* part = nullptr;
    napi_ref reference = nullptr;
};

LastInstance& last_instance() {
    thread_local LastInstance last;
    return last;
}

// `this` of a checkRequest call as the native part it wraps.
TolmNode& instance_of(napi_env env, napi_value self) {
    LastInstance& last = last_instance();
    if (last.part != nullptr && last.env == env) {
        napi_value held = nullptr;
        bool same = false;
        if (node_api.napi_get_reference_value(env, last.reference, &held) == napi_ok &&
            held != nullptr && node_api.napi_strict_equals(env, held, self, &same) == napi_ok &&
            same) {
            return *last.part;
        }
    }
    void* native = nullptr;
    expect_ok(node_api.napi_unwrap(env, self, &native), messages::kUnwrap);
    // Objects wrapped by another addon unwrap too; only parts this thread wrapped are ours.
    const ReferenceEntry* entry = ReferenceMap::current().find(native);
    if (entry == nullptr) fail(napi_invalid_arg, messages::kUnwrap);
    auto* part = static_cast<TolmNode*>(native);
    last = LastInstance{env, part, entry->reference};
    return *part;
}

void finalize(napi_env env, void* data, void* /*hint*/) {
    at_boundary_without_caller([&] {
        auto* part = static_cast<TolmNode*>(data);
        LastInstance& last = last_instance();
        if (last.part == part) last = {};
        part->engine.reset();
        if (auto entry = ReferenceMap::current().take(part)) {
            node_api.napi_delete_reference(env, entry->reference);
        }
        part->results.release(env);
        delete part;
    });
}

// The engine TolmNode._open built, handed to the constructor it then calls on this thread;
// null outside that call.
std::shared_ptr<Engine>& opened_engine() {
    thread_local std::shared_ptr<Engine> engine;
    return engine;
}

napi_value construct(napi_env env, napi_callback_info info) {
    return at_boundary(env, [&]() -> napi_value {
        const auto [self, argv, argc] = callback_args<1>(env, info);

        // Called without `new`, `this` is the global object: wrapping it would tie an
        // engine to the global for the life of the environment.
        napi_value new_target = nullptr;
        expect_ok(node_api.napi_get_new_target(env, info, &new_target), messages::kCallbackInfo);
        if (new_target == nullptr) fail(napi_invalid_arg, messages::kWithoutNew);

        auto part = std::make_unique<TolmNode>();
        if (opened_engine() != nullptr) {
            part->engine = std::move(opened_engine());
            opened_engine() = nullptr;
        } else {
            NodeConfig config = read_node_config(env, argv[0]);
            part->engine = std::make_shared<Engine>(to_engine_config(std::move(config)));
        }
        part->results.create(env, part->engine->config().algorithm);

        napi_ref reference = nullptr;
        const napi_status status =
            node_api.napi_wrap(env, self, part.get(), finalize, nullptr, &reference);
        if (status != napi_ok) {
            part->results.release(env);
            fail(status, messages::wrap("constructor"));
        }
        ReferenceMap::current().add(env, part.release(), reference);
        return self;
    });
}

napi_value check_request(napi_env env, napi_callback_info info) {
    return at_boundary(env, [&]() -> napi_value {
        const auto [self, argv, argc] = callback_args<3>(env, info);
        TolmNode& part = instance_of(env, self);

        TextArgument ip;
        TextArgument route;
        ip.read(env, argv[0]);
        // The route only reaches the record, which only a telemetry event reads.
        if (part.engine->config().api_key.has_value()) {
            route.read(env, argv[1]);
        } else {
            expect_text(env, argv[1]);
        }
        const double start_time_ms = read_number(env, argv[2]);

        ReusableResult reusable;
        CheckResult& result = reusable.get();
        // JavaScript sees neither the record nor the result's texts (the builder works from
        // the codes), so the engine may skip them.
        part.engine->check_into(result, std::nullopt, ip.view(), route.view(),
                                to_u64_saturating(start_time_ms), RecordUse::unread,
                                DetailUse::read, TextUse::unread);
        return part.results.build(env, self, result);
    });
}

// One request decided for the middleware: the verdict's numbers written to `out` (remaining,
// admit_after_ms and whole_after_ms, -1 for unknown) and the outcome as an integer (see
// packed_outcome). No object and no text is made. `cost` may be null: one plain request.
napi_value decide_into(napi_env env, Engine& engine, napi_value ip_value, napi_value route_value,
                       napi_value cost_value, double* out) {
    TextArgument ip;
    TextArgument route;
    ip.read(env, ip_value);
    // The route only reaches the record, which only a telemetry event reads.
    const bool queue_event = engine.config().api_key.has_value();
    if (queue_event) route.read(env, route_value);
    double cost = 1.0;
    if (cost_value != nullptr) {
        napi_valuetype cost_type = napi_undefined;
        expect_ok(node_api.napi_typeof(env, cost_value, &cost_type));
        if (cost_type != napi_undefined) {
            cost = read_number(env, cost_value);
            const std::string problem = cost_problem(engine.algorithm(), cost);
            if (!problem.empty()) fail(napi_invalid_arg, "cost" + problem);
        }
    }

    ReusableResult reusable;
    CheckResult& result = reusable.get();
    // Only a telemetry event reads the start time, as the latency it records.
    const uint64_t start_ms = queue_event ? engine.clock().now_ms() : 0;
    engine.check_into(result, std::nullopt, ip.view(), route.view(), start_ms, RecordUse::unread,
                      DetailUse::unread, TextUse::unread, cost);
    const auto number = [](std::optional<uint64_t> value) {
        return value ? static_cast<double>(*value) : -1.0;
    };
    out[0] = number(result.remaining);
    out[1] = number(result.admit_after_ms);
    out[2] = number(result.whole_after_ms);
    napi_value outcome = nullptr;
    const napi_status status = node_api.napi_create_int32(env, packed_outcome(result), &outcome);
    if (status != napi_ok) fail(status, messages::set_property("outcome"));
    return outcome;
}

// The elements of a Float64Array of at least 3 elements.
double* verdict_array(napi_env env, napi_value value, napi_value* buffer = nullptr,
                      size_t* offset = nullptr) {
    napi_typedarray_type type = napi_int8_array;
    size_t length = 0;
    void* data = nullptr;
    if (node_api.napi_get_typedarray_info(env, value, &type, &length, &data, buffer, offset) !=
            napi_ok ||
        type != napi_float64_array || length < 3) {
        fail(napi_invalid_arg, messages::kVerdictArray);
    }
    return static_cast<double*>(data);
}

// _decide(ip, route, numbers[, cost]): the middleware's check, its numbers written into the
// caller's Float64Array.
napi_value decide(napi_env env, napi_callback_info info) {
    return at_boundary(env, [&]() -> napi_value {
        const auto [self, argv, argc] = callback_args<4>(env, info);
        TolmNode& part = instance_of(env, self);
        if (!part.engine->config().api_key.has_value()) expect_text(env, argv[1]);
        double* out = verdict_array(env, argv[2]);
        return decide_into(env, *part.engine, argv[0], argv[1], argc > 3 ? argv[3] : nullptr, out);
    });
}

// What a function made by _decider is bound to. It shares the engine, so the engine lives as
// long as either the instance or the function. It keeps the array's buffer rather than the
// address of its elements: each call reads the buffer's current address and length, so a
// buffer detached or shrunk since (transferred, resized) is refused and never written to.
struct BoundDecide {
    std::shared_ptr<Engine> engine;
    napi_ref buffer = nullptr;
    size_t offset = 0;  // the array's first byte in its buffer
};

void finalize_bound(napi_env env, void* data, void* /*hint*/) {
    at_boundary_without_caller([&] {
        auto* bound = static_cast<BoundDecide*>(data);
        node_api.napi_delete_reference(env, bound->buffer);
        delete bound;
    });
}

// A function made by _decider: (ip, route[, cost]) => outcome, as _decide with its array.
napi_value bound_decide(napi_env env, napi_callback_info info) {
    return at_boundary(env, [&]() -> napi_value {
        void* data = nullptr;
        const auto [self, argv, argc] = callback_args<3>(env, info, &data);
        auto& bound = *static_cast<BoundDecide*>(data);
        napi_value buffer = nullptr;
        void* bytes = nullptr;
        size_t length = 0;
        if (node_api.napi_get_reference_value(env, bound.buffer, &buffer) != napi_ok ||
            buffer == nullptr ||
            node_api.napi_get_arraybuffer_info(env, buffer, &bytes, &length) != napi_ok ||
            bytes == nullptr || length < bound.offset + 3 * sizeof(double)) {
            fail(napi_invalid_arg, messages::kVerdictArray);
        }
        auto* out = reinterpret_cast<double*>(static_cast<char*>(bytes) + bound.offset);
        return decide_into(env, *bound.engine, argv[0], argv[1], argc > 2 ? argv[2] : nullptr, out);
    });
}

// _decider(numbers): a function (ip, route[, cost]) => outcome that decides as
// _decide(ip, route, numbers[, cost]) on this instance, for callers that check over and over
// with one array: it skips finding the instance and reading the array's type on each call.
napi_value make_decider(napi_env env, napi_callback_info info) {
    return at_boundary(env, [&]() -> napi_value {
        const auto [self, argv, argc] = callback_args<1>(env, info);
        TolmNode& part = instance_of(env, self);
        napi_value buffer = nullptr;
        size_t offset = 0;
        verdict_array(env, argv[0], &buffer, &offset);

        auto bound = std::make_unique<BoundDecide>();
        bound->engine = part.engine;
        bound->offset = offset;
        napi_value function = nullptr;
        expect_ok(node_api.napi_create_function(env, "decide", NAPI_AUTO_LENGTH, bound_decide,
                                                bound.get(), &function),
                  messages::kCallbackInfo);
        expect_ok(node_api.napi_create_reference(env, buffer, 1, &bound->buffer),
                  messages::kCallbackInfo);
        const napi_status status =
            node_api.napi_wrap(env, function, bound.get(), finalize_bound, nullptr, nullptr);
        if (status != napi_ok) {
            node_api.napi_delete_reference(env, bound->buffer);
            fail(status, messages::wrap("_decider"));
        }
        static_cast<void>(bound.release());  // finalize_bound frees it with the function
        return function;
    });
}

// TolmNode._open(options): an instance whose engine was built from the checked options.
napi_value open(napi_env env, napi_callback_info info) {
    return at_boundary(env, [&]() -> napi_value {
        const auto [self, argv, argc] = callback_args<1>(env, info);
        OpenRequest request = read_open_options(env, argv[0]);
        std::shared_ptr<Engine> engine;
        try {
            engine = std::make_shared<Engine>(std::move(request.config), request.options);
        } catch (const platform::SharedRegionError& error) {
            fail(napi_generic_failure, std::string(error.what()));
        }
        // `this` is the class the method was called on.
        opened_engine() = std::move(engine);
        napi_value instance = nullptr;
        const napi_status status = node_api.napi_new_instance(env, self, 0, nullptr, &instance);
        opened_engine() = nullptr;
        expect_ok(status, "TolmNode._open must be called on the TolmNode class");
        return instance;
    });
}

napi_value remove_shared(napi_env env, napi_callback_info info) {
    return at_boundary(env, [&]() -> napi_value {
        const std::string name = read_text(env, callback_args<1>(env, info).argv[0]);
        try {
            platform::validate_shared_region_name(name);
        } catch (const platform::SharedRegionError& error) {
            fail(napi_invalid_arg, std::string("name: ") + error.what());
        }
        napi_value result = nullptr;
        expect_ok(node_api.napi_get_boolean(env, Engine::remove_shared(name), &result));
        return result;
    });
}

napi_value stats(napi_env env, napi_callback_info info) {
    return at_boundary(env, [&]() -> napi_value {
        const napi_value self = callback_args<0>(env, info).self;
        const EngineStats numbers = instance_of(env, self).engine->stats();
        napi_value out = nullptr;
        expect_ok(node_api.napi_create_object(env, &out));
        const auto put = [&](const char* name, uint64_t value) {
            napi_value number = nullptr;
            expect_ok(node_api.napi_create_double(env, static_cast<double>(value), &number));
            expect_ok(node_api.napi_set_named_property(env, out, name, number),
                      messages::set_property(name));
        };
        put("evictions", numbers.evictions);
        put("clients", numbers.clients);
        return out;
    });
}

// The client methods: `this`, the key and up to one number.
struct ClientCall {
    TolmNode* part = nullptr;
    TextArgument key;
    napi_value number = nullptr;
};

void read_key(napi_env env, napi_value value, TextArgument& key) {
    try {
        key.read(env, value);
    } catch (Error& error) {
        error.reason.insert(0, "key: ");
        throw;
    }
}

void read_client_call(napi_env env, napi_callback_info info, ClientCall& call) {
    const auto [self, argv, argc] = callback_args<2>(env, info);
    call.part = &instance_of(env, self);
    read_key(env, argv[0], call.key);
    call.number = argv[1];
}

double number_argument(napi_env env, napi_value value, const char* name) {
    try {
        return read_number(env, value);
    } catch (Error& error) {
        error.reason.insert(0, std::string(name) + ": ");
        throw;
    }
}

// A whole-number argument from 0 to `most`, its name in the error.
uint64_t whole_argument(napi_env env, napi_value value, const char* name, uint64_t most) {
    const double number = number_argument(env, value, name);
    const std::string problem = whole_number_problem(number, 0, most);
    if (!problem.empty()) fail(napi_invalid_arg, name + problem);
    return static_cast<uint64_t>(number);
}

napi_value undefined(napi_env env) {
    napi_value value = nullptr;
    expect_ok(node_api.napi_get_undefined(env, &value));
    return value;
}

napi_value reset_client(napi_env env, napi_callback_info info) {
    return at_boundary(env, [&]() -> napi_value {
        ClientCall call;
        read_client_call(env, info, call);
        call.part->engine->reset(call.key.view());
        return undefined(env);
    });
}

napi_value adjust_client(napi_env env, napi_callback_info info) {
    return at_boundary(env, [&]() -> napi_value {
        ClientCall call;
        read_client_call(env, info, call);
        const double units = number_argument(env, call.number, "units");
        const std::string problem = units_problem(call.part->engine->algorithm(), units);
        if (!problem.empty()) fail(napi_invalid_arg, "units" + problem);
        call.part->engine->adjust(call.key.view(), units);
        return undefined(env);
    });
}

napi_value block_client(napi_env env, napi_callback_info info) {
    return at_boundary(env, [&]() -> napi_value {
        ClientCall call;
        read_client_call(env, info, call);
        const uint64_t duration = whole_argument(env, call.number, "durationMs", kMaxWindowMs);
        call.part->engine->block(call.key.view(), duration);
        return undefined(env);
    });
}

// The host's lease region of an instance opened with one.
SharedLeases& leases_of(TolmNode& part) {
    SharedLeases* leases = part.engine->leases();
    if (leases == nullptr)
        fail(napi_invalid_arg, std::string("this TolmNode holds no leases (opened without lease)"));
    return *leases;
}

// _leaseTake(key, fetchBudgetMs, numbers): the step (LeaseStep's value), with the value and
// the units to fetch written into numbers[0] and numbers[1] (a Float64Array, as _decide's).
napi_value lease_take(napi_env env, napi_callback_info info) {
    return at_boundary(env, [&]() -> napi_value {
        const auto [self, argv, argc] = callback_args<3>(env, info);
        TolmNode& part = instance_of(env, self);
        TextArgument key;
        read_key(env, argv[0], key);
        const uint64_t budget = whole_argument(env, argv[1], "fetchBudgetMs", kMaxWindowMs);
        double* out = verdict_array(env, argv[2]);
        const LeaseAnswer answer = leases_of(part).take(key.view(), budget);
        out[0] = lease_answer_value(answer);
        out[1] = static_cast<double>(answer.want);
        napi_value step = nullptr;
        expect_ok(node_api.napi_create_int32(env, static_cast<int32_t>(answer.step), &step));
        return step;
    });
}

// _leasePut(key, units, remaining, lifetimeMs, refusedMs).
napi_value lease_put(napi_env env, napi_callback_info info) {
    return at_boundary(env, [&]() -> napi_value {
        const auto [self, argv, argc] = callback_args<5>(env, info);
        TolmNode& part = instance_of(env, self);
        TextArgument key;
        read_key(env, argv[0], key);
        const auto units =
            static_cast<double>(whole_argument(env, argv[1], "units", kMaxLeaseUnits));
        const double remaining = number_argument(env, argv[2], "remaining");
        if (!(remaining >= 0 && remaining <= static_cast<double>(kMaxLeaseUnits))) {
            fail(napi_invalid_arg, std::string("remaining must be a number from 0 to 2**53"));
        }
        const uint64_t lifetime = whole_argument(env, argv[3], "lifetimeMs", kMaxWindowMs);
        const uint64_t refused = whole_argument(env, argv[4], "refusedMs", kMaxWindowMs);
        leases_of(part).put(key.view(), units, remaining, lifetime, refused);
        return undefined(env);
    });
}

napi_value clear_clients(napi_env env, napi_callback_info info) {
    return at_boundary(env, [&]() -> napi_value {
        const napi_value self = callback_args<0>(env, info).self;
        instance_of(env, self).engine->clear();
        return undefined(env);
    });
}

[[maybe_unused]] const bool kLoaded = [] {
    register_class(kClassName);
    register_method(kClassName, {"checkRequest", check_request, kMethodAttributes, false});
    // Not enumerable: an addition for this package's middleware, out of sight of for-in and
    // Object.keys on the prototype.
    register_method(
        kClassName,
        {"_decide", decide,
         static_cast<napi_property_attributes>(napi_writable | napi_configurable), false});
    constexpr auto kHidden =
        static_cast<napi_property_attributes>(napi_writable | napi_configurable);
    register_method(kClassName, {"_decider", make_decider, kHidden, false});
    register_method(kClassName, {"_stats", stats, kHidden, false});
    register_method(kClassName, {"_reset", reset_client, kHidden, false});
    register_method(kClassName, {"_adjust", adjust_client, kHidden, false});
    register_method(kClassName, {"_block", block_client, kHidden, false});
    register_method(kClassName, {"_clear", clear_clients, kHidden, false});
    register_method(kClassName, {"_leaseTake", lease_take, kHidden, false});
    register_method(kClassName, {"_leasePut", lease_put, kHidden, false});
    register_method(kClassName, {"_open", open, kHidden, false, true});
    register_method(kClassName, {"_removeShared", remove_shared, kHidden, false, true});
    register_method(kClassName, {"constructor", construct, kMethodAttributes, true});
    fill_node_api_table();
    return true;
}();

}  // namespace
}  // namespace tolm::node
