// A simulated desktop on a virtual clock. Tests script running applications, window lists,
// notifications, trust answers and observer failures, drive time forward, and read back what
// the core did to panels, observers, timers and registrations.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Desktop.hpp"

namespace sh::sim {

// The main loop on virtual time. Posted tasks run in posting order; delayed tasks and timers
// run when `advance` reaches their time, in time order (ties in scheduling order).
class SimLoop final : public MainLoop, public Application {
  public:
    // Safe from any thread, like the real main queue.
    void post(Task task) override;
    void postDelayed(double delaySeconds, Task task) override;
    std::shared_ptr<Timer> scheduleTimer(double intervalSeconds, bool repeats,
                                         Task action) override;
    std::shared_ptr<Timer> scheduleWallClockTimer(double epochSeconds, Task action) override;
    // The virtual wall clock: it runs with the monotonic clock but can jump apart from it.
    double now() const override { return wallClockOrigin + wallClockOffset_ + uptime_; }

    void setActivationPolicy(ActivationPolicy policy) override { activationPolicy = policy; }
    std::shared_ptr<Activity> beginActivity(const std::string& reason) override;
    // Runs every posted task, without moving the clock.
    void run() override { runPosted(); }
    void terminate() override { terminated = true; }

    // Runs the posted tasks, including those they post, until none is left.
    void runPosted();
    // Moves virtual time forward by `seconds`, running every task and timer that falls due
    // on the way at its own time, and the posted tasks after each of them.
    void advance(double seconds);
    // Sets the wall clock forward (or back, with a negative value) without moving the
    // monotonic clock, as a user or a time service would, then runs what became due.
    void jumpWallClock(double seconds);
    // The machine sleeps for `seconds`: the wall clock moves on, the monotonic clock, which
    // relative timers count, stands still. What became due runs at wake-up.
    void sleepMachine(double seconds) { jumpWallClock(seconds); }
    // Virtual seconds since the loop was made, not counting sleep.
    double uptime() const override { return uptime_; }
    // Timers that are still valid, relative and wall-clock ones alike, and delayed tasks
    // not yet run.
    size_t validTimerCount() const;
    // The times, in seconds since 1970, of the wall-clock timers that are still valid.
    std::vector<double> validWallClockTimerTimes() const;
    size_t pendingDelayedCount() const;
    std::vector<double> validTimerIntervals() const;

    double wallClockOrigin = 1'750'000'000.0;
    std::optional<ActivationPolicy> activationPolicy;
    bool terminated = false;
    // Activities begun (their reasons, in order), how many are held now, and the most ever
    // held at once.
    std::vector<std::string> activityReasons;
    int heldActivities = 0;
    int mostHeldActivities = 0;

  private:
    struct SimTimer;
    struct WallTimer;
    struct Scheduled {
        double due;
        uint64_t sequence;
        Task task;                        // a delayed task, or
        std::shared_ptr<SimTimer> timer;  // a timer firing
    };
    void schedule(double due, Task task, std::shared_ptr<SimTimer> timer);
    bool runNextDue(double until);

    mutable std::mutex postedMutex_;
    std::deque<Task> posted_;
    std::multimap<std::pair<double, uint64_t>, Scheduled> scheduled_;
    std::vector<std::weak_ptr<SimTimer>> timers_;
    std::vector<std::shared_ptr<WallTimer>> wallTimers_;
    uint64_t sequence_ = 0;
    double uptime_ = 0;
    double wallClockOffset_ = 0;
};

// A notification centre that delivers each posted notification to the live registrations
// for its name through the main queue, as the main operation queue would.
class SimNotificationCenter final : public NotificationCenter {
  public:
    explicit SimNotificationCenter(SimLoop& loop) : loop_(loop) {}
    std::shared_ptr<NotificationToken> addObserver(NotificationName name,
                                                   NotificationBlock block) override;
    void removeObserver(const std::shared_ptr<NotificationToken>& token) override;

    void post(const Notification& notification);

    struct Registration {
        NotificationName name;
        NotificationBlock block;
        std::shared_ptr<NotificationToken> token;
        bool removed = false;
    };
    const std::vector<Registration>& registrations() const { return registrations_; }
    size_t liveRegistrationCount() const;

  private:
    SimLoop& loop_;
    std::vector<Registration> registrations_;
};

class SimWorkspace final : public Workspace {
  public:
    explicit SimWorkspace(SimLoop& loop) : center(loop) {}
    std::vector<RunningApplication> runningApplications() override {
        ++runningApplicationsCalls;
        return applications;
    }
    NotificationCenter& notificationCenter() override { return center; }
    std::optional<RunningApplication> frontmostApplication() override {
        ++frontmostCalls;
        return frontmost;
    }

    std::vector<RunningApplication> applications;
    // The active application; an activation posted through the desktop sets it.
    std::optional<RunningApplication> frontmost;
    int frontmostCalls = 0;
    SimNotificationCenter center;
    int runningApplicationsCalls = 0;
};

// What the core did to one panel, and what the simulated window server shows of it. By default
// the server shows every request at once; a test can displace the panel behind the core's back
// or have the server hold requests back, and the panel announces each change to its content.
struct SimPanel final : public Panel, public std::enable_shared_from_this<SimPanel> {
    void setContentView(std::shared_ptr<PanelContent> view,
                        const ContentViewOptions& options) override;
    void setFrame(const Rect& frame, bool display) override;
    void orderWindow(WindowOrderingMode mode, int64_t relativeTo) override;
    void makeKeyWindow() override;
    bool isKeyWindow() override { return isKey && !closed; }
    bool isInPlace() override;
    void close() override;

