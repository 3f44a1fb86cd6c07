// The accessibility permission, and one window observer per running blocked application.
#include <unordered_set>

#include "manager/ShieldManager.hpp"
#include "protocol/Text.hpp"

namespace sh {

AccessibilityCallback accessibilityCallback(MainLoop& mainLoop) {
    // The callback neither reads nor writes manager state: it defers to the main queue, where
    // the manager is reached through the process-wide reference alone.
    return [&mainLoop](WindowObserver&, const std::string&) {
        mainLoop.post([] {
            if (std::shared_ptr<ShieldManager> manager = managerReference()) {
                manager->scheduleReconcile();
            }
        });
    };
}

void ShieldManager::refreshAccessibility(bool prompt) {
    Accessibility& accessibility = desktop_.accessibility();
    bool trusted =
        prompt ? accessibility.isProcessTrustedWithOptions(true) : accessibility.isProcessTrusted();
    permissionGranted = trusted;
    permissionChecked = true;
    if (active && trusted) {
        installAXObservers();
        reconcile();
        startTimers();
    } else {
        // The block itself stays active, with its targets and deadline; only tracking stops.
        clearShields();
        removeAXObservers();
        stopTimer(reconcileTimer);
    }
}

void ShieldManager::installAXObservers() {
    std::vector<int32_t> running;
    for (const RunningApplication& application : desktop_.workspace().runningApplications()) {
        if (application.bundleIdentifier &&
            targetsByBundleId.contains(lowercased(*application.bundleIdentifier))) {
            running.push_back(application.processIdentifier);
        }
    }
    std::unordered_set<int32_t> runningSet(running.begin(), running.end());
    for (auto entry = observers.begin(); entry != observers.end();) {
        if (runningSet.contains(entry->first)) {
            ++entry;
            continue;
        }
        std::unique_ptr<WindowObserver> observer = std::move(entry->second);
        entry = observers.erase(entry);
        observer->detachFromMainRunLoop();
    }
    for (int32_t pid : running) {
        if (observers.contains(pid)) {
            // Created once per process and reused; its notifications are never added again.
            continue;
        }
        std::unique_ptr<WindowObserver> observer = desktop_.accessibility().createObserver(
            pid, accessibilityCallback(desktop_.mainLoop()));
        if (!observer) {
            // The next installation, at the next pass, tries this process again.
            coverageError = std::string(texts::observerFailed);
            continue;
        }
        for (const char* name : windowNotifications) {
            observer->addNotification(name);
        }
        observer->attachToMainRunLoop();
        observers.emplace(pid, std::move(observer));
    }
}

void ShieldManager::removeAXObservers() {
    auto removing = std::move(observers);
    observers.clear();
    for (auto& [pid, observer] : removing) {
        observer->detachFromMainRunLoop();
    }
}

}  // namespace sh
