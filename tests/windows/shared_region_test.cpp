// The shared store on Windows, run under Wine with real processes: this executable starts
// copies of itself (the child's part is chosen by TOLM_SHARED_CHILD), which open the region by
// name, as workers do.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/engine.hpp"
#include "store/shared_state_map.hpp"

namespace tolm {
namespace {

EngineConfig config(double capacity) {
    EngineConfig c;
    c.algorithm = "token_bucket";
    c.mode = "active";
    c.capacity = capacity;
    c.refill_rate = 0;
    return c;
}

std::string region_name() {
    return "tolm-wine-test-" + std::to_string(::GetCurrentProcessId());
}

// Starts this executable as a child running `test` with TOLM_SHARED_CHILD=`role` and
// TOLM_SHARED_NAME=`name`.
HANDLE start_child(const std::string& test, const std::string& role, const std::string& name) {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=";
    for (const char c : test) command += static_cast<wchar_t>(c);
    ::SetEnvironmentVariableA("TOLM_SHARED_CHILD", role.c_str());
    ::SetEnvironmentVariableA("TOLM_SHARED_NAME", name.c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const BOOL started = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                                          nullptr, nullptr, &startup, &process);
    ::SetEnvironmentVariableA("TOLM_SHARED_CHILD", nullptr);
    EXPECT_TRUE(started);
    if (!started) return nullptr;
    ::CloseHandle(process.hThread);
    return process.hProcess;
}

DWORD wait_exit(HANDLE process) {
    EXPECT_EQ(::WaitForSingleObject(process, 120000), WAIT_OBJECT_0);
    DWORD code = 999;
    ::GetExitCodeProcess(process, &code);
    ::CloseHandle(process);
    return code;
}

const char* child_role() {
    return std::getenv("TOLM_SHARED_CHILD");
}

uint64_t admitted(Engine& engine, std::string_view key, int count) {
    uint64_t n = 0;
    for (int i = 0; i < count; ++i) n += engine.check(key, "ip", "/", 0).allowed ? 1 : 0;
    return n;
}

// Two processes and this one check one key: together they admit exactly the capacity.
TEST(WindowsSharedRegionTest, ProcessesTogetherAdmitExactlyTheCapacity) {
    if (const char* role = child_role(); role != nullptr) {
        auto engine = Engine::open_shared(config(23), {std::getenv("TOLM_SHARED_NAME"), 100});
        ::ExitProcess(static_cast<UINT>(admitted(*engine, "client", 20)));
    }
    const std::string name = region_name() + "-capacity";
    // Held open here: a Windows region lives while some process has it open.
    auto engine = Engine::open_shared(config(23), {name, 100});
    const std::string test = "WindowsSharedRegionTest.ProcessesTogetherAdmitExactlyTheCapacity";
    std::vector<HANDLE> children = {start_child(test, "count", name),
                                    start_child(test, "count", name)};
    uint64_t total = admitted(*engine, "client", 20);
    for (HANDLE child : children) total += wait_exit(child);
    EXPECT_EQ(total, 23u);
    EXPECT_THROW(Engine::open_shared(config(24), {name, 100}), platform::SharedRegionError);
}

// A process terminated while it holds a shard's lock: its mutex is abandoned, the next taker
// rebuilds the shard, the key being checked starts again, the others keep their counts.
TEST(WindowsSharedRegionTest, HolderTerminatedInsideTheCriticalSection) {
    if (const char* role = child_role(); role != nullptr) {
        shared_store_testing::set_pause_hook([](std::string_view key) {
            if (key != "victim") return;
            const std::string event = std::string("Local\\") + std::getenv("TOLM_SHARED_NAME");
            ::SetEvent(::OpenEventA(EVENT_MODIFY_STATE, FALSE, event.c_str()));
            ::Sleep(INFINITE);  // terminated here, holding the lock
        });
        auto engine = Engine::open_shared(config(10), {std::getenv("TOLM_SHARED_NAME"), 100});
        engine->check(std::string_view("victim"), "ip", "/", 0);
        ::ExitProcess(3);
    }
    const std::string name = region_name() + "-abandoned";
    auto engine = Engine::open_shared(config(10), {name, 100});
    for (int i = 0; i < 50; ++i) admitted(*engine, "client-" + std::to_string(i), 3);
    admitted(*engine, "victim", 1);
    const std::string event_name = "Local\\" + name;
    HANDLE stopped = ::CreateEventA(nullptr, TRUE, FALSE, event_name.c_str());
    HANDLE holder = start_child("WindowsSharedRegionTest.HolderTerminatedInsideTheCriticalSection",
                                "hold", name);
    ASSERT_EQ(::WaitForSingleObject(stopped, 120000), WAIT_OBJECT_0);
    ::TerminateProcess(holder, 9);
    EXPECT_EQ(wait_exit(holder), 9u);
    ::CloseHandle(stopped);

    EXPECT_EQ(engine->check(std::string_view("victim"), "ip", "/", 0).record.remaining, 9u);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(engine->check("client-" + std::to_string(i), "ip", "/", 0).record.remaining, 6u);
    }
    EXPECT_EQ(engine->shared_store()->repairs(), 1u);
    EXPECT_EQ(engine->shared_store()->verify(), "");
}

}  // namespace
}  // namespace tolm
