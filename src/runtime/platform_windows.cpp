// Compiled into Windows builds only. The guard lets tools that read every source file on
// other systems (make lint's clang-tidy) pass over it; make test-windows lints it.
#if defined(_WIN32)

#include <windows.h>
// <windows.h> first: the headers below rely on its types.
#include <bcrypt.h>
#include <synchapi.h>

#include <climits>
#include <type_traits>

#include "runtime/fatal.hpp"
#include "runtime/platform.hpp"

// The header declares the clock call itself; this makes the compiler check it against the
// system's own declaration.
static_assert(sizeof(FILETIME) == 2 * sizeof(unsigned long) && alignof(FILETIME) <= 4);
static_assert(std::is_same_v<DWORD, unsigned long>);

namespace tolm::platform {
namespace {

// ProcessPrng (bcryptprimitives.dll) is the system's own generator since Windows 10, but
// neither every system nor every import library has it, so it is looked up once at run time.
using ProcessPrngFn = BOOL(WINAPI*)(PBYTE, SIZE_T);

ProcessPrngFn find_process_prng() noexcept {
    // Kept loaded for the life of the process: the pointer below is used from then on.
    const HMODULE module =
        ::LoadLibraryExW(L"bcryptprimitives.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<ProcessPrngFn>(
        reinterpret_cast<void*>(::GetProcAddress(module, "ProcessPrng")));
}

void fill_with_bcrypt(unsigned char* bytes, size_t size) noexcept {
    while (size > 0) {
        const auto chunk = static_cast<ULONG>(size < ULONG_MAX ? size : ULONG_MAX);
        if (!BCRYPT_SUCCESS(
                ::BCryptGenRandom(nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
            abort_with_message("BCryptGenRandom failed: the random generator is unavailable");
        }
        bytes += chunk;
        size -= chunk;
    }
}

// GetThreadDescription exists from Windows 10 1607 on; looking it up keeps the library
// loadable on older systems, whose threads then report as unnamed.
using GetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);

GetThreadDescriptionFn find_get_thread_description() noexcept {
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr) return nullptr;
    return reinterpret_cast<GetThreadDescriptionFn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel32, "GetThreadDescription")));
}

std::string to_utf8(const wchar_t* text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.pop_back();  // the terminating null
    return out;
}

bool write_all(HANDLE handle, const char* data, size_t size) noexcept {
    while (size > 0) {
        const auto chunk = static_cast<DWORD>(size < MAXDWORD ? size : MAXDWORD);
        DWORD written = 0;
        if (!::WriteFile(handle, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        size -= written;
    }
    return true;
}

// A console shows UTF-16 text; bytes written to it would be read in its code page instead.
// Returns false when the text cannot go that way, so that it is written as bytes.
bool write_console(HANDLE console, std::string_view text) noexcept {
    if (text.size() > static_cast<size_t>(INT_MAX)) return false;
    const auto size = static_cast<int>(text.size());
    const int wide_size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    if (wide_size <= 0) return false;
    // The report is about to abort or unwind; a failed allocation here must not throw.
    auto* wide = static_cast<wchar_t*>(
        ::HeapAlloc(::GetProcessHeap(), 0, static_cast<SIZE_T>(wide_size) * 2));
    if (wide == nullptr) return false;
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide, wide_size);
    const wchar_t* rest = wide;
    auto left = static_cast<DWORD>(wide_size);
    while (left > 0) {
        DWORD written = 0;
        if (!::WriteConsoleW(console, rest, left, &written, nullptr) || written == 0) break;
        rest += written;
        left -= written;
    }
    ::HeapFree(::GetProcessHeap(), 0, wide);
    return true;
}

}  // namespace

uint64_t logical_processor_count() noexcept {
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
}

void fill_random(void* out, size_t size) noexcept {
    static const ProcessPrngFn process_prng = find_process_prng();
    auto* bytes = static_cast<unsigned char*>(out);
    if (process_prng != nullptr) {
        // Documented never to fail; should it report failure all the same, BCrypt takes over.
        if (process_prng(bytes, size)) return;
    }
    fill_with_bcrypt(bytes, size);
}

std::string current_thread_name() {
    static const GetThreadDescriptionFn get_description = find_get_thread_description();
    std::string name;
    PWSTR description = nullptr;
    if (get_description != nullptr &&
        SUCCEEDED(get_description(::GetCurrentThread(), &description)) && description != nullptr) {
        name = to_utf8(description);
        ::LocalFree(description);
    }
    return name.empty() ? "<unnamed>" : name;
}

void write_stderr(std::string_view text) noexcept {
    const HANDLE handle = ::GetStdHandle(STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD console_mode = 0;
    if (::GetConsoleMode(handle, &console_mode) && write_console(handle, text)) return;
    write_all(handle, text.data(), text.size());
}

void wait_on_address(const void* address, const void* expected, size_t size) noexcept {
    // The wait never writes through either pointer; the system's signature is not const.
    ::WaitOnAddress(const_cast<volatile void*>(address), const_cast<void*>(expected), size,
                    INFINITE);
}

void wake_one_waiter(const void* address) noexcept {
    ::WakeByAddressSingle(const_cast<void*>(address));
}

void wake_all_waiters(const void* address) noexcept {
    ::WakeByAddressAll(const_cast<void*>(address));
}

}  // namespace tolm::platform

#endif  // defined(_WIN32)
