// The main thread's event loop as the core sees it: posted tasks, delayed tasks, timers,
// the wall clock, and the application object that runs and ends the loop.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace sh {

using Task = std::function<void()>;

// A scheduled timer. The loop keeps it alive until it is invalidated or, for a one-shot
// timer, until it has fired; the owner keeps it only to stop it.
class Timer {
  public:
    virtual ~Timer() = default;
    // Stops the timer for good; its action never runs again. Calling it twice is harmless.
    virtual void invalidate() = 0;
    virtual bool isValid() const = 0;
};

class MainLoop {
  public:
    virtual ~MainLoop() = default;

    // Queues a task for the main thread. Safe to call from any thread. Tasks run one at a
    // time, each to completion, in the order they were posted.
    virtual void post(Task task) = 0;
    // Main thread only: runs the task once, on the main thread, after the delay.
    virtual void postDelayed(double delaySeconds, Task task) = 0;
    // Main thread only: a timer whose action runs on the main thread after the interval,
    // and again at every interval while `repeats` is true and it has not been invalidated.
    virtual std::shared_ptr<Timer> scheduleTimer(double intervalSeconds, bool repeats,
                                                 Task action) = 0;
    // Main thread only: a one-shot timer whose action runs on the main thread once the wall
    // clock has reached `epochSeconds` (seconds since 1970-01-01 00:00 UTC), however it got
    // there: time passing, the machine sleeping through it, or the clock being set forward.
    // Setting the clock back postpones it. A relative timer cannot promise this, since the
    // clocks they count stop while the machine sleeps and ignore changes of the wall clock.
    virtual std::shared_ptr<Timer> scheduleWallClockTimer(double epochSeconds, Task action) = 0;
    // The wall clock, in seconds since 1970-01-01 00:00 UTC.
    virtual double now() const = 0;
    // Seconds on a clock that only runs forward, whatever the wall clock does; for measuring
    // short spans. Its origin is of no meaning.
    virtual double uptime() const = 0;
};

// Work the user started and waits on. While one is held the system keeps the process's timers
// and queues at full speed, even with none of its windows visible; idle system sleep stays
// allowed.
class Activity {
  public:
    virtual ~Activity() = default;
    // Ends the activity. Calling it twice is harmless; destroying the handle ends it too.
    virtual void end() = 0;
};

enum class ActivationPolicy { regular = 0, accessory = 1, prohibited = 2 };

// The process's application object.
class Application {
  public:
    virtual ~Application() = default;
    virtual void setActivationPolicy(ActivationPolicy policy) = 0;
    // Declares a latency-critical, user-initiated activity until the returned handle ends it.
    // `reason` is for the system's diagnostics. Desktops that never throttle a background
    // process return a handle that does nothing.
    virtual std::shared_ptr<Activity> beginActivity(const std::string& reason) = 0;
    // Runs the main loop on the calling (main) thread. Returns only if the loop ever stops.
    virtual void run() = 0;
    // Ends the process with status 0. Real desktops do not return from it; the simulated
    // one records the request and stops its loop.
    virtual void terminate() = 0;
};

}  // namespace sh
