// Applications launching, quitting, coming to the front, hiding and reappearing.
#include "manager/ShieldManager.hpp"
#include "protocol/Text.hpp"

namespace sh {

void ShieldManager::handleWorkspaceEvent(const Notification& notification,
                                         NotificationName registeredName) {
    // The registered name decides, not the one the notification carries.
    if (registeredName == NotificationName::workspaceDidActivateApplication &&
        notification.application && notification.application->bundleIdentifier) {
        auto found =
            targetsByBundleId.find(lowercased(*notification.application->bundleIdentifier));
        if (found != targetsByBundleId.end()) {
            // Copy: emitting must not depend on the table staying as it is.
            Target target = found->second;
            emitAttempt(target);
            raiseShields(notification.application->processIdentifier);
        }
    }
    scheduleReconcile();
    if (registeredName == NotificationName::workspaceDidLaunchApplication ||
        registeredName == NotificationName::workspaceDidUnhideApplication) {
        // The application's windows may appear only after the first pass.
        std::weak_ptr<ShieldManager> weak = weak_from_this();
        desktop_.mainLoop().postDelayed(timing::postLaunchDelay, [weak] {
            if (auto manager = weak.lock()) {
                manager->scheduleReconcile();
            }
        });
    }
}

}  // namespace sh
