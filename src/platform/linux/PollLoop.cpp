// The Linux main loop: posted tasks (woken through an eventfd), delayed tasks and timers on a
// min-heap keyed by the monotonic clock, file-descriptor sources, prepare and exit hooks.
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
#include <deque>
#include <mutex>
#include <optional>
#include <queue>
#include <system_error>
#include <vector>

namespace sh {

namespace {

using Clock = std::chrono::steady_clock;

// Delays are clamped to this many seconds: a far-future end time must neither overflow the
// clock's integer representation (which would make it due at once) nor wait forever.
constexpr double maximumDelaySeconds = 100.0 * 365 * 24 * 3600;
// The shortest repeat interval; a zero interval would otherwise starve everything else.
constexpr double minimumRepeatSeconds = 0.0001;

Clock::duration durationFromSeconds(double seconds) {
    if (!(seconds > 0)) {
        return Clock::duration::zero();  // Negative, zero and NaN delays mean "at once".
    }
    seconds = std::min(seconds, maximumDelaySeconds);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

class LoopTimer final : public Timer {
  public:
    LoopTimer(Clock::duration interval, bool repeats, Task action)
        : interval(interval), repeats(repeats), action(std::move(action)) {}

    void invalidate() override {
        valid = false;
        // The action may be the caller (a timer that stops itself); its closure is released
        // only once it has returned.
        if (!running) {
            action = nullptr;
        }
    }
    bool isValid() const override { return valid; }

    Clock::duration interval;
    bool repeats;
    Task action;
    bool valid = true;
    bool running = false;
};

// A timer on the wall clock. It fires once, when the wall clock reads its time or later.
class WallTimer final : public Timer {
  public:
    WallTimer(double epochSeconds, Task action)
        : epochSeconds(epochSeconds), action(std::move(action)) {}

    void invalidate() override {
        valid = false;
        if (!running) {
            action = nullptr;
        }
    }
    bool isValid() const override { return valid; }

    double epochSeconds;
    Task action;
    bool valid = true;
    bool running = false;
};

// While a wall-clock timer waits, the loop looks at the wall clock at least this often, so a
// change of the clock that no kernel notice announces still counts within a second.
constexpr auto wallClockCheckInterval = std::chrono::seconds(1);

double systemWallClock() {
    auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(sinceEpoch).count();
}

struct HeapEntry {
    Clock::time_point due;
    uint64_t sequence;  // Equal due times fire in scheduling order.
    std::shared_ptr<LoopTimer> timer;
};

struct LaterFirst {
    bool operator()(const HeapEntry& a, const HeapEntry& b) const {
        if (a.due != b.due) {
            return a.due > b.due;
        }
        return a.sequence > b.sequence;
    }
};

struct FdWatch {
    int fd;
    Task onReadable;
};

}  // namespace

struct PollLoop::State {
    // Shared with other threads: the posted tasks and the eventfd that announces them.
    std::mutex mutex;
    std::deque<Task> posted;
    int wakeFd = -1;

    // Main thread only: wall-clock timers and the timerfd that watches the real-time clock for
    // them (absent when the wall clock is not the system's).
    WallClock wallClock;
    std::vector<std::shared_ptr<WallTimer>> wallTimers;
    int clockFd = -1;
    // The time the timerfd is armed for, so it is not re-armed for the same moment over and
    // over when the kernel's clock and ours disagree.
    std::optional<double> armedEpoch;

    // Main thread only.
    std::vector<HeapEntry> heap;
    uint64_t nextSequence = 0;
    std::vector<std::shared_ptr<FdWatch>> watches;
    std::vector<Task> prepareHooks;
    std::vector<Task> exitHooks;
    ActivationPolicy policy = ActivationPolicy::regular;
    bool terminating = false;

    void push(Clock::time_point due, std::shared_ptr<LoopTimer> timer) {
        heap.push_back({due, nextSequence++, std::move(timer)});
        std::push_heap(heap.begin(), heap.end(), LaterFirst{});
    }

    // Drops invalidated timers from the top of the heap.
    void pruneHeap() {
        while (!heap.empty() && !heap.front().timer->valid) {
            std::pop_heap(heap.begin(), heap.end(), LaterFirst{});
            heap.pop_back();
        }
    }

