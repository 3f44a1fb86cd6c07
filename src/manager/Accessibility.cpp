// The accessibility permission, and one window observer per running blocked application.
#include <cstddef>
#include <cstdio>
#include <iterator>
#include <unordered_set>

#include "manager/ShieldManager.hpp"
#include "protocol/Text.hpp"

namespace sh {

namespace {

// A registration is done when the notification is registered, was registered before, or will
// never be sent by this application. Any other answer (typically an application still
// launching that cannot complete the request yet) leaves it to be tried again.
bool registrationDone(AccessibilityError result) {
    return result == AccessibilityError::success ||
           result == AccessibilityError::notificationAlreadyRegistered ||
           result == AccessibilityError::notificationUnsupported;
}

std::vector<std::string> allWindowNotifications() {
    std::vector<std::string> names(std::begin(windowNotifications), std::end(windowNotifications));
    names.insert(names.end(), std::begin(windowEndNotifications), std::end(windowEndNotifications));
    return names;
}

}  // namespace

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
    untrustedReason = trusted ? std::nullopt : accessibility.untrustedReason();
    if (untrustedReason && untrustedReason != loggedReason) {
        // Hosts often show nothing of the status but log the helper's standard error: one line
        // says why nothing will be shielded.
        std::fprintf(stderr, "shield-helper: not shielding: %s (%s)\n",
                     untrustedReason->explanation.c_str(), untrustedReason->code.c_str());
        std::fflush(stderr);
    }
    loggedReason = untrustedReason;
    // Every start or update of a block ends here, after a deadline already past has ended it.
    // The activity is held even while the permission is missing: the block still counts.
    holdActivityWhileActive();
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
        pendingNotifications.erase(entry->first);
        entry = observers.erase(entry);
        observer->detachFromMainRunLoop();
    }
    for (int32_t pid : running) {
        if (auto existing = observers.find(pid); existing != observers.end()) {
            // Created once per process and reused; only the registrations that did not go
            // through are made again.
            if (auto pending = pendingNotifications.find(pid);
                pending != pendingNotifications.end()) {
                std::vector<std::string> names = std::move(pending->second);
                pendingNotifications.erase(pending);
                registerNotifications(pid, *existing->second, names);
            }
            continue;
        }
        std::unique_ptr<WindowObserver> observer = desktop_.accessibility().createObserver(
            pid, accessibilityCallback(desktop_.mainLoop()));
        if (!observer) {
            // The next installation, at the next pass, tries this process again.
            coverageError = std::string(texts::observerFailed);
            continue;
        }
        registerNotifications(pid, *observer, allWindowNotifications());
        observer->attachToMainRunLoop();
        observers.emplace(pid, std::move(observer));
    }
}

void ShieldManager::registerNotifications(int32_t pid, WindowObserver& observer,
                                          const std::vector<std::string>& names) {
    // Each registration is a synchronous message to the application. One that is not done
    // usually means the application cannot answer yet (still launching, or busy until the
    // messaging timeout), and asking for the rest now would only wait again; they stay pending
    // for the next installation. The refused name goes last, so that a name the application
    // always refuses never holds back the others.
    for (size_t i = 0; i < names.size(); ++i) {
        if (!registrationDone(observer.addNotification(names[i]))) {
            std::vector<std::string> notDone(names.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                             names.end());
            notDone.push_back(names[i]);
            pendingNotifications[pid] = std::move(notDone);
            return;
        }
    }
}

void ShieldManager::removeAXObservers() {
    auto removing = std::move(observers);
    observers.clear();
    pendingNotifications.clear();
    for (auto& [pid, observer] : removing) {
        observer->detachFromMainRunLoop();
    }
}

}  // namespace sh
