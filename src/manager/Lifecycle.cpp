// Construction and teardown of the manager, and the status and access-attempt messages.
#include <cmath>

#include "manager/ShieldManager.hpp"
#include "protocol/Version.hpp"

namespace sh {

std::shared_ptr<ShieldManager>& managerReference() {
    static std::shared_ptr<ShieldManager> reference;
    return reference;
}

ShieldManager::ShieldManager(Desktop& desktop) : desktop_(desktop) {}

std::shared_ptr<ShieldManager> ShieldManager::create(Desktop& desktop) {
    std::shared_ptr<ShieldManager> manager(new ShieldManager(desktop));
    manager->init();
    return manager;
}

void ShieldManager::init() {
    // No Dock icon and no menu bar, but the helper may show windows.
    desktop_.application().setActivationPolicy(ActivationPolicy::accessory);
    managerReference() = shared_from_this();
    installWorkspaceObservers();
    std::weak_ptr<ShieldManager> weak = weak_from_this();
    displayObserver = desktop_.defaultCenter().addObserver(
        NotificationName::applicationDidChangeScreenParameters, [weak](const Notification&) {
            if (auto manager = weak.lock()) {
                manager->scheduleReconcile();
            }
        });
    Message ready = statusPayload("ready", std::nullopt);
    ready["version"] = shieldVersion;
    emit(ready);
}

void ShieldManager::installWorkspaceObservers() {
    static constexpr NotificationName names[] = {
        NotificationName::workspaceDidLaunchApplication,
        NotificationName::workspaceDidTerminateApplication,
        NotificationName::workspaceDidActivateApplication,
        NotificationName::workspaceDidHideApplication,
        NotificationName::workspaceDidUnhideApplication,
        // A Space switch can move the blocked windows away, or back, while the same
        // application stays frontmost, so it asks for a pass like the others.
        NotificationName::workspaceActiveSpaceDidChange,
    };
    NotificationCenter& center = desktop_.workspace().notificationCenter();
    std::vector<std::shared_ptr<NotificationToken>> tokens;
    std::weak_ptr<ShieldManager> weak = weak_from_this();
    for (NotificationName name : names) {
        tokens.push_back(center.addObserver(name, [weak, name](const Notification& notification) {
            if (auto manager = weak.lock()) {
                manager->handleWorkspaceEvent(notification, name);
            }
        }));
    }
    eventObservers = std::move(tokens);
}

ShieldManager::~ShieldManager() {
    clearShields();
    removeAXObservers();
    stopTimer(reconcileTimer);
    stopTimer(deadlineTimer);
    active = false;
    holdActivityWhileActive();
    for (const auto& token : eventObservers) {
        desktop_.workspace().notificationCenter().removeObserver(token);
    }
    if (displayObserver) {
        desktop_.defaultCenter().removeObserver(displayObserver);
    }
}

void ShieldManager::stopTimer(std::shared_ptr<Timer>& timer) {
    if (timer) {
        timer->invalidate();
        timer.reset();
    }
}

Message ShieldManager::statusPayload(std::string_view type,
                                     std::optional<int64_t> requestId) const {
    const char* permission = !permissionChecked  ? "unknown"
                             : permissionGranted ? "granted"
                                                 : "denied";
    int64_t uncovered =
        eligibleWindowCount > coveredWindowCount ? eligibleWindowCount - coveredWindowCount : 0;
    Message message = {
        {"type", type},
        {"watcherRunning", active && permissionGranted},
        {"shieldCount", static_cast<int64_t>(shields.size())},
        {"eligibleWindowCount", eligibleWindowCount},
        {"coveredWindowCount", coveredWindowCount},
        {"uncoveredWindowCount", uncovered},
        {"permission", permission},
    };
    if (requestId) {
        message["requestId"] = *requestId;
    }
    if (active && !permissionGranted) {
        message["error"] = texts::permissionRequired;
    }
    if (permissionChecked && !permissionGranted && untrustedReason) {
        message["reason"] = untrustedReason->code;
    }
    if (coverageError) {
        message["coverageError"] = *coverageError;
    }
    return message;
}

void ShieldManager::emitAttempt(const Target& target) {
    double seconds = desktop_.mainLoop().now();
    // Whole milliseconds, truncated toward zero.
    auto occurredAt = static_cast<int64_t>(std::trunc(seconds * 1000));
    emit({{"type", "accessAttempt"},
          {"targetId", target.id},
          {"appName", target.name},
          {"occurredAt", occurredAt}},
         OutputKind::event);
}

}  // namespace sh
