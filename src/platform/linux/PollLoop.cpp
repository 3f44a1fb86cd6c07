// The Linux main loop: the shared task queue and timers (common/LoopTimers) waited on with
// ppoll, woken through an eventfd for posted tasks and a timerfd for wall-clock timers, with
// file-descriptor sources, prepare and exit hooks.
#include "platform/linux/PollLoop.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <system_error>
#include <vector>

#include "platform/common/LoopTimers.hpp"

namespace sh {

namespace {

using Clock = LoopTimers::Clock;

// The furthest a timerfd is armed ahead, which keeps time_t in range.
constexpr double maximumArmSeconds = 100.0 * 365 * 24 * 3600;

struct FdWatch {
    int fd;
    Task onReadable;
};

}  // namespace

struct PollLoop::State {
    explicit State(WallClock wallClock) : timers(std::move(wallClock)) {}

    LoopTimers timers;
    int wakeFd = -1;
    // A timerfd on the real-time clock, armed for the earliest wall-clock timer, that also
    // wakes the loop when the clock is set (TFD_TIMER_CANCEL_ON_SET) or the machine resumes.
    int clockFd = -1;
    std::optional<double> armedEpoch;

    std::vector<std::shared_ptr<FdWatch>> watches;
    std::vector<Task> prepareHooks;
    std::vector<Task> exitHooks;
    ActivationPolicy policy = ActivationPolicy::regular;
    bool terminating = false;

    void armClockFd(bool force) {
        if (clockFd < 0) {
            return;
        }
        std::optional<double> earliest = timers.earliestWallTime();
        if (!force && earliest == armedEpoch) {
            return;
        }
        itimerspec when{};
        if (earliest) {
            double seconds = std::min(*earliest, LoopTimers::systemWallClock() + maximumArmSeconds);
            seconds = std::max(seconds, 1.0);  // Zero would disarm the timer.
            double whole = std::floor(seconds);
            when.it_value.tv_sec = static_cast<time_t>(whole);
            when.it_value.tv_nsec = static_cast<long>((seconds - whole) * 1e9);
        }
        timerfd_settime(clockFd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &when, nullptr);
        armedEpoch = earliest;
    }

    void readClockFd() {
        uint64_t expirations;
        ssize_t result;
        while ((result = read(clockFd, &expirations, sizeof expirations)) == -1 && errno == EINTR) {
        }
        if (result == -1 && errno == ECANCELED) {
            // The clock was set: the timer must be armed again to keep watching for that.
            // The due timers run on the loop's next turn, which comes at once.
            armedEpoch.reset();
            armClockFd(true);
        }
        // On expiry the next round runs what is due. Should the kernel's clock and ours
        // disagree, the timer is not re-armed for the same moment (armedEpoch is kept), and
        // the check once a second takes over.
    }

    void drainWakeFd() {
        uint64_t value;
        while (read(wakeFd, &value, sizeof value) == -1 && errno == EINTR) {
        }
    }

    void wait() {
        timespec timeout{0, 0};
        timespec* timeoutPointer = nullptr;
        if (std::optional<Clock::duration> wait = timers.timeToWait()) {
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*wait);
            timeout.tv_sec = static_cast<time_t>(ns.count() / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(ns.count() % 1'000'000'000);
            timeoutPointer = &timeout;
        }

        auto sources = watches;  // A source's callback may add further sources.
        std::vector<pollfd> fds;
        fds.reserve(sources.size() + 2);
        fds.push_back({wakeFd, POLLIN, 0});
        fds.push_back({clockFd, POLLIN, 0});  // A negative descriptor is ignored by poll.
        constexpr size_t firstSource = 2;
        for (auto& watch : sources) {
            fds.push_back({watch->fd, POLLIN, 0});
        }
        int ready = ppoll(fds.data(), fds.size(), timeoutPointer, nullptr);
        if (ready <= 0) {
            return;  // Timeout, or EINTR: the caller simply goes round again.
        }
        if (fds[0].revents != 0) {
            drainWakeFd();
        }
        if (fds[1].revents != 0) {
            readClockFd();
        }
        for (size_t i = 0; i < sources.size(); ++i) {
            if (fds[i + firstSource].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
                sources[i]->onReadable();
            }
        }
    }
};

PollLoop::PollLoop(WallClock wallClock) : state_(std::make_unique<State>(wallClock)) {
    state_->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state_->wakeFd < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    // A clock of the caller's own is unknown to the kernel, so only the check once a second
    // watches it. Without a timerfd that check still ends a wall-clock timer in time.
    if (!wallClock) {
        state_->clockFd = timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK);
    }
}

PollLoop::~PollLoop() {
    if (state_->wakeFd >= 0) {
        close(state_->wakeFd);
    }
    if (state_->clockFd >= 0) {
        close(state_->clockFd);
    }
}

void PollLoop::post(Task task) {
    // Only the first task of a batch needs to wake the loop: it takes the whole queue at once.
    if (state_->timers.post(std::move(task))) {
        uint64_t one = 1;
        while (write(state_->wakeFd, &one, sizeof one) == -1 && errno == EINTR) {
        }
    }
}

void PollLoop::postDelayed(double delaySeconds, Task task) {
    state_->timers.postDelayed(delaySeconds, std::move(task));
}

std::shared_ptr<Timer> PollLoop::scheduleTimer(double intervalSeconds, bool repeats, Task action) {
    return state_->timers.scheduleTimer(intervalSeconds, repeats, std::move(action));
}

std::shared_ptr<Timer> PollLoop::scheduleWallClockTimer(double epochSeconds, Task action) {
    auto timer = state_->timers.scheduleWallClockTimer(epochSeconds, std::move(action));
    state_->armClockFd(false);
    return timer;
}

double PollLoop::now() const {
    return state_->timers.now();
}

double PollLoop::uptime() const {
    return LoopTimers::uptime();
}

void PollLoop::setActivationPolicy(ActivationPolicy policy) {
    state_->policy = policy;
}

namespace {

struct NoActivity final : public Activity {
    void end() override {}
};

}  // namespace

std::shared_ptr<Activity> PollLoop::beginActivity(const std::string&) {
    return std::make_shared<NoActivity>();
}

void PollLoop::run() {
    for (;;) {
        state_->timers.runDue();
        state_->armClockFd(false);
        // Hooks run after due work and may post more; the wait then returns at once.
        for (size_t i = 0; i < state_->prepareHooks.size(); ++i) {
            state_->prepareHooks[i]();
        }
        state_->wait();
    }
}

void PollLoop::terminate() {
    // An exit hook that itself asks to terminate must not run the hooks again.
    if (!state_->terminating) {
        state_->terminating = true;
        for (size_t i = 0; i < state_->exitHooks.size(); ++i) {
            state_->exitHooks[i]();
        }
    }
    // Standard output is written unbuffered, so nothing is held back; the input thread may
    // still be blocked in read, which _exit does not wait for.
    _exit(0);
}

void PollLoop::watchFd(int fd, Task onReadable) {
    state_->watches.push_back(std::make_shared<FdWatch>(FdWatch{fd, std::move(onReadable)}));
}

void PollLoop::unwatchFd(int fd) {
    // The loop polls a copy of the list, so a source may stop watching from its own callback.
    std::erase_if(state_->watches, [fd](const auto& watch) { return watch->fd == fd; });
}

void PollLoop::addPrepareHook(Task hook) {
    state_->prepareHooks.push_back(std::move(hook));
}

void PollLoop::addExitHook(Task hook) {
    state_->exitHooks.push_back(std::move(hook));
}

}  // namespace sh