    // The window server, behind the core's back. Each of these keeps the panel as it leaves
    // it, whatever the core asks, until `confirm`, and announces the change.
    void hideByServer();
    void moveByServer(const Rect& shown);
    // Another window now lies between the panel and the window it covers.
    void lowerByServer();
    void moveToOtherSpace();
    // Requests are held back, unshown, from now until `confirm`; nothing is announced.
    void holdRequests() { serverHolds = true; }
    // The server shows the panel as last asked, from now on at once, and announces it.
    void confirm();

    PanelConfiguration configuration;
    std::shared_ptr<PanelContent> content;
    ContentViewOptions contentOptions;
    // What the core asked for.
    Rect frame;
    bool onScreen = false;
    bool closed = false;
    bool isKey = false;
    std::optional<int64_t> orderedAbove;
    // What the window server shows.
    bool shown = false;
    Rect shownFrame;
    std::optional<int64_t> shownAbove;
    bool onActiveSpace = true;
    bool serverHolds = false;
    int setFrameCalls = 0;
    int orderCalls = 0;
    int makeKeyCalls = 0;
    std::weak_ptr<SimPanel>* keyPanel = nullptr;
    SimLoop* loop = nullptr;

  private:
    void announce();
};

// What the core did to one observer.
struct SimObserverRecord {
    int32_t pid = 0;
    // Every registration asked for, in order, and the names that are registered now.
    std::vector<std::string> notifications;
    std::set<std::string> registered;
    bool attached = false;
    bool released = false;
    AccessibilityCallback callback;
    WindowObserver* observer = nullptr;
};

class SimAccessibility final : public Accessibility {
  public:
    bool isProcessTrusted() override {
        ++trustQueries;
        return trusted;
    }
    bool isProcessTrustedWithOptions(bool prompt) override {
        ++trustQueries;
        if (prompt) {
            ++prompts;
        }
        return trusted;
    }
    std::unique_ptr<WindowObserver> createObserver(int32_t pid,
                                                   AccessibilityCallback callback) override;
    std::optional<UntrustedReason> untrustedReason() override {
        return trusted ? std::nullopt : reason;
    }

    // Delivers a notification to the attached observers of the process that registered it;
    // returns how many.
    int fire(int32_t pid, const std::string& notification);
    std::vector<std::shared_ptr<SimObserverRecord>> liveObservers() const;
    size_t attachedCount() const;

    bool trusted = true;
    // What an untrusted desktop says of why; none, like macOS, unless a test sets one.
    std::optional<UntrustedReason> reason;
    int trustQueries = 0;
    int prompts = 0;
    std::set<int32_t> failingPids;
    int createCalls = 0;
    // The answer to a registration; success when unset. Called with the process, the name and
    // how many times that observer has asked for that name before.
    std::function<AccessibilityError(int32_t pid, const std::string& name, int earlier)>
        registrationResult;
    std::vector<std::shared_ptr<SimObserverRecord>> records;
};

class SimDesktop final : public Desktop {
  public:
    SimDesktop();
    ~SimDesktop() override;

    Application& application() override { return loop; }
    MainLoop& mainLoop() override { return loop; }
    void runInBackground(Task task) override;
    Workspace& workspace() override { return workspaceState; }
    NotificationCenter& defaultCenter() override { return defaultCenterState; }
    std::vector<Rect> screens() override {
        ++screensCalls;
        return screenFrames;
    }
    WindowInfoList copyWindowInfo(uint32_t options, int64_t relativeToWindow) override;
    std::shared_ptr<Panel> createPanel(const PanelConfiguration& configuration) override;
    Accessibility& accessibility() override { return accessibilityState; }

    // Scripting helpers.
    static WindowInfoRecord window(int64_t number, int32_t pid, Rect bounds, int64_t layer = 0,
                                   double alpha = 1.0);
    void postWorkspace(NotificationName name, std::optional<RunningApplication> application = {});
    void postScreenChange();
    std::vector<std::shared_ptr<SimPanel>> openPanels() const;
    std::shared_ptr<SimPanel> keyPanel() const { return keyPanel_.lock(); }

    SimLoop loop;
    SimWorkspace workspaceState{loop};
    SimNotificationCenter defaultCenterState{loop};
    SimAccessibility accessibilityState;
    std::vector<Rect> screenFrames{Rect{0, 0, 1440, 900}};
    WindowInfoList windowList = std::vector<WindowInfoRecord>{};
    int windowListCalls = 0;
    int screensCalls = 0;
    std::optional<std::pair<uint32_t, int64_t>> lastWindowListRequest;
    std::vector<std::shared_ptr<SimPanel>> panels;
    // Panels made from now on start with the window server holding their requests back.
    bool holdsNewPanels = false;

  private:
    std::weak_ptr<SimPanel> keyPanel_;
    std::vector<std::thread> threads_;
};

}  // namespace sh::sim