    // Rebuilds the heap when most of it is dead, so that timers replaced over and over (a
    // deadline re-armed by every "update") do not pile up until their far-off due times.
    void compactHeap() {
        if (heap.size() < 64) {
            return;
        }
        auto live = std::count_if(heap.begin(), heap.end(),
                                  [](const HeapEntry& e) { return e.timer->valid; });
        if (static_cast<size_t>(live) * 2 < heap.size()) {
            std::erase_if(heap, [](const HeapEntry& e) { return !e.timer->valid; });
            std::make_heap(heap.begin(), heap.end(), LaterFirst{});
        }
    }

    void runDueTimers() {
        const auto now = Clock::now();
        for (;;) {
            pruneHeap();
            if (heap.empty() || heap.front().due > now) {
                return;
            }
            std::pop_heap(heap.begin(), heap.end(), LaterFirst{});
            HeapEntry entry = std::move(heap.back());
            heap.pop_back();
            auto& timer = *entry.timer;

            timer.running = true;
            if (timer.action) {
                timer.action();
            }
            timer.running = false;

            if (timer.repeats && timer.valid) {
                // The next firing counts from this one's due time; firings missed while the
                // loop was busy are skipped rather than run back to back.
                auto next = entry.due + timer.interval;
                auto after = Clock::now();
                if (next <= after) {
                    auto behind = (after - entry.due) / timer.interval;
                    next = entry.due + (behind + 1) * timer.interval;
                }
                push(next, std::move(entry.timer));
            } else {
                timer.valid = false;
                timer.action = nullptr;
            }
        }
    }

    // Fires the wall-clock timers whose time the wall clock has reached, earliest first, then
    // arms the timerfd for the next one.
    void runDueWallTimers() {
        for (;;) {
            std::erase_if(wallTimers, [](const auto& timer) { return !timer->valid; });
            double now = wallClock();
            auto due = std::min_element(
                wallTimers.begin(), wallTimers.end(),
                [](const auto& a, const auto& b) { return a->epochSeconds < b->epochSeconds; });
            if (due == wallTimers.end() || (*due)->epochSeconds > now) {
                break;
            }
            std::shared_ptr<WallTimer> timer = *due;
            timer->valid = false;
            timer->running = true;
            if (timer->action) {
                timer->action();
            }
            timer->running = false;
            timer->action = nullptr;
        }
        armClockFd(false);
    }

    std::optional<double> earliestWallTime() const {
        std::optional<double> earliest;
        for (const auto& timer : wallTimers) {
            if (timer->valid && (!earliest || timer->epochSeconds < *earliest)) {
                earliest = timer->epochSeconds;
            }
        }
        return earliest;
    }

    // Arms the timerfd at the earliest wall-clock time, absolute on the real-time clock and
    // cancelled by any discontinuous change of that clock (a set, a resume from suspend).
    void armClockFd(bool force) {
        if (clockFd < 0) {
            return;
        }
        std::optional<double> earliest = earliestWallTime();
        if (!force && earliest == armedEpoch) {
            return;
        }
        itimerspec when{};
        if (earliest) {
            double seconds = std::min(*earliest, systemWallClock() + maximumDelaySeconds);
            seconds = std::max(seconds, 1.0);  // Zero would disarm the timer.
            double whole = std::floor(seconds);
            when.it_value.tv_sec = static_cast<time_t>(whole);
            when.it_value.tv_nsec = static_cast<long>((seconds - whole) * 1e9);
        }
        timerfd_settime(clockFd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &when, nullptr);
        armedEpoch = earliest;
    }

    // The timerfd is readable: its time came, or the clock changed under it.
    void readClockFd() {
        uint64_t expirations;
        ssize_t result;
        while ((result = read(clockFd, &expirations, sizeof expirations)) == -1 && errno == EINTR) {
        }
        if (result == -1 && errno == ECANCELED) {
            // The clock jumped: what is due runs now, and the timer must be armed anew.
            armedEpoch.reset();
            runDueWallTimers();
            armClockFd(true);
        }
        // On expiry the next round runs what is due. Should the kernel's clock and ours
        // disagree, the timer is not re-armed for the same moment (armedEpoch is kept), and
        // the check once a second takes over.
    }

