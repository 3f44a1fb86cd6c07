// Posted tasks and timers for the main loops; see LoopTimers.hpp.
#include "platform/common/LoopTimers.hpp"

#include <algorithm>

namespace sh {

namespace {

using Clock = LoopTimers::Clock;

// Longer delays are cut to this, which is forever for a helper and keeps the arithmetic finite.
constexpr double maximumDelaySeconds = 100.0 * 365 * 24 * 3600;
// A repeating timer of zero interval would starve the loop.
constexpr double minimumRepeatSeconds = 0.0001;
constexpr auto wallClockCheckInterval = std::chrono::seconds(1);

Clock::duration durationFromSeconds(double seconds) {
    if (!(seconds > 0)) {
        return Clock::duration::zero();  // Negative, zero and NaN delays mean "at once".
    }
    seconds = std::min(seconds, maximumDelaySeconds);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// A timer's action is dropped once it is invalidated, unless it is running, which lets an
// action invalidate its own timer; the action is dropped when it returns.
class MonotonicTimer final : public Timer {
  public:
    MonotonicTimer(Clock::duration interval, bool repeats, Task action)
        : interval(interval), repeats(repeats), action(std::move(action)) {}

    void invalidate() override {
        valid = false;
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

struct HeapEntry {
    Clock::time_point due;
    uint64_t sequence;  // Equal due times fire in scheduling order.
    std::shared_ptr<MonotonicTimer> timer;
};

struct LaterFirst {
    bool operator()(const HeapEntry& a, const HeapEntry& b) const {
        if (a.due != b.due) {
            return a.due > b.due;
        }
        return a.sequence > b.sequence;
    }
};

}  // namespace

struct LoopTimers::State {
    std::mutex mutex;
    std::deque<Task> posted;
    std::vector<HeapEntry> heap;
    uint64_t nextSequence = 0;
    std::vector<std::shared_ptr<WallTimer>> wallTimers;

    void push(Clock::time_point due, std::shared_ptr<MonotonicTimer> timer) {
        heap.push_back({due, nextSequence++, std::move(timer)});
        std::push_heap(heap.begin(), heap.end(), LaterFirst{});
    }

    void pruneHeap() {
        while (!heap.empty() && !heap.front().timer->valid) {
            std::pop_heap(heap.begin(), heap.end(), LaterFirst{});
            heap.pop_back();
        }
    }

    // Invalidated timers deep in the heap are only dropped when they reach its top; a loop
    // that schedules and cancels many (the debounce) would otherwise grow it without bound.
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
                // A repeating timer that fell behind (a long task, a stopped process) skips
                // the missed firings instead of running them back to back.
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

    void runDueWallTimers(const WallClock& wallClock) {
        // One at a time, earliest first, reading the clock again after each: an action may
        // schedule or cancel others.
        for (;;) {
            std::erase_if(wallTimers, [](const auto& timer) { return !timer->valid; });
            double now = wallClock();
            auto due = std::min_element(
                wallTimers.begin(), wallTimers.end(),
                [](const auto& a, const auto& b) { return a->epochSeconds < b->epochSeconds; });
            if (due == wallTimers.end() || (*due)->epochSeconds > now) {
                return;
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
    }

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
};

LoopTimers::LoopTimers(WallClock wallClock)
    : state_(std::make_unique<State>()),
      wallClock_(wallClock ? std::move(wallClock) : WallClock(systemWallClock)),
      systemClock_(!wallClock) {}

LoopTimers::~LoopTimers() = default;

double LoopTimers::systemWallClock() {
    auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(sinceEpoch).count();
}

double LoopTimers::uptime() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

bool LoopTimers::post(Task task) {
    std::lock_guard lock(state_->mutex);
    bool wasEmpty = state_->posted.empty();
    state_->posted.push_back(std::move(task));
    return wasEmpty;
}

bool LoopTimers::hasPostedTasks() {
    std::lock_guard lock(state_->mutex);
    return !state_->posted.empty();
}

void LoopTimers::postDelayed(double delaySeconds, Task task) {
    auto timer = std::make_shared<MonotonicTimer>(Clock::duration::zero(), false, std::move(task));
    state_->push(Clock::now() + durationFromSeconds(delaySeconds), std::move(timer));
}

std::shared_ptr<Timer> LoopTimers::scheduleTimer(double intervalSeconds, bool repeats,
                                                 Task action) {
    auto interval = durationFromSeconds(intervalSeconds);
    if (repeats) {
        interval = std::max(interval, durationFromSeconds(minimumRepeatSeconds));
    }
    auto timer = std::make_shared<MonotonicTimer>(interval, repeats, std::move(action));
    state_->push(Clock::now() + interval, timer);
    return timer;
}

std::shared_ptr<Timer> LoopTimers::scheduleWallClockTimer(double epochSeconds, Task action) {
    auto timer = std::make_shared<WallTimer>(epochSeconds, std::move(action));
    state_->wallTimers.push_back(timer);
    return timer;
}

void LoopTimers::runDue() {
    state_->runDueTimers();
    state_->runDueWallTimers(wallClock_);
    state_->runPostedTasks();
}

std::optional<LoopTimers::Clock::duration> LoopTimers::timeToWait() {
    state_->compactHeap();
    if (hasPostedTasks()) {
        return Clock::duration::zero();
    }
    std::optional<Clock::duration> wait;
    state_->pruneHeap();
    if (!state_->heap.empty()) {
        wait = std::max(state_->heap.front().due - Clock::now(), Clock::duration::zero());
    }
    if (earliestWallTime()) {
        auto cap = std::chrono::duration_cast<Clock::duration>(wallClockCheckInterval);
        if (!wait || *wait > cap) {
            wait = cap;
        }
    }
    return wait;
}

std::optional<double> LoopTimers::earliestWallTime() const {
    std::optional<double> earliest;
    for (const auto& timer : state_->wallTimers) {
        if (timer->valid && (!earliest || timer->epochSeconds < *earliest)) {
            earliest = timer->epochSeconds;
        }
    }
    return earliest;
}

}  // namespace sh
