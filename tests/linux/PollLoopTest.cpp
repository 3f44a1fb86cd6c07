// The poll(2) main loop. Its run() never returns and terminate() ends the process, so every
// scenario runs in a forked child that prints what happened to stderr and then terminates;
// the parent checks the exit status and the printed log.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/PollLoop.hpp"

namespace sh {
namespace {

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Prints the log and terminates the loop: the child's last act.
void finish(PollLoop& loop, const std::string& log) {
    std::fprintf(stderr, "log=%s.\n", log.c_str());
    std::fflush(stderr);
    loop.terminate();
}

#define EXPECT_LOG(scenario, expected) \
    EXPECT_EXIT(scenario, ::testing::ExitedWithCode(0), "log=" expected "\\.")

TEST(PollLoopTest, PostedTasksRunInOrderAndLaterPostsRunAfterThem) {
    EXPECT_LOG(
        {
            PollLoop loop;
            std::string log;
            loop.post([&] {
                log += "a";
                loop.post([&] {
                    log += "d";
                    finish(loop, log);
                });
            });
            loop.post([&] { log += "b"; });
            loop.post([&] { log += "c"; });
            loop.run();
        },
        "abcd");
}

TEST(PollLoopTest, PostsFromOtherThreadsKeepEachThreadsOrder) {
    EXPECT_LOG(
        {
            PollLoop loop;
            constexpr int threads = 4;
            constexpr int perThread = 2000;
            std::vector<int> next(threads, 0);
            int received = 0;
            bool ordered = true;
            std::vector<std::thread> posters;
            for (int t = 0; t < threads; ++t) {
                posters.emplace_back([&, t] {
                    for (int i = 0; i < perThread; ++i) {
                        loop.post([&, t, i] {
                            ordered = ordered && next[t] == i;
                            next[t] = i + 1;
                            if (++received == threads * perThread) {
                                for (auto& poster : posters) {
                                    poster.join();
                                }
                                finish(loop, ordered ? "ordered" : "disordered");
                            }
                        });
                    }
                });
            }
            loop.run();
        },
        "ordered");
}

TEST(PollLoopTest, DelayedTasksAndTimersFireInDueOrder) {
    EXPECT_LOG(
        {
            PollLoop loop;
            std::string log;
            loop.postDelayed(0.03, [&] {
                log += "c";
                finish(loop, log);
            });
            loop.postDelayed(0.01, [&] { log += "a"; });
            loop.scheduleTimer(0.02, false, [&] { log += "b"; });
            // Negative and not-a-number delays mean "at once".
            loop.postDelayed(-5, [&] { log += "0"; });
            loop.postDelayed(std::nan(""), [&] { log += "1"; });
            loop.run();
        },
        "01abc");
}

TEST(PollLoopTest, InvalidatedTimersNeverFire) {
    // Timers fire in due order whatever the scheduling delays, so every step below is placed
    // on its own due time.
    EXPECT_LOG(
        {
            PollLoop loop;
            std::string log;
            // Stops itself at its second firing; it must not fire a third time.
            int selfCount = 0;
            std::shared_ptr<Timer> self;
            self = loop.scheduleTimer(0.005, true, [&] {
                if (++selfCount == 2) {
                    self->invalidate();
                    self->invalidate();  // Harmless twice.
                }
            });
            // Stopped by an earlier task before it is due.
            auto byTask = loop.scheduleTimer(0.03, false, [&] { log += "X"; });
            loop.postDelayed(0.01, [&] { byTask->invalidate(); });
            // Two timers due at the same moment: the first stops the second.
            std::shared_ptr<Timer> second;
            loop.scheduleTimer(0.02, false, [&] {
                log += "f";
                second->invalidate();
            });
            second = loop.scheduleTimer(0.02, false, [&] { log += "Y"; });
            // A one-shot timer is no longer valid once it has fired.
            std::shared_ptr<Timer> once = loop.scheduleTimer(0.001, false, [&] { log += "o"; });
            loop.postDelayed(0.08, [&] {
                log += " self=" + std::to_string(selfCount);
                for (auto* timer : {&self, &byTask, &second, &once}) {
                    log += (*timer)->isValid() ? "V" : "-";
                }
                finish(loop, log);
            });
            loop.run();
        },
        "of self=2----");
}

TEST(PollLoopTest, RepeatingTimerNeverFiresEarlyAndSkipsMissedFirings) {
    EXPECT_LOG(
        {
            using Clock = std::chrono::steady_clock;
            PollLoop loop;
            constexpr double interval = 0.01;
            auto start = Clock::now();
            auto seconds = [&](Clock::time_point t) {
                return std::chrono::duration<double>(t - start).count();
            };
            std::vector<double> firings;
            double stallEnd = 0;
            std::shared_ptr<Timer> timer;
            timer = loop.scheduleTimer(interval, true, [&] {
                firings.push_back(seconds(Clock::now()));
                if (firings.size() == 2) {
                    // Keep the loop busy for five intervals.
                    auto until = Clock::now() + std::chrono::milliseconds(50);
                    while (Clock::now() < until) {
                    }
                    stallEnd = seconds(Clock::now());
                }
                if (firings.size() == 4) {
                    timer->invalidate();
                    std::string log = "fired";
                    for (size_t k = 0; k < firings.size(); ++k) {
                        if (firings[k] < (k + 1) * interval) {
                            log += " early";
                        }
                    }
                    // Missed firings are skipped: after the stall the timer keeps its own
                    // pace instead of making them up back to back.
                    if (firings[3] < stallEnd + interval) {
                        log += " burst";
                    }
                    finish(loop, log);
                }
            });
            loop.run();
        },
        "fired");
}

TEST(PollLoopTest, FarFutureTimerDoesNotOverflowIntoNow) {
    EXPECT_LOG(
        {
            PollLoop loop;
            std::string log;
            loop.scheduleTimer(1e300, false, [&] { log += "X"; });
            loop.postDelayed(1e18, [&] { log += "Y"; });
            loop.postDelayed(0.02, [&] {
                log += "ok";
                finish(loop, log);
            });
            loop.run();
        },
        "ok");
}

TEST(PollLoopTest, WatchedDescriptorsPrepareHooksAndExitHooks) {
    EXPECT_EXIT(
        {
            PollLoop loop;
            std::string log;
            int fds[2];
            if (pipe(fds) != 0) {
                std::abort();
            }
            loop.watchFd(fds[0], [&] {
                char byte;
                if (read(fds[0], &byte, 1) == 1) {
                    log += std::string("r") + byte;
                }
                if (byte == '2') {
                    finish(loop, log);
                }
            });
            int prepared = 0;
            loop.addPrepareHook([&] { ++prepared; });
            loop.addExitHook([&] { std::fprintf(stderr, "exit1 prepared=%d\n", prepared > 0); });
            loop.addExitHook([&] {
                std::fprintf(stderr, "exit2\n");
                loop.terminate();  // Terminating from a hook does not run the hooks again.
            });
            loop.post([&] {
                log += "p";
                if (write(fds[1], "1", 1) != 1) {
                    std::abort();
                }
            });
            loop.postDelayed(0.01, [&] {
                if (write(fds[1], "2", 1) != 1) {
                    std::abort();
                }
            });
            loop.run();
        },
        ::testing::ExitedWithCode(0), "log=pr1r2\\.\nexit1 prepared=1\nexit2\n$");
}

// Wall-clock timers against a clock of the test's own, which jumps as a clock set by the user
// or a resume from sleep would. The kernel knows nothing of this clock, so the loop's own look
// at the clock, at least once a second, must notice the jump.
TEST(PollLoopTest, WallClockTimersFollowJumpsOfTheWallClock) {
    struct Case {
        const char* name;
        double dueIn;     // wall seconds after the start
        double jump;      // wall seconds added 0.05 s after the start
        double earliest;  // monotonic seconds after the start it may fire at
        double latest;    // and must have fired by
    };
    const Case cases[] = {
        {"forward past its time", 3600, 7200, 0.05, 1.3},
        {"forward short of its time", 3600, 3599.5, 0.5, 1.3},
        {"backwards", 0.3, -0.5, 0.75, 1.6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_LOG(
            {
                auto offset = std::make_shared<std::atomic<double>>(0);
                PollLoop loop([offset] { return 1'750'000'000.0 + *offset + monotonicSeconds(); });
                double start = monotonicSeconds();
                loop.scheduleWallClockTimer(loop.now() + c.dueIn, [&] {
                    double at = monotonicSeconds() - start;
                    bool inTime = at >= c.earliest && at <= c.latest;
                    finish(loop, inTime ? "in time" : "at " + std::to_string(at));
                });
                loop.postDelayed(0.05, [offset, jump = c.jump] { *offset = *offset + jump; });
                loop.run();
            },
            "in time");
    }
}

TEST(PollLoopTest, WallClockTimersOnTheSystemClock) {
    EXPECT_LOG(
        {
            PollLoop loop;
            std::string log;
            double start = monotonicSeconds();
            auto cancelled = loop.scheduleWallClockTimer(loop.now() + 0.05, [&] { log += "X"; });
            loop.scheduleWallClockTimer(1e300, [&] { log += "Y"; });
            loop.scheduleWallClockTimer(loop.now() + 0.1, [&] {
                double at = monotonicSeconds() - start;
                log += at >= 0.09 && at < 0.5 ? "b" : "late";
                finish(loop, log);
            });
            loop.scheduleWallClockTimer(loop.now() - 10, [&] { log += "a"; });
            cancelled->invalidate();
            loop.run();
        },
        "ab");
}

TEST(PollLoopTest, NowIsTheWallClock) {
    PollLoop loop;
    double now = loop.now();
    EXPECT_NEAR(now, static_cast<double>(std::time(nullptr)), 2.0);
}

}  // namespace
}  // namespace sh
