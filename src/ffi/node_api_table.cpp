#include "ffi/node_api_table.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <string>

namespace tolm::node {

constinit NodeApiTable node_api{};

#if defined(_WIN32)

void fill_node_api_table() noexcept {
    // A null name gives the program's own module, node.exe, which exports its Node-API.
    // The reference taken here is released once every address is stored.
    HMODULE host = nullptr;
    if (!::GetModuleHandleExW(0, nullptr, &host)) {
        abort_with_message("GetModuleHandleExW failed with error " +
                           std::to_string(::GetLastError()));
    }
#define TOLM_NODE_API_FILL(name)                               \
    if (FARPROC address = ::GetProcAddress(host, #name)) {     \
        node_api.name.store(reinterpret_cast<void*>(address)); \
    }
    TOLM_NODE_API_FUNCTIONS(TOLM_NODE_API_FILL)
#undef TOLM_NODE_API_FILL
    ::FreeLibrary(host);
}

#else

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

#endif

}  // namespace tolm::node
