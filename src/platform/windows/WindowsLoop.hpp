// The Windows main loop: the main thread's message queue, with posted tasks and timers from the
// shared LoopTimers, and a waitable timer with an absolute due time for the wall clock.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

#include "platform/MainLoop.hpp"

namespace sh {

class WindowsLoop final : public MainLoop, public Application {
  public:
    WindowsLoop();
    ~WindowsLoop() override;

    // MainLoop
    void post(Task task) override;
    void postDelayed(double delaySeconds, Task task) override;
    std::shared_ptr<Timer> scheduleTimer(double intervalSeconds, bool repeats,
                                         Task action) override;
    // Watched by a waitable timer set for the absolute time, which Windows keeps on the wall
    // clock when it is set and fires on resume; it is set again on WM_TIMECHANGE and
    // WM_POWERBROADCAST, and the clock is read at least once a second while such a timer waits.
    std::shared_ptr<Timer> scheduleWallClockTimer(double epochSeconds, Task action) override;
    double now() const override;
    double uptime() const override;

    // Application. Windows has no Dock; the policy is only recorded.
    void setActivationPolicy(ActivationPolicy policy) override;
    // Keeps Windows from throttling the process (EcoQoS, timer coalescing) while it is held.
    std::shared_ptr<Activity> beginActivity(const std::string& reason) override;
    void run() override;
    // Runs the exit hooks and ends the process with status 0; does not return.
    void terminate() override;

    // Main thread: runs before every wait, after due work and dispatched messages, so that a
    // desktop can push what the turn changed to the window server in one place.
    void addPrepareHook(Task hook);
    void addExitHook(Task hook);
    // Main thread: `hook` hears the messages Windows broadcasts to top-level windows about the
    // displays (WM_DISPLAYCHANGE, WM_SETTINGCHANGE), which the loop's own window receives.
    void addDisplayHook(Task hook);

    struct State;

  private:
    std::unique_ptr<State> state_;
};

}  // namespace sh
