#include "ffi/node_registration.hpp"

#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

namespace tolm::node {
namespace {

struct ClassEntry {
    std::string name;
    std::vector<MethodDescriptor> descriptors;
};

struct ClassRegistry {
    std::shared_mutex lock;
    std::vector<ClassEntry> classes;

    ClassEntry& entry(std::string_view name) {
        for (ClassEntry& entry : classes) {
            if (entry.name == name) return entry;
        }
        return classes.emplace_back(ClassEntry{std::string(name), {}});
    }
};

// Reached through a function so that static initialisers of other files may use it.
ClassRegistry& class_registry() {
    static ClassRegistry registry;
    return registry;
}

// 0: no registration yet; 1: the first is running; 2: the first has finished.
std::atomic<int> first_registration{0};

// Creates the named method functions that go onto the prototype (`statics` false) or onto
// the class itself.
napi_status method_properties(napi_env env, const ClassEntry& entry, bool statics,
                              std::vector<napi_property_descriptor>& out) {
    for (const MethodDescriptor& descriptor : entry.descriptors) {
        if (descriptor.is_constructor || descriptor.is_static != statics) continue;
        napi_value function = nullptr;
        const napi_status status = node_api.napi_create_function(
            env, descriptor.name, NAPI_AUTO_LENGTH, descriptor.method, nullptr, &function);
        if (status != napi_ok) return status;
        out.push_back(napi_property_descriptor{descriptor.name, nullptr, nullptr, nullptr, nullptr,
                                               function, descriptor.attributes, nullptr});
    }
    return napi_ok;
}

void define_class(napi_env env, napi_value exports, const ClassEntry& entry) {
    napi_callback constructor = nullptr;
    for (const MethodDescriptor& descriptor : entry.descriptors) {
        if (descriptor.is_constructor) {
            constructor = descriptor.method;
            break;
        }
    }

    // The methods go onto the prototype after the class exists rather than into
    // napi_define_class: there V8 would tie them to the class's own instances and reject
    // any other `this` itself ("Illegal invocation"), before the binding could answer
    // with its unwrap error.
    napi_value js_class = nullptr;
    std::vector<napi_property_descriptor> properties;
    std::vector<napi_property_descriptor> statics;
    napi_status status = node_api.napi_define_class(env, entry.name.c_str(), entry.name.size(),
                                                    constructor, nullptr, 0, nullptr, &js_class);
    if (status == napi_ok) status = method_properties(env, entry, false, properties);
    if (status == napi_ok) status = method_properties(env, entry, true, statics);
    if (status == napi_ok && !statics.empty()) {
        status = node_api.napi_define_properties(env, js_class, statics.size(), statics.data());
    }
    if (status == napi_ok && !properties.empty()) {
        napi_value prototype = nullptr;
        status = node_api.napi_get_named_property(env, js_class, "prototype", &prototype);
        if (status == napi_ok) {
            status = node_api.napi_define_properties(env, prototype, properties.size(),
                                                     properties.data());
        }
    }
    if (status == napi_ok) {
        // The environment keeps its class alive for as long as it exists.
        napi_ref keep = nullptr;
        status = node_api.napi_create_reference(env, js_class, 1, &keep);
    }
    if (status == napi_ok) {
        status = node_api.napi_set_named_property(env, exports, entry.name.c_str(), js_class);
    }
    if (status != napi_ok) {
        throw_error(env, make_error(status, messages::register_class(entry.name)));
    }
}

napi_value register_module(napi_env env, napi_value exports) {
    fill_node_api_table();

    int expected = 0;
    const bool first = first_registration.compare_exchange_strong(expected, 1);
    if (!first) {
        while (first_registration.load(std::memory_order_acquire) != 2) {
            std::this_thread::yield();
        }
    }

    {
        ClassRegistry& registry = class_registry();
        std::shared_lock guard(registry.lock);
        for (const ClassEntry& entry : registry.classes) define_class(env, exports, entry);
    }

    if (first) first_registration.store(2, std::memory_order_release);
    return exports;
}

}  // namespace

void register_class(std::string_view name) {
    ClassRegistry& registry = class_registry();
    std::unique_lock guard(registry.lock);
    registry.entry(name);
}

void register_method(std::string_view class_name, MethodDescriptor descriptor) {
    ClassRegistry& registry = class_registry();
    std::unique_lock guard(registry.lock);
    registry.entry(class_name).descriptors.push_back(descriptor);
}

ReferenceMap& ReferenceMap::current() {
    thread_local ReferenceMap map;
    return map;
}

void ReferenceMap::add(napi_env env, void* address, napi_ref reference) {
    auto [slot, inserted] = entries_.try_emplace(address, ReferenceEntry{address, reference});
    if (!inserted) {
        node_api.napi_delete_reference(env, slot->second.reference);
        slot->second.reference = reference;
    }
}

std::optional<ReferenceEntry> ReferenceMap::take(void* address) {
    auto found = entries_.find(address);
    if (found == entries_.end()) return std::nullopt;
    const ReferenceEntry entry = found->second;
    entries_.erase(found);
    return entry;
}

const ReferenceEntry* ReferenceMap::find(void* address) const {
    auto found = entries_.find(address);
    return found == entries_.end() ? nullptr : &found->second;
}

}  // namespace tolm::node

napi_value napi_register_module_v1(napi_env env, napi_value exports) {
    return tolm::node::at_boundary(env, [&] { return tolm::node::register_module(env, exports); });
}
