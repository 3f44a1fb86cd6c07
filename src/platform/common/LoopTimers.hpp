// The part of a main loop that is the same on every operating system: the queue of posted
// tasks, delayed tasks and timers on the monotonic clock, and timers on the wall clock. A loop
// supplies the waiting (poll on Linux, a message wait on Windows) and the wake-ups.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/MainLoop.hpp"

namespace sh {

class LoopTimers {
  public:
    using Clock = std::chrono::steady_clock;
    // The wall clock, in seconds since 1970.
    using WallClock = std::function<double()>;

    // `wallClock` defaults to the system's real-time clock.
    explicit LoopTimers(WallClock wallClock = {});
    ~LoopTimers();

    // Any thread. Returns whether the queue was empty before, in which case the waiting loop
    // must be woken; later tasks of the same batch are taken with it.
    bool post(Task task);
    bool hasPostedTasks();

    void postDelayed(double delaySeconds, Task task);
    std::shared_ptr<Timer> scheduleTimer(double intervalSeconds, bool repeats, Task action);
    std::shared_ptr<Timer> scheduleWallClockTimer(double epochSeconds, Task action);
    double now() const { return wallClock_(); }
    static double uptime();
    static double systemWallClock();

    // One turn's due work: monotonic timers, wall-clock timers, then the posted tasks.
    void runDue();
    // How long the loop may wait before due work: zero when tasks are posted, absent when
    // nothing is scheduled at all. While a wall-clock timer waits, at most a second, so that
    // the clock is looked at even when it changes in ways the system does not announce.
    std::optional<Clock::duration> timeToWait();
    // The earliest time a valid wall-clock timer waits for, to arm a system timer with.
    std::optional<double> earliestWallTime() const;
    // Whether the wall clock in use is the system's, which the system can wake the loop for.
    bool usesSystemWallClock() const { return systemClock_; }

  private:
    struct State;
    std::unique_ptr<State> state_;
    WallClock wallClock_;
    bool systemClock_;
};

}  // namespace sh
