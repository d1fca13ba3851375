#include "ffi/node_api_table.hpp"

#include <dlfcn.h>

#include <string>

namespace tolm::node {

constinit NodeApiTable node_api{};

void fill_node_api_table() noexcept {
    // A null name opens the main program, and lookups through it search the global
    // scope, where the Node.js executable exports its Node-API.
    void* host = ::dlopen(nullptr, RTLD_LAZY);
    if (host == nullptr) {
        const char* reason = ::dlerror();
        if (reason == nullptr) {
            abort_with_message("dlopen failed, but the system did not report the error");
        }
        abort_with_message(std::string("dlopen failed: ") + reason);
    }
#define TOLM_NODE_API_FILL(name) \
    if (void* address = ::dlsym(host, #name)) node_api.name.store(address);
    TOLM_NODE_API_FUNCTIONS(TOLM_NODE_API_FILL)
#undef TOLM_NODE_API_FILL
    ::dlclose(host);
}

}  // namespace tolm::node
