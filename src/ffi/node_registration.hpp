// Registration of the addon's classes with each Node.js environment, the per-thread map
// of wrapped instances, and the boundary every callback crosses into native code.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "ffi/node_errors.hpp"
#include "runtime/fatal.hpp"

namespace tolm::node {

struct MethodDescriptor {
    const char* name;  // NUL-terminated, static
    napi_callback method;
    napi_property_attributes attributes;
    bool is_constructor;
    bool is_static = false;  // a property of the class itself rather than of its prototype
};

// Filled by static initialisers at load and only read afterwards. Entries for the same
// class name are merged, their descriptors kept in the order they were added.
void register_class(std::string_view name);
void register_method(std::string_view class_name, MethodDescriptor descriptor);

struct ReferenceEntry {
    void* address;
    napi_ref reference;
};

// Per thread, so each worker has its own: native part address -> its wrap reference.
class ReferenceMap {
  public:
    static ReferenceMap& current();

    // Enters `address`; a reference already held under that address is deleted.
    void add(napi_env env, void* address, napi_ref reference);
    // Takes the entry out, if there is one.
    std::optional<ReferenceEntry> take(void* address);
    const ReferenceEntry* find(void* address) const;

  private:
    std::unordered_map<void*, ReferenceEntry> entries_;
};

// Runs the body of a callback that JavaScript called: the one place where the binding's
// failures become JavaScript exceptions. A thrown Error is thrown into `env` and the callback
// returns no value. Nothing else may cross into JavaScript: a fatal failure has already
// written its report, so the process stops here.
template <typename Body>
napi_value at_boundary(napi_env env, Body&& body) noexcept {
    try {
        return body();
    } catch (Error& error) {
        throw_error(env, std::move(error));
        return nullptr;
    } catch (const FatalError&) {
        std::abort();
    } catch (...) {
        abort_with_message("unexpected native exception in a Node-API callback");
    }
}

// The same for callbacks with no JavaScript caller to throw to (finalizers): any failure
// stops the process.
template <typename Body>
void at_boundary_without_caller(Body&& body) noexcept {
    try {
        body();
    } catch (const FatalError&) {
        std::abort();
    } catch (...) {
        abort_with_message("unexpected native exception in a Node-API finalizer");
    }
}

}  // namespace tolm::node

extern "C" __attribute__((visibility("default"))) napi_value napi_register_module_v1(
    napi_env env, napi_value exports);
