// The simulated desktop: virtual time, scripted desktop facts, and records of every
// operation the core performs.
#include "platform/sim/SimDesktop.hpp"

#include <algorithm>
#include <limits>

namespace sh::sim {

struct SimLoop::SimTimer final : public Timer {
    double interval = 0;
    bool repeats = false;
    bool valid = true;
    Task action;
    void invalidate() override {
        valid = false;
        // Release what the action holds, as a real timer does once invalidated.
        action = nullptr;
    }
    bool isValid() const override { return valid; }
};

struct SimLoop::WallTimer final : public Timer {
    double epochSeconds = 0;
    bool valid = true;
    Task action;
    void invalidate() override {
        valid = false;
        action = nullptr;
    }
    bool isValid() const override { return valid; }
};

void SimLoop::post(Task task) {
    std::lock_guard lock(postedMutex_);
    posted_.push_back(std::move(task));
}

void SimLoop::schedule(double due, Task task, std::shared_ptr<SimTimer> timer) {
    uint64_t sequence = sequence_++;
    scheduled_.emplace(std::make_pair(due, sequence),
                       Scheduled{due, sequence, std::move(task), std::move(timer)});
}

void SimLoop::postDelayed(double delaySeconds, Task task) {
    schedule(uptime_ + std::max(delaySeconds, 0.0), std::move(task), nullptr);
}

std::shared_ptr<Timer> SimLoop::scheduleTimer(double intervalSeconds, bool repeats, Task action) {
    auto timer = std::make_shared<SimTimer>();
    timer->interval = std::max(intervalSeconds, 0.0);
    timer->repeats = repeats;
    timer->action = std::move(action);
    timers_.push_back(timer);
    schedule(uptime_ + timer->interval, nullptr, timer);
    return timer;
}

std::shared_ptr<Timer> SimLoop::scheduleWallClockTimer(double epochSeconds, Task action) {
    auto timer = std::make_shared<WallTimer>();
    timer->epochSeconds = epochSeconds;
    timer->action = std::move(action);
    wallTimers_.push_back(timer);
    return timer;
}

void SimLoop::jumpWallClock(double seconds) {
    runPosted();
    wallClockOffset_ += seconds;
    while (runNextDue(uptime_)) {
    }
    runPosted();
}

namespace {

struct SimActivity final : public Activity {
    explicit SimActivity(SimLoop& loop) : loop(loop) {}
    ~SimActivity() override { end(); }
    void end() override {
        if (held) {
            held = false;
            --loop.heldActivities;
        }
    }
    SimLoop& loop;
    bool held = true;
};

}  // namespace

std::shared_ptr<Activity> SimLoop::beginActivity(const std::string& reason) {
    activityReasons.push_back(reason);
    ++heldActivities;
    mostHeldActivities = std::max(mostHeldActivities, heldActivities);
    return std::make_shared<SimActivity>(*this);
}

void SimLoop::runPosted() {
    for (;;) {
        Task task;
        {
            std::lock_guard lock(postedMutex_);
            if (posted_.empty()) {
                return;
            }
            task = std::move(posted_.front());
            posted_.pop_front();
        }
        task();
    }
}

bool SimLoop::runNextDue(double until) {
    std::erase_if(wallTimers_, [](const auto& timer) { return !timer->valid; });
    // A wall-clock timer is due, in monotonic terms, when the wall clock as it now stands
    // reaches its time; a jump of the wall clock moves that moment.
    auto wall = std::min_element(
        wallTimers_.begin(), wallTimers_.end(),
        [](const auto& a, const auto& b) { return a->epochSeconds < b->epochSeconds; });
    double wallDue = wall == wallTimers_.end()
                         ? std::numeric_limits<double>::infinity()
                         : (*wall)->epochSeconds - (wallClockOrigin + wallClockOffset_);
    double scheduledDue = scheduled_.empty() ? std::numeric_limits<double>::infinity()
                                             : scheduled_.begin()->first.first;
    if (wallDue < scheduledDue && wallDue <= until) {
        std::shared_ptr<WallTimer> timer = *wall;
        uptime_ = std::max(uptime_, wallDue);
        timer->valid = false;
        Task action = std::move(timer->action);
        timer->action = nullptr;
        if (action) {
            action();
        }
        runPosted();
        return true;
    }
    if (scheduled_.empty() || scheduledDue > until) {
        return false;
    }
    auto node = scheduled_.extract(scheduled_.begin());
    Scheduled& item = node.mapped();
    uptime_ = std::max(uptime_, item.due);
    if (item.timer) {
        std::shared_ptr<SimTimer> timer = item.timer;
        if (timer->valid) {
            if (timer->repeats) {
                schedule(item.due + std::max(timer->interval, 1e-4), nullptr, timer);
            } else {
                timer->valid = false;
            }
            // Copy: the action may invalidate its own timer.
            Task action = timer->action;
            if (action) {
                action();
            }
            if (!timer->repeats) {
                timer->action = nullptr;
            }
        }
    } else {
        item.task();
    }
    runPosted();
    return true;
}

void SimLoop::advance(double seconds) {
    runPosted();
    double until = uptime_ + seconds;
    while (runNextDue(until)) {
    }
    uptime_ = until;
    runPosted();
}

size_t SimLoop::validTimerCount() const {
    auto relative = std::count_if(timers_.begin(), timers_.end(), [](const auto& weak) {
        auto timer = weak.lock();
        return timer && timer->valid;
    });
    auto wall = std::count_if(wallTimers_.begin(), wallTimers_.end(),
                              [](const auto& timer) { return timer->valid; });
    return static_cast<size_t>(relative + wall);
}

std::vector<double> SimLoop::validWallClockTimerTimes() const {
    std::vector<double> times;
    for (const auto& timer : wallTimers_) {
        if (timer->valid) {
            times.push_back(timer->epochSeconds);
        }
    }
    return times;
}

std::vector<double> SimLoop::validTimerIntervals() const {
    std::vector<double> intervals;
    for (const auto& weak : timers_) {
        if (auto timer = weak.lock(); timer && timer->valid) {
            intervals.push_back(timer->interval);
        }
    }
    return intervals;
}

size_t SimLoop::pendingDelayedCount() const {
    return static_cast<size_t>(
        std::count_if(scheduled_.begin(), scheduled_.end(),
                      [](const auto& entry) { return !entry.second.timer; }));
}

namespace {
struct SimToken final : public NotificationToken {};
}  // namespace

std::shared_ptr<NotificationToken> SimNotificationCenter::addObserver(NotificationName name,
                                                                      NotificationBlock block) {
    auto token = std::make_shared<SimToken>();
    registrations_.push_back({name, std::move(block), token, false});
    return token;
}

void SimNotificationCenter::removeObserver(const std::shared_ptr<NotificationToken>& token) {
    for (Registration& registration : registrations_) {
        if (registration.token == token && !registration.removed) {
            registration.removed = true;
            // Release the block, and with it whatever it captured.
            registration.block = nullptr;
        }
    }
}

void SimNotificationCenter::post(const Notification& notification) {
    for (size_t i = 0; i < registrations_.size(); ++i) {
        if (registrations_[i].removed || registrations_[i].name != notification.name) {
            continue;
        }
        loop_.post([this, i, notification] {
            // Removed between posting and delivery: nothing is delivered.
            if (!registrations_[i].removed && registrations_[i].block) {
                registrations_[i].block(notification);
            }
        });
    }
}

size_t SimNotificationCenter::liveRegistrationCount() const {
    return static_cast<size_t>(std::count_if(registrations_.begin(), registrations_.end(),
                                             [](const auto& r) { return !r.removed; }));
}

void SimPanel::setContentView(std::shared_ptr<PanelContent> view,
                              const ContentViewOptions& options) {
    content = std::move(view);
    contentOptions = options;
}

void SimPanel::setFrame(const Rect& newFrame, bool) {
    frame = newFrame;
    ++setFrameCalls;
    if (!serverHolds) {
        shownFrame = frame;
    }
}

void SimPanel::orderWindow(WindowOrderingMode mode, int64_t relativeTo) {
    ++orderCalls;
    if (closed) {
        return;
    }
    onScreen = mode != WindowOrderingMode::out;
    orderedAbove = mode == WindowOrderingMode::above ? std::optional(relativeTo) : std::nullopt;
    if (!serverHolds) {
        shown = onScreen;
        shownAbove = orderedAbove;
        // Ordering a panel in shows it on the Space in view.
        onActiveSpace = true;
    }
}

bool SimPanel::isInPlace() {
    return !closed && onScreen && orderedAbove.has_value() && shown && onActiveSpace &&
           shownFrame == frame && shownAbove == orderedAbove;
}

void SimPanel::hideByServer() {
    serverHolds = true;
    shown = false;
    announce();
}

void SimPanel::moveByServer(const Rect& shownAt) {
    serverHolds = true;
    shownFrame = shownAt;
    announce();
}

void SimPanel::lowerByServer() {
    serverHolds = true;
    shownAbove.reset();
    announce();
}

void SimPanel::moveToOtherSpace() {
    serverHolds = true;
    onActiveSpace = false;
    announce();
}

void SimPanel::confirm() {
    serverHolds = false;
    shown = onScreen && !closed;
    shownFrame = frame;
    shownAbove = orderedAbove;
    onActiveSpace = true;
    announce();
}

void SimPanel::announce() {
    // Delivered on the main queue, after the change at hand, as a desktop does.
    std::weak_ptr<SimPanel> weak = weak_from_this();
    if (loop == nullptr) {
        return;
    }
    loop->post([weak] {
        auto panel = weak.lock();
        if (panel && !panel->closed && panel->content) {
            std::shared_ptr<PanelContent> view = panel->content;
            view->placementChanged();
        }
    });
}

void SimPanel::makeKeyWindow() {
    ++makeKeyCalls;
    if (closed || !configuration.canBecomeKeyWindow) {
        return;
    }
    if (keyPanel) {
        if (auto previous = keyPanel->lock()) {
            previous->isKey = false;
        }
        *keyPanel = weak_from_this();
    }
    isKey = true;
}

void SimPanel::close() {
    closed = true;
    onScreen = false;
    isKey = false;
    // A closed window lets go of its content view.
    content.reset();
}

namespace {

class SimObserver final : public WindowObserver {
  public:
    SimObserver(std::shared_ptr<SimObserverRecord> record, SimAccessibility& accessibility)
        : record_(std::move(record)), accessibility_(accessibility) {
        record_->observer = this;
    }
    ~SimObserver() override {
        record_->released = true;
        record_->attached = false;
        record_->observer = nullptr;
        record_->callback = nullptr;
    }
    AccessibilityError addNotification(const std::string& name) override {
        auto earlier = static_cast<int>(
            std::count(record_->notifications.begin(), record_->notifications.end(), name));
        record_->notifications.push_back(name);
        AccessibilityError result =
            accessibility_.registrationResult
                ? accessibility_.registrationResult(record_->pid, name, earlier)
                : AccessibilityError::success;
        if (result == AccessibilityError::success) {
            record_->registered.insert(name);
        }
        return result;
    }
    void attachToMainRunLoop() override { record_->attached = true; }
    void detachFromMainRunLoop() override { record_->attached = false; }

