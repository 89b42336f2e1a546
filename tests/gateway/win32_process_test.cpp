// Process tests that only the Windows gateway can show: a file held by another
// process without delete sharing, as a virus scanner holds a fresh file.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "application.h"
#include "gateway_process.h"
#include "texts.h"

namespace qg::test {
namespace {

// The request file is held without delete sharing until 150 ms after the
// answer: the gateway's delete waits by the busy rule, and nothing is left.
TEST(GatewayWin32, RequestFileHeldWithoutDeleteSharingStillGoes) {
    GatewaySandbox box(std::nullopt);
    write_file(box.settings_file(), box.settings_for("Timeout=20\r\nPollTime=10\r\n"));
    std::atomic<bool> held{false};
    Application app(box.work(), "qg_", [&](const std::string&) {
        while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return std::optional<Answer>(Answer{"answered"});
    });
    Child gateway = box.start({}, "", "held");
    HANDLE handle = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(eventually([&] {
        for (const auto& name : box.work_files()) {
            if (name.rfind("qg_", 0) != 0 && name.rfind("QG_", 0) != 0) continue;
            handle = ::CreateFileA((box.work() + name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (handle != INVALID_HANDLE_VALUE) return true;
        }
        return false;
    }));
    held = true;
    ASSERT_TRUE(eventually([&] { return app.answered() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ::CloseHandle(handle);
    const auto r = box.finish(gateway, "held");
    EXPECT_EQ(r.output, std::string(text::default_header) + "answered");
    EXPECT_TRUE(box.work_files().empty());  // the gateway has exited: nothing may be left
    EXPECT_EQ(box.log(), "");
}

}  // namespace
}  // namespace qg::test