    // Runs the tasks posted so far; tasks they post run in the next round, after them.
    void runPostedTasks() {
        std::deque<Task> batch;
        {
            std::lock_guard lock(mutex);
            batch.swap(posted);
        }
        for (auto& task : batch) {
            task();
        }
    }

    bool hasPostedTasks() {
        std::lock_guard lock(mutex);
        return !posted.empty();
    }

    void drainWakeFd() {
        uint64_t value;
        while (read(wakeFd, &value, sizeof value) == -1 && errno == EINTR) {
        }
    }

    // Waits for a posted task, a due timer or a readable source.
    void wait() {
        timespec timeout{0, 0};
        timespec* timeoutPointer = &timeout;
        compactHeap();
        if (!hasPostedTasks()) {
            pruneHeap();
            if (heap.empty()) {
                timeoutPointer = nullptr;
            } else {
                auto remaining = heap.front().due - Clock::now();
                if (remaining > Clock::duration::zero()) {
                    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(remaining);
                    timeout.tv_sec = static_cast<time_t>(ns.count() / 1'000'000'000);
                    timeout.tv_nsec = static_cast<long>(ns.count() % 1'000'000'000);
                }
            }
        }

        if (earliestWallTime()) {
            // A wall-clock timer waits: look at the clock at least once a second.
            auto cap = std::chrono::duration_cast<std::chrono::nanoseconds>(wallClockCheckInterval);
            auto current =
                std::chrono::seconds(timeout.tv_sec) + std::chrono::nanoseconds(timeout.tv_nsec);
            if (timeoutPointer == nullptr || current > cap) {
                timeout.tv_sec = static_cast<time_t>(cap.count() / 1'000'000'000);
                timeout.tv_nsec = static_cast<long>(cap.count() % 1'000'000'000);
                timeoutPointer = &timeout;
            }
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

PollLoop::PollLoop(WallClock wallClock) : state_(std::make_unique<State>()) {
    state_->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state_->wakeFd < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    if (wallClock) {
        // A clock of the caller's own: the kernel knows nothing of it, so only the check once
        // a second watches it.
        state_->wallClock = std::move(wallClock);
    } else {
        state_->wallClock = systemWallClock;
        // Without a timerfd the check once a second still ends a wall-clock timer in time.
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
    bool wasEmpty;
    {
        std::lock_guard lock(state_->mutex);
        wasEmpty = state_->posted.empty();
        state_->posted.push_back(std::move(task));
    }
    // Only the first task of a batch needs to wake the loop: it takes the whole queue at once.
    if (wasEmpty) {
        uint64_t one = 1;
        while (write(state_->wakeFd, &one, sizeof one) == -1 && errno == EINTR) {
        }
    }
}

void PollLoop::postDelayed(double delaySeconds, Task task) {
    auto timer = std::make_shared<LoopTimer>(Clock::duration::zero(), false, std::move(task));
    state_->push(Clock::now() + durationFromSeconds(delaySeconds), std::move(timer));
}

std::shared_ptr<Timer> PollLoop::scheduleTimer(double intervalSeconds, bool repeats, Task action) {
    auto interval = durationFromSeconds(intervalSeconds);
    if (repeats) {
        interval = std::max(interval, durationFromSeconds(minimumRepeatSeconds));
    }
    auto timer = std::make_shared<LoopTimer>(interval, repeats, std::move(action));
    state_->push(Clock::now() + interval, timer);
    return timer;
}

std::shared_ptr<Timer> PollLoop::scheduleWallClockTimer(double epochSeconds, Task action) {
    auto timer = std::make_shared<WallTimer>(epochSeconds, std::move(action));
    state_->wallTimers.push_back(timer);
    state_->armClockFd(false);
    return timer;
}

double PollLoop::now() const {
    return state_->wallClock();
}

double PollLoop::uptime() const {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
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
        state_->runDueTimers();
        state_->runDueWallTimers();
        state_->runPostedTasks();
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