  private:
    std::shared_ptr<SimObserverRecord> record_;
    SimAccessibility& accessibility_;
};

}  // namespace

std::unique_ptr<WindowObserver> SimAccessibility::createObserver(int32_t pid,
                                                                 AccessibilityCallback callback) {
    ++createCalls;
    if (failingPids.contains(pid)) {
        return nullptr;
    }
    auto record = std::make_shared<SimObserverRecord>();
    record->pid = pid;
    record->callback = std::move(callback);
    records.push_back(record);
    return std::make_unique<SimObserver>(record, *this);
}

int SimAccessibility::fire(int32_t pid, const std::string& notification) {
    int delivered = 0;
    for (const auto& record : records) {
        if (record->pid == pid && record->attached && !record->released && record->callback &&
            record->registered.contains(notification)) {
            record->callback(*record->observer, notification);
            ++delivered;
        }
    }
    return delivered;
}

std::vector<std::shared_ptr<SimObserverRecord>> SimAccessibility::liveObservers() const {
    std::vector<std::shared_ptr<SimObserverRecord>> live;
    for (const auto& record : records) {
        if (!record->released) {
            live.push_back(record);
        }
    }
    return live;
}

size_t SimAccessibility::attachedCount() const {
    return static_cast<size_t>(std::count_if(
        records.begin(), records.end(), [](const auto& r) { return r->attached && !r->released; }));
}

SimDesktop::SimDesktop() = default;

SimDesktop::~SimDesktop() {
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

void SimDesktop::runInBackground(Task task) {
    threads_.emplace_back(std::move(task));
}

WindowInfoList SimDesktop::copyWindowInfo(uint32_t options, int64_t relativeToWindow) {
    ++windowListCalls;
    lastWindowListRequest = {options, relativeToWindow};
    return windowList;
}

std::shared_ptr<Panel> SimDesktop::createPanel(const PanelConfiguration& configuration) {
    auto panel = std::make_shared<SimPanel>();
    panel->configuration = configuration;
    panel->frame = configuration.contentRect;
    panel->shownFrame = configuration.contentRect;
    panel->keyPanel = &keyPanel_;
    panel->loop = &loop;
    panel->serverHolds = holdsNewPanels;
    panels.push_back(panel);
    return panel;
}

WindowInfoRecord SimDesktop::window(int64_t number, int32_t pid, Rect bounds, int64_t layer,
                                    double alpha) {
    WindowInfoRecord record;
    record.ownerPID = WindowInfoValue::integer(pid);
    record.number = WindowInfoValue::integer(number);
    record.layer = WindowInfoValue::integer(layer);
    record.alpha = WindowInfoValue::real(alpha);
    record.bounds = WindowInfoValue::rect(bounds);
    return record;
}

void SimDesktop::postWorkspace(NotificationName name, std::optional<RunningApplication> app) {
    // As on a real desktop, the application is already the active one when its activation is
    // announced.
    // The activation also takes the key window away from the helper's panels.
    if (name == NotificationName::workspaceDidActivateApplication) {
        workspaceState.frontmost = app;
        if (auto key = keyPanel_.lock()) {
            key->isKey = false;
        }
        keyPanel_.reset();
    }
    workspaceState.center.post({name, std::move(app)});
}

void SimDesktop::postScreenChange() {
    defaultCenterState.post({NotificationName::applicationDidChangeScreenParameters, {}});
}

std::vector<std::shared_ptr<SimPanel>> SimDesktop::openPanels() const {
    std::vector<std::shared_ptr<SimPanel>> open;
    for (const auto& panel : panels) {
        if (!panel->closed) {
            open.push_back(panel);
        }
    }
    return open;
}

}  // namespace sh::sim
