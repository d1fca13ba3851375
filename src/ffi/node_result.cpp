#include "ffi/node_result.hpp"

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace tolm::node {
namespace {

std::string result_factory_source() {
    std::string source =
        "(function (algorithm) {\n"
        "  'use strict';\n"
        "  return function (outcome, debugInfo) {\n"
        "    const allowed = (outcome & 1) === 1;\n"
        "    const wouldBlock = (outcome & 2) === 2;\n"
        "    switch (outcome >> 2) {\n"
        "      case 0: return { allowed, wouldBlock, algorithm, debugInfo };\n";
    for (size_t code = 0; code < kEnumCount<ReasonCode>; ++code) {
        source +=
            "      case " + std::to_string(code + 1) + ": return { allowed, wouldBlock, reason: '";
        source += to_text(static_cast<ReasonCode>(code));
        source += "', algorithm, debugInfo };\n";
    }
    source +=
        "    }\n"
        "  };\n"
        "})";
    return source;
}

// The factory of each environment living on this thread.
struct EnvironmentFactory {
    napi_env env;
    napi_ref maker;
};

std::vector<EnvironmentFactory>& environment_factories() {
    thread_local std::vector<EnvironmentFactory> factories;
    return factories;
}

void forget_environment(void* env) {
    auto& factories = environment_factories();
    std::erase_if(factories, [env](const EnvironmentFactory& f) { return f.env == env; });
}

napi_value factory_maker(napi_env env) {
    napi_value out = nullptr;
    for (const EnvironmentFactory& known : environment_factories()) {
        if (known.env != env) continue;
        expect_ok(node_api.napi_get_reference_value(env, known.maker, &out),
                  messages::kResultFactory);
        return out;
    }
    const std::string source = result_factory_source();
    napi_value script = nullptr;
    napi_ref maker = nullptr;
    napi_status status =
        node_api.napi_create_string_utf8(env, source.data(), source.size(), &script);
    if (status == napi_ok) status = node_api.napi_run_script(env, script, &out);
    if (status == napi_ok) status = node_api.napi_create_reference(env, out, 1, &maker);
    if (status == napi_ok) {
        status = node_api.napi_add_env_cleanup_hook(env, forget_environment, env);
    }
    expect_ok(status, messages::kResultFactory);
    environment_factories().push_back(EnvironmentFactory{env, maker});
    return out;
}

// Eight bytes at a time: a detail text is some twenty bytes long.
bool is_ascii(std::string_view text) noexcept {
    uint64_t high_bits = 0;
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        high_bits |= word;
    }
    for (; i < text.size(); ++i) high_bits |= static_cast<unsigned char>(text[i]);
    return (high_bits & 0x8080808080808080ULL) == 0;
}

}  // namespace

void ResultBuilder::create(napi_env env, std::string_view algorithm) {
    napi_value maker = factory_maker(env);
    napi_value text = nullptr;
    napi_value builder = nullptr;
    napi_status status =
        node_api.napi_create_string_utf8(env, algorithm.data(), algorithm.size(), &text);
    if (status == napi_ok) {
        status = node_api.napi_call_function(env, maker, maker, 1, &text, &builder);
    }
    if (status == napi_ok) status = node_api.napi_create_reference(env, builder, 1, &builder_);
    expect_ok(status, messages::kResultFactory);
}

void ResultBuilder::release(napi_env env) noexcept {
    if (builder_ != nullptr) node_api.napi_delete_reference(env, builder_);
    builder_ = nullptr;
}

napi_value ResultBuilder::build(napi_env env, napi_value recv, const CheckResult& result) {
    std::array<napi_value, 2> args{};
    napi_value builder = nullptr;
    expect_ok(node_api.napi_get_reference_value(env, builder_, &builder), messages::kResultFactory);
    // The outcome's reason 0 leaves "reason" out of the object.
    napi_status status = node_api.napi_create_int32(env, packed_outcome(result), &args[0]);
    if (status != napi_ok) fail(status, messages::set_property("allowed"));
    // Detail texts are ASCII, which reads the same as Latin-1; V8 then copies the bytes
    // without decoding them.
    const std::string& detail = result.detail;
    status = is_ascii(detail)
                 ? node_api.napi_create_string_latin1(env, detail.data(), detail.size(), &args[1])
                 : node_api.napi_create_string_utf8(env, detail.data(), detail.size(), &args[1]);
    if (status != napi_ok) fail(status, messages::set_property("debugInfo"));
    napi_value out = nullptr;
    expect_ok(node_api.napi_call_function(env, recv, builder, args.size(), args.data(), &out),
              messages::kResultFactory);
    return out;
}

}  // namespace tolm::node
