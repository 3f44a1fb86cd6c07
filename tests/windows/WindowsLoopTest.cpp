// The Windows main loop. Its run() never returns and terminate() ends the process, so each
// scenario runs as a death test (a child process of the test program) that prints what
// happened to stderr and then terminates; the parent checks the exit status and the log.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/common/LoopTimers.hpp"
#include "platform/windows/WindowsLoop.hpp"

namespace sh {
namespace {

void finish(WindowsLoop& loop, const std::string& log) {
    std::fprintf(stderr, "log=%s.\n", log.c_str());
    std::fflush(stderr);
    loop.terminate();
}

#define EXPECT_LOG(scenario, expected) \
    EXPECT_EXIT(scenario, ::testing::ExitedWithCode(0), "log=" expected "\\.")

TEST(WindowsLoopTest, TasksPostedFromAnotherThreadWakeTheMessageWait) {
    // Nothing else is scheduled, so the loop waits without a timeout: only the posting
    // thread's wake-up message can end the wait.
    EXPECT_LOG(
        {
            WindowsLoop loop;
            std::string log;
            std::thread poster([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                for (int i = 0; i < 3; ++i) {
                    loop.post([&, i] {
                        log += std::to_string(i);
                        if (i == 2) {
                            finish(loop, log);
                        }
                    });
                }
            });
            poster.detach();
            loop.run();
        },
        "012");
}

TEST(WindowsLoopTest, DelayedTasksTimersAndPostsKeepTheirOrder) {
    EXPECT_LOG(
        {
            WindowsLoop loop;
            std::string log;
            loop.postDelayed(0.06, [&] {
                log += "c";
                finish(loop, log);
            });
            loop.postDelayed(0.02, [&] { log += "a"; });
            loop.scheduleTimer(0.04, false, [&] { log += "b"; });
            loop.post([&] { log += "0"; });
            loop.run();
        },
        "0abc");
}

TEST(WindowsLoopTest, WallClockTimerFiresAtItsTimeAndNotBefore) {
    EXPECT_LOG(
        {
            WindowsLoop loop;
            std::string log;
            double due = loop.now() + 0.3;
            double started = loop.uptime();
            loop.scheduleWallClockTimer(due, [&] {
                double late = loop.now() - due;
                double waited = loop.uptime() - started;
                // Early is a fault; late by more than the second the loop waits at most
                // between looks at the clock is one too.
                log += (late >= 0 && late < 1.0 && waited >= 0.25) ? "on time" : "off";
                finish(loop, log);
            });
            // Cancelled before it is due: never fires.
            auto cancelled = loop.scheduleWallClockTimer(loop.now() + 0.1, [&] { log += "X"; });
            loop.postDelayed(0.05, [&] { cancelled->invalidate(); });
            // Already past: fires on the first turn.
            loop.scheduleWallClockTimer(loop.now() - 10, [&] { log += "past "; });
            loop.run();
        },
        "past on time");
}

TEST(WindowsLoopTest, WindowMessagesAreDispatchedWhileTheLoopWaits) {
    // The WinEvent hooks and the shields' input arrive as messages to the main thread; the
    // loop must dispatch them while it waits for nothing else.
    EXPECT_LOG(
        {
            static WindowsLoop* running = nullptr;
            WindowsLoop loop;
            running = &loop;
            WNDCLASSEXW windowClass{};
            windowClass.cbSize = sizeof windowClass;
            windowClass.lpfnWndProc = [](HWND window, UINT message, WPARAM wParam,
                                         LPARAM lParam) -> LRESULT {
                if (message == WM_APP + 7) {
                    finish(*running, "dispatched " + std::to_string(wParam));
                }
                return DefWindowProcW(window, message, wParam, lParam);
            };
            windowClass.hInstance = GetModuleHandleW(nullptr);
            windowClass.lpszClassName = L"WindowsLoopTestWindow";
            RegisterClassExW(&windowClass);
            HWND window =
                CreateWindowExW(0, L"WindowsLoopTestWindow", L"", WS_POPUP, 0, 0, 1, 1,
                                HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr);
            std::thread([window] {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                PostMessageW(window, WM_APP + 7, 42, 0);
            }).detach();
            loop.run();
        },
        "dispatched 42");
}

}  // namespace
}  // namespace sh
