// When passes run and when a block ends by itself: the debounce, the periodic timer and the
// deadline.
#include "manager/ShieldManager.hpp"

namespace sh {

void ShieldManager::scheduleReconcile() {
    if (!active || !permissionGranted) {
        return;
    }
    if (reconcilePending) {
        // A pass is already queued; this request joins it.
        return;
    }
    reconcilePending = true;
    std::weak_ptr<ShieldManager> weak = weak_from_this();
    desktop_.mainLoop().postDelayed(timing::debounceDelay, [weak] {
        if (auto manager = weak.lock()) {
            manager->reconcilePending = false;
            manager->reconcile();
        }
    });
}

void ShieldManager::startTimers() {
    if (reconcileTimer) {
        return;
    }
    std::weak_ptr<ShieldManager> weak = weak_from_this();
    // Periodic passes bypass the debounce, so shields catch up even when no event arrives.
    reconcileTimer = desktop_.mainLoop().scheduleTimer(timing::periodicInterval, true, [weak] {
        if (auto manager = weak.lock()) {
            manager->reconcile();
        }
    });
}

void ShieldManager::holdActivityWhileActive() {
    if (active && !blockActivity) {
        blockActivity = desktop_.application().beginActivity(blockActivityReason);
    } else if (!active && blockActivity) {
        std::shared_ptr<Activity> ending = std::move(blockActivity);
        blockActivity.reset();
        ending->end();
    }
}

void ShieldManager::scheduleDeadline() {
    stopTimer(deadlineTimer);
    if (!active || !endsAt) {
        return;
    }
    double endSeconds = *endsAt / timing::deadlineDivisor;
    double remaining = endSeconds - desktop_.mainLoop().now();
    // Zero, negative and NaN all mean the end time is not in the future.
    if (!(remaining > 0)) {
        expireDeadline();
        return;
    }
    // The block ends when the wall clock reaches the end time, even when the machine sleeps
    // through it or the clock is set forward past it; a relative timer would end it late by
    // the time slept.
    std::weak_ptr<ShieldManager> weak = weak_from_this();
    deadlineTimer = desktop_.mainLoop().scheduleWallClockTimer(endSeconds, [weak] {
        if (auto manager = weak.lock()) {
            manager->expireDeadline();
        }
    });
}

void ShieldManager::endBlock() {
    active = false;
    endsAt.reset();
    targetsByBundleId.clear();
    clearShields();
    removeAXObservers();
    stopTimer(reconcileTimer);
    stopTimer(deadlineTimer);
    holdActivityWhileActive();
}

void ShieldManager::expireDeadline() {
    // Ends the block as "stop" does, but publishes the change instead of replying.
    endBlock();
    publishCoverageIfChanged();
}

}  // namespace sh
