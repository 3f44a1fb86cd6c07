// The one controller of a block: the target table, the shields, the window observers, the
// timers, the permission state and the coverage figures, and every decision about them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Desktop.hpp"
#include "protocol/Protocol.hpp"
#include "shield/Shield.hpp"

namespace sh {

// One eligible on-screen window.
struct WindowSnapshot {
    int64_t number = 0;
    int32_t pid = 0;
    // Window-list coordinates: origin at the top-left of the primary screen, y downwards.
    Rect bounds;
};

struct EligibleWindow {
    WindowSnapshot snapshot;
    Target target;
};

namespace timing {
inline constexpr double debounceDelay = 0.04;
inline constexpr double periodicInterval = 4.0;
inline constexpr double postLaunchDelay = 0.6;
inline constexpr double deadlineDivisor = 1000;
// How long a shield just built or moved counts as covered before the desktop confirms it in
// place; a window manager maps and moves a window well within it, even when busy.
inline constexpr double placementSettleDelay = 1.0;
}  // namespace timing

// The seven window notifications every observer registers, in registration order.
inline constexpr const char* windowNotifications[] = {
    "AXMoved",
    "AXResized",
    "AXWindowCreated",
    "AXUIElementDestroyed",
    "AXWindowMiniaturized",
    "AXWindowDeminiaturized",
    "AXFocusedWindowChanged",
};

// Registered after the seven: the window-level notifications sent at the end of a move or a
// resize, in case an application sends those instead of the generic ones.
inline constexpr const char* windowEndNotifications[] = {
    "AXWindowMoved",
    "AXWindowResized",
};

// The reason the block's activity names to the system.
inline constexpr const char* blockActivityReason = "Shielding blocked applications";

class ShieldManager : public std::enable_shared_from_this<ShieldManager> {
  public:
    // Constructs and initialises the manager: accessory policy, `managerReference`, the
    // workspace registrations (five about applications, one about the active Space), the
    // screen registration, then "ready".
    static std::shared_ptr<ShieldManager> create(Desktop& desktop);
    ~ShieldManager();
    ShieldManager(const ShieldManager&) = delete;
    ShieldManager& operator=(const ShieldManager&) = delete;

    // A block's state. Main thread only.
    std::unordered_map<std::string, Target> targetsByBundleId;
    std::unordered_map<int64_t, std::shared_ptr<ShieldRecord>> shields;
    std::map<int32_t, std::unique_ptr<WindowObserver>> observers;
    std::optional<double> endsAt;
    bool active = false;
    bool permissionChecked = false;
    bool permissionGranted = false;
    // Why the permission is withheld, where the desktop says (status carries its code), and
    // the last reason written to standard error, which is written once, not at every check.
    std::optional<UntrustedReason> untrustedReason;
    std::optional<UntrustedReason> loggedReason;
    std::vector<std::shared_ptr<NotificationToken>> eventObservers;
    std::shared_ptr<Timer> reconcileTimer;
    std::shared_ptr<Timer> deadlineTimer;
    std::shared_ptr<NotificationToken> displayObserver;
    bool reconcilePending = false;
    int64_t eligibleWindowCount = 0;
    int64_t coveredWindowCount = 0;
    std::optional<std::string> coverageError;
    std::optional<std::string> lastCoverageSignature;

    // Per observed process, the notifications its observer could not register yet; each
    // installation tries them again. A process without an entry has every one registered.
    std::map<int32_t, std::vector<std::string>> pendingNotifications;
    // Held exactly while a block is active, so that the system never throttles the passes
    // and timers of a helper whose shields happen to be hidden.
    std::shared_ptr<Activity> blockActivity;
    // Armed while a shield counts as covered only because it was just built or moved: when it
    // fires, a pass counts that shield by what the desktop confirms.
    std::shared_ptr<Timer> placementTimer;

    // Commands.
    void handleCommand(Command command);

    // Messages.
    Message statusPayload(std::string_view type, std::optional<int64_t> requestId) const;
    void emitAttempt(const Target& target);

    // Enumeration and reconciliation.
    std::vector<EligibleWindow> snapshots();
    void reconcile();
    void raiseShields(int32_t pid);
    // While a blocked application is the active one, its topmost shield holds the keyboard.
    void holdKeyboard(const std::vector<EligibleWindow>& windows);
    void makeTopmostShieldKey(const std::vector<EligibleWindow>& windows, int32_t pid);
    void clearShields();
    // Whether the shield covers its window: confirmed in place by the desktop, or just built
    // or moved and still within `placementSettleDelay`, whose end is then noted in `settlesAt`.
    bool countsAsCovered(ShieldRecord& record, double now, std::optional<double>& settlesAt);
    void checkPlacementAfter(double delay);
    void publishCoverageIfChanged();
    std::string coverageSignature() const;
    Rect panelFrame(const Rect& windowListBounds);

    // Scheduling.
    void scheduleReconcile();
    void startTimers();
    void scheduleDeadline();
    void expireDeadline();
    // Begins the block's activity when a block is active and none is held, and ends it when
    // no block is active.
    void holdActivityWhileActive();

    // Accessibility.
    void refreshAccessibility(bool prompt);
    void installAXObservers();
    void removeAXObservers();
    // Registers the names on the process's observer in order, up to the first one that is not
    // done; that one and the rest are kept for the next installation.
    void registerNotifications(int32_t pid, WindowObserver& observer,
                               const std::vector<std::string>& names);

    // Workspace events.
    void handleWorkspaceEvent(const Notification& notification, NotificationName registeredName);

    Desktop& desktop() { return desktop_; }

  private:
    explicit ShieldManager(Desktop& desktop);
    void init();
    void installWorkspaceObservers();
    // Back to idle: no block, no end time, no targets, shields, observers or timers. The
    // permission fields and the last published signature stay.
    void endBlock();
    void stopTimer(std::shared_ptr<Timer>& timer);
    std::unordered_map<int32_t, Target> targetsByProcess();

    Desktop& desktop_;
};

// The process-wide strong reference through which the accessibility callback reaches the
// manager. Main thread only.
std::shared_ptr<ShieldManager>& managerReference();

// The observer callback: defers to the main queue, which asks the manager in
// `managerReference` for a debounced pass. It reads no manager state itself.
AccessibilityCallback accessibilityCallback(MainLoop& mainLoop);

}  // namespace sh
