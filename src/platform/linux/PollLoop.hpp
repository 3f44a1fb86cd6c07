// The Linux main loop: a poll(2) loop that runs posted tasks in posting order, delayed tasks
// and timers on the monotonic clock, timers on the wall clock, and file-descriptor sources such
// as the X connection.
#pragma once

#include <functional>
#include <memory>

#include "platform/MainLoop.hpp"

namespace sh {

class PollLoop final : public MainLoop, public Application {
  public:
    // The wall clock, in seconds since 1970. Tests hand in one of their own; by default it is
    // the system's real-time clock.
    using WallClock = std::function<double()>;

    explicit PollLoop(WallClock wallClock = {});
    ~PollLoop() override;

    // MainLoop
    void post(Task task) override;
    void postDelayed(double delaySeconds, Task task) override;
    std::shared_ptr<Timer> scheduleTimer(double intervalSeconds, bool repeats,
                                         Task action) override;
    // Watched two ways: a timerfd on the real-time clock that the kernel wakes at the time, or
    // at once when the clock is set or the machine resumes; and, while such a timer waits, a
    // look at the wall clock at least once a second, for clocks that change in ways the kernel
    // does not announce.
    std::shared_ptr<Timer> scheduleWallClockTimer(double epochSeconds, Task action) override;
    double now() const override;
    double uptime() const override;

    // Application. There is no Dock or menu bar on Linux, so the policy is only recorded.
    void setActivationPolicy(ActivationPolicy policy) override;
    // Linux does not throttle background processes, so the activity is a handle that does
    // nothing.
    std::shared_ptr<Activity> beginActivity(const std::string& reason) override;
    void run() override;
    // Runs the exit hooks and ends the process with status 0; does not return.
    void terminate() override;

    // Main thread: `onReadable` runs on the main thread whenever `fd` is readable or hung up.
    void watchFd(int fd, Task onReadable);
    // Main thread: stops watching `fd`, before it is closed (a source that reconnects).
    void unwatchFd(int fd);
    // Main thread: runs before every wait, after due work, so a source can handle events it
    // has already read into its own queue and flush what it has buffered.
    void addPrepareHook(Task hook);
    // Main thread: runs when the process is about to end through terminate().
    void addExitHook(Task hook);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace sh
