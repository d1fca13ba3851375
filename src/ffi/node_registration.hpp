// Registration of the addon's classes with each Node.js environment, the per-thread map
// of wrapped instances, and the boundary every callback crosses into native code.
#pragma once

#include <functional>
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
};

// Filled by static initialisers at load and only read afterwards. Entries for the same
// class name are merged, their descriptors kept in the order they were added.
void register_class(std::string_view name);
void register_method(std::string_view class_name, MethodDescriptor descriptor);

// What runs when a wrapped instance is finalized, beside releasing its native part.
using FinalizeCallback = std::function<void()>;

struct ReferenceEntry {
    void* address;
    napi_ref reference;
    std::shared_ptr<FinalizeCallback> finalize;
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
    size_t size() const noexcept { return entries_.size(); }

  private:
    std::unordered_map<void*, ReferenceEntry> entries_;
};

// Runs a callback body. Nothing thrown in native code may cross into JavaScript: a fatal
// failure has already written its report, so the process stops here.
template <typename Body>
auto at_boundary(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const FatalError&) {
        std::abort();
    } catch (...) {
        abort_with_message("unexpected native exception in a Node-API callback");
    }
}

}  // namespace tolm::node

extern "C" __attribute__((visibility("default"))) napi_value napi_register_module_v1(
    napi_env env, napi_value exports);
