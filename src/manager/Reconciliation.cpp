// Reconciliation: one shield per eligible window, exactly over it and directly above it, and
// the coverage figures that the status messages report, counted from what the desktop confirms.
#include <algorithm>
#include <unordered_set>

#include "manager/ShieldManager.hpp"

namespace sh {

Rect ShieldManager::panelFrame(const Rect& bounds) {
    // Window-list rectangles grow downwards from the top of the primary screen; panel frames
    // grow upwards from its bottom.
    std::vector<Rect> screens = desktop_.screens();
    double top = screens.empty() ? 0 : screens.front().maxY();
    double height = bounds.standardHeight();
    return {bounds.minX(), (top - bounds.minY()) - height, bounds.standardWidth(), height};
}

void ShieldManager::reconcile() {
    if (!active || !permissionGranted) {
        return;
    }
    coverageError.reset();
    installAXObservers();
    std::vector<EligibleWindow> windows = snapshots();
    eligibleWindowCount = static_cast<int64_t>(windows.size());

    std::unordered_set<int64_t> numbers;
    numbers.reserve(windows.size());
    for (const EligibleWindow& window : windows) {
        numbers.insert(window.snapshot.number);
    }
    std::vector<int64_t> stale;
    for (const auto& [number, record] : shields) {
        if (!numbers.contains(number)) {
            stale.push_back(number);
        }
    }
    for (int64_t number : stale) {
        std::shared_ptr<ShieldRecord> record = std::move(shields[number]);
        shields.erase(number);
        record->panel->close();
    }

    std::weak_ptr<ShieldManager> weak = weak_from_this();
    double now = desktop_.mainLoop().uptime();
    for (const EligibleWindow& window : windows) {
        Rect frame = panelFrame(window.snapshot.bounds);
        std::shared_ptr<ShieldRecord>& record = shields[window.snapshot.number];
        if (record) {
            record->view->target = window.target;
            record->view->endsAt = endsAt;
            record->panel->setFrame(frame, true);
            if (!(frame == record->requestedFrame)) {
                record->requestedFrame = frame;
                record->placementRequestedAt = now;
            }
        } else {
            // The action keeps the target as it was when the shield was built.
            auto onInteraction = [weak, target = window.target] {
                if (auto manager = weak.lock()) {
                    manager->emitAttempt(target);
                }
            };
            record = makeShield(desktop_, frame, window.target, endsAt, std::move(onInteraction));
            record->placementRequestedAt = now;
            // The desktop saw the shield shown, hidden, moved or restacked: a pass counts it
            // again, and puts it back where it belongs.
            record->view->onPlacementChanged = [weak] {
                if (auto manager = weak.lock()) {
                    manager->scheduleReconcile();
                }
            };
        }
        record->panel->orderWindow(WindowOrderingMode::above, window.snapshot.number);
    }
    // Also right after a shield was built, and at the start of a block: a blocked window that
    // already had the keyboard must not keep it behind its new shield.
    holdKeyboard(windows);

    int64_t covered = 0;
    std::optional<double> settlesAt;
    for (const EligibleWindow& window : windows) {
        auto found = shields.find(window.snapshot.number);
        if (found != shields.end() && found->second &&
            countsAsCovered(*found->second, now, settlesAt)) {
            ++covered;
        }
    }
    coveredWindowCount = covered;
    if (settlesAt) {
        checkPlacementAfter(*settlesAt - now);
    }
    if (coveredWindowCount < eligibleWindowCount && !coverageError) {
        coverageError = std::string(texts::shieldingFailed);
    }
    publishCoverageIfChanged();
}

bool ShieldManager::countsAsCovered(ShieldRecord& record, double now,
                                    std::optional<double>& settlesAt) {
    // A window is covered when the desktop confirms its shield in place: shown, at its frame
    // and directly above it. A shield the pass just built or moved is given a moment for the
    // window server to show it there, so that following a window never reports it uncovered
    // for the time a request takes; once that moment is over, only the confirmation counts.
    if (record.panel->isInPlace()) {
        record.placementRequestedAt.reset();
        return true;
    }
    if (!record.placementRequestedAt) {
        return false;
    }
    double due = *record.placementRequestedAt + timing::placementSettleDelay;
    if (now >= due) {
        record.placementRequestedAt.reset();
        return false;
    }
    settlesAt = settlesAt ? std::min(*settlesAt, due) : due;
    return true;
}

void ShieldManager::checkPlacementAfter(double delay) {
    // One check at a time: it is armed for the earliest shield still settling, and the pass
    // it asks for arms the next one for any shield that settles later.
    if (placementTimer && placementTimer->isValid()) {
        return;
    }
    std::weak_ptr<ShieldManager> weak = weak_from_this();
    placementTimer = desktop_.mainLoop().scheduleTimer(delay, false, [weak] {
        if (auto manager = weak.lock()) {
            manager->stopTimer(manager->placementTimer);
            manager->scheduleReconcile();
        }
    });
}

void ShieldManager::raiseShields(int32_t pid) {
    std::vector<EligibleWindow> windows = snapshots();
    for (const EligibleWindow& window : windows) {
        if (window.snapshot.pid != pid) {
            continue;
        }
        auto found = shields.find(window.snapshot.number);
        if (found == shields.end()) {
            continue;
        }
        // Hold the record: ordering a panel can run platform code.
        std::shared_ptr<ShieldRecord> record = found->second;
        record->panel->orderWindow(WindowOrderingMode::above, window.snapshot.number);
    }
    // The application was just activated: the shield over its front window takes the keys.
    makeTopmostShieldKey(windows, pid);
}

void ShieldManager::holdKeyboard(const std::vector<EligibleWindow>& windows) {
    // Only the desktop's own word on which application is active decides: a shield never
    // takes the keyboard from an application that is not blocked.
    std::optional<RunningApplication> front = desktop_.workspace().frontmostApplication();
    if (front) {
        makeTopmostShieldKey(windows, front->processIdentifier);
    }
}

void ShieldManager::makeTopmostShieldKey(const std::vector<EligibleWindow>& windows, int32_t pid) {
    // The list runs front to back, so the first window of the process is its topmost one;
    // only blocked applications' windows are in it.
    for (const EligibleWindow& window : windows) {
        if (window.snapshot.pid != pid) {
            continue;
        }
        auto found = shields.find(window.snapshot.number);
        if (found == shields.end() || !found->second) {
            continue;
        }
        std::shared_ptr<ShieldRecord> record = found->second;
        // Asking again when it already is key would only disturb the desktop.
        if (!record->panel->isKeyWindow()) {
            record->panel->makeKeyWindow();
        }
        return;
    }
}

void ShieldManager::clearShields() {
    // Take the table first, so a panel that reports back while closing finds it empty.
    auto closing = std::move(shields);
    shields.clear();
    for (auto& [number, record] : closing) {
        record->panel->close();
    }
    eligibleWindowCount = 0;
    coveredWindowCount = 0;
    coverageError.reset();
    // No shield is left to confirm.
    stopTimer(placementTimer);
}

std::string ShieldManager::coverageSignature() const {
    std::string signature;
    signature += active ? "true" : "false";
    signature += '|';
    signature += permissionGranted ? "true" : "false";
    signature += '|';
    signature += std::to_string(eligibleWindowCount);
    signature += '|';
    signature += std::to_string(coveredWindowCount);
    signature += '|';
    signature += coverageError.value_or("");
    return signature;
}

void ShieldManager::publishCoverageIfChanged() {
    std::string signature = coverageSignature();
    if (lastCoverageSignature && *lastCoverageSignature == signature) {
        return;
    }
    lastCoverageSignature = std::move(signature);
    emit(statusPayload("status", std::nullopt), OutputKind::status);
}

}  // namespace sh
