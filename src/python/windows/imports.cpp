// Compiled into Windows builds only. The guard lets tools that read every source file on
// other systems (make lint's clang-tidy) pass over it; make test-windows lints it.
#if defined(_WIN32)

#include "python/windows/imports.hpp"

#include <windows.h>
// <windows.h> first: psapi.h relies on its types.
#include <psapi.h>

#include <array>
#include <cwctype>
#include <string_view>

#include "python/cpython_symbols.hpp"
#include "runtime/fatal.hpp"

namespace {

[[noreturn]] void missing_function(std::string_view name) noexcept {
    tolm::abort_with_message(std::string("tolm_native called the CPython function ") +
                             std::string(name) + ", which the interpreter did not provide");
}

// What a function's slot holds until the interpreter provides the function: a call stops the
// process with the function's name rather than jumping to nowhere. PyInit_tolm_native refuses
// to import while a required function is missing, so only a defect can reach one. The x64
// calling convention lets a function that takes nothing be called with any arguments.
#define TOLM_CPYTHON_STANDBY(name)                \
    [[noreturn]] void standby_##name() noexcept { \
        missing_function(#name);                  \
    }
TOLM_CPYTHON_FUNCTIONS(TOLM_CPYTHON_STANDBY)
#undef TOLM_CPYTHON_STANDBY

}  // namespace

// The import slots. The compiler reads the address of a dllimport symbol `name` from
// `__imp_name`, which a DLL import would have the loader fill; here they are ordinary
// variables that fill_cpython_imports writes, with the interpreter lock held, before any other
// CPython call. Data symbols and optional functions start null.
extern "C" {
#define TOLM_CPYTHON_FUNCTION_SLOT(name) \
    void* tolm_cpython_##name __asm__("__imp_" #name) = reinterpret_cast<void*>(&standby_##name);
#define TOLM_CPYTHON_NULL_SLOT(name) void* tolm_cpython_##name __asm__("__imp_" #name) = nullptr;
TOLM_CPYTHON_FUNCTIONS(TOLM_CPYTHON_FUNCTION_SLOT)
TOLM_CPYTHON_DATA(TOLM_CPYTHON_NULL_SLOT)
TOLM_CPYTHON_OPTIONAL_FUNCTIONS(TOLM_CPYTHON_NULL_SLOT)
#undef TOLM_CPYTHON_NULL_SLOT
#undef TOLM_CPYTHON_FUNCTION_SLOT
}

namespace tolm::python {
namespace {

struct ImportSlot {
    const char* name;
    void** slot;
    bool required;
};

#define TOLM_CPYTHON_REQUIRED(name) ImportSlot{#name, &tolm_cpython_##name, true},
#define TOLM_CPYTHON_OPTIONAL(name) ImportSlot{#name, &tolm_cpython_##name, false},
constexpr std::array kImportSlots = {
    TOLM_CPYTHON_DATA(TOLM_CPYTHON_REQUIRED) TOLM_CPYTHON_FUNCTIONS(TOLM_CPYTHON_REQUIRED)
        TOLM_CPYTHON_OPTIONAL_FUNCTIONS(TOLM_CPYTHON_OPTIONAL)};
#undef TOLM_CPYTHON_OPTIONAL
#undef TOLM_CPYTHON_REQUIRED

// The first function PyInit_tolm_native needs; a module that exports it is taken for CPython.
constexpr const char* kCPythonMarker = "PyModule_Create2";

bool is_cpython(HMODULE module) noexcept {
    return module != nullptr && ::GetProcAddress(module, kCPythonMarker) != nullptr;
}

std::wstring file_name_of(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::string to_utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                              size, nullptr, nullptr);
    }
    return out;
}

// python3X.dll, python3.dll, any case.
bool named_like_cpython(std::wstring name) {
    for (wchar_t& c : name) c = static_cast<wchar_t>(std::towlower(c));
    return name.starts_with(L"python3") && name.ends_with(L".dll");
}

// A CPython DLL loaded in the process, for a host that calls PyInit_tolm_native from its own
// code. The versioned python3X.dll is preferred to python3.dll, which forwards only the
// stable ABI of its own release to it.
HMODULE find_loaded_cpython() {
    std::vector<HMODULE> modules(256);
    for (;;) {
        DWORD needed = 0;
        const auto bytes = static_cast<DWORD>(modules.size() * sizeof(HMODULE));
        if (!::K32EnumProcessModules(::GetCurrentProcess(), modules.data(), bytes, &needed)) {
            return nullptr;
        }
        if (needed <= bytes) {
            modules.resize(needed / sizeof(HMODULE));
            break;
        }
        modules.resize(needed / sizeof(HMODULE));
    }
    HMODULE forwarder = nullptr;
    for (HMODULE module : modules) {
        const std::wstring name = file_name_of(module);
        if (!named_like_cpython(name) || !is_cpython(module)) continue;
        if (_wcsicmp(name.c_str(), L"python3.dll") != 0) return module;
        if (forwarder == nullptr) forwarder = module;
    }
    return forwarder;
}

}  // namespace

CPythonImports fill_cpython_imports(void* caller) {
    // The interpreter stays loaded while it runs code, so no reference is taken.
    HMODULE host = nullptr;
    if (!::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCWSTR>(caller), &host) ||
        !is_cpython(host)) {
        host = find_loaded_cpython();
    }
    CPythonImports result;
    if (host == nullptr) return result;
    result.found = true;
    result.host = to_utf8(file_name_of(host));
    for (const ImportSlot& import : kImportSlots) {
        if (FARPROC address = ::GetProcAddress(host, import.name)) {
            *import.slot = reinterpret_cast<void*>(address);
        } else if (import.required) {
            result.missing.emplace_back(import.name);
        }
    }
    return result;
}

bool provides_utf8_and_size() noexcept {
    return tolm_cpython_PyUnicode_AsUTF8AndSize != nullptr;
}

}  // namespace tolm::python

#endif
