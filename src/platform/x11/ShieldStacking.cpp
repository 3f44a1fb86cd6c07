// Measuring a shield's place in the server's stacking order and putting it back.
#include "platform/x11/ShieldStacking.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/x11/ShieldPolicy.hpp"

namespace sh::x11 {

std::optional<bool> ShieldStacking::measure() {
    inPlace_ = false;
    if (!order_.mapped || order_.mode != WindowOrderingMode::above || order_.client == XCB_NONE ||
        order_.ownTopLevel == XCB_NONE) {
        // Not ordered above a window, or not shown by the window manager yet.
        return std::nullopt;
    }
    // The server's order, not the one the window manager publishes: some publish the order
    // they meant rather than the one they made (IceWM).
    WindowTracker& tracker = host_.tracker();
    std::optional<size_t> self = tracker.rootPosition(order_.ownTopLevel);
    std::optional<size_t> target = tracker.rootPosition(order_.clientTopLevel);
    if (!self || !target) {
        // Being reparented, or the window is gone: nothing to compare.
        return std::nullopt;
    }
    bool inPlace = *self > *target;
    lowestBetween_ = XCB_NONE;
    if (inPlace && *self != *target + 1) {
        // Windows between the two count only when they are shown.
        const std::vector<xcb_window_t>& order = tracker.rootChildren();
        std::vector<xcb_window_t> between(order.begin() + static_cast<std::ptrdiff_t>(*target) + 1,
                                          order.begin() + static_cast<std::ptrdiff_t>(*self));
        std::vector<bool> shown = tracker.rootChildrenMapped(between);
        for (size_t i = 0; i < between.size(); ++i) {
            if (shown[i]) {
                inPlace = false;
                lowestBetween_ = between[i];
                break;
            }
        }
    }
    inPlace_ = inPlace;
    return inPlace;
}

void ShieldStacking::restack() {
    restackedAbove_ = order_.clientTopLevel;
    // Asked for, not yet seen.
    inPlace_ = false;
    window_.restack(order_.clientTopLevel, order_.mode);
}

StackingFollowUp ShieldStacking::keepInPlace(bool fromPass, bool& announcedInPlace) {
    std::optional<bool> measured = measure();
    if (!measured) {
        return {};
    }
    if (host_.deferStackingCheck()) {
        // Corrected if need be once the restacking in progress has settled. A pass that comes
        // in the middle of it (the window shown again, its shield mapped where it was) is not
        // lost: the check then is the pass's own.
        passDeferred_ = passDeferred_ || fromPass;
        return {};
    }
    fromPass = fromPass || std::exchange(passDeferred_, false);
    bool managed = window_.managed();
    StackingDecision decision = ShieldPolicy::standard().decideStacking({
        .managed = managed,
        .inPlace = *measured,
        .fromPass = fromPass,
        .announcedInPlace = announcedInPlace,
        .corrections = corrections_,
        .lastCorrectionByRequest = lastCorrectionByRequest_,
        .requestsPreferred = host_.restackRequestsPreferred(),
        .burstStarting = host_.stackingBurstStarting(),
    });
    if (fromPass) {
        announcedInPlace = false;
    }
    corrections_ = decision.corrections;
    if (decision.preferRequests) {
        host_.preferRestackRequests(*decision.preferRequests);
    }
    StackingFollowUp followUp;
    switch (decision.action) {
        case StackingAction::none:
            break;
        case StackingAction::restack:
            // Something the window manager restacked came between, in a way the events did
            // not show at once.
            restack();
            break;
        case StackingAction::fallBack:
            followUp.fallBack = true;
            break;
        case StackingAction::awaitSettle:
            passDeferred_ = passDeferred_ || fromPass;
            host_.checkStackingOnceSettled();
            break;
        case StackingAction::restackRequest:
        case StackingAction::layerToggle: {
            bool byRequest = decision.action == StackingAction::restackRequest;
            // The server's word: a state the person set a moment ago may be what brought
            // the window over its shield, and the tracker may not have read it yet.
            StackState clientState = byRequest ? host_.tracker().stackStateOf(order_.client)
                                               : host_.tracker().stackStateOnServer(order_.client);
            bool clientAbove = clientState == StackState::keptAbove;
            correctManaged(byRequest, clientState);
            // A window manager that ignores both means (i3, which puts a floating window that
            // does not take the focus at the bottom of its floating windows) restacks nothing
            // in answer, and nothing else would bring the next check before the periodic pass.
            followUp.awaitAnswer = serial_;
            // Some window managers move a transient's whole group between layers: a covered
            // window that was not kept above must not stay so. By then the shield may be
            // gone, as the covered window no longer counted as an ordinary one.
            followUp.checkLayerSpread = !byRequest && !clientAbove;
            break;
        }
    }
    return followUp;
}

void ShieldStacking::correctManaged(bool byRequest, StackState clientState) {
    // Two means, taken in turn while the shield stays out of place, the one last seen to
    // work first. Leaving a state layer and coming back makes most window managers insert the
    // panel again where transients go: directly above the highest window of its parent. Some
    // leave a transient above other windows that way (Metacity, once the shields are mapped
    // again after a desktop switch) but honour a restack request relative to a sibling, which
    // others take for "raise to the top"; the next check sees which. Such a request only
    // moves a window past its sibling: a shield above its window goes right below the lowest
    // window in between, one below it right above it.
    answered_ = false;
    ++serial_;
    lastCorrectionByRequest_ = byRequest;
    if (!byRequest) {
        if (clientState != window_.stackState()) {
            // The window went to another layer and the shield has not followed yet: it
            // follows now, which brings it back over the window as well. A toggle would be
            // wrong there: a window manager that moves a transient's whole group between
            // layers (Fluxbox) would take the window back out of the layer just asked for.
            window_.followLayer(clientState);
            return;
        }
        window_.toggleLayer();
        return;
    }
    xcb_window_t sibling = order_.client;
    uint32_t detail = XCB_STACK_MODE_ABOVE;
    if (lowestBetween_ != XCB_NONE) {
        sibling = host_.tracker().clientOfTopLevel(lowestBetween_).value_or(lowestBetween_);
        detail = XCB_STACK_MODE_BELOW;
    }
    window_.requestRestack(sibling, detail);
}

StackingFollowUp ShieldStacking::answerDue(uint64_t serial, bool& announcedInPlace) {
    if (!window_.managed() || serial != serial_ || answered_) {
        return {};
    }
    std::optional<bool> measured = measure();
    if (measured && !*measured && host_.deferStackingCheck()) {
        // Something is being restacked: the check once it has settled judges.
        return {};
    }
    switch (ShieldPolicy::standard().decideUnanswered(measured, ignored_)) {
        case AnswerAction::none:
            return {};
        case AnswerAction::checkAgain:
            return keepInPlace(false, announcedInPlace);
        case AnswerAction::fallBack: {
            StackingFollowUp followUp;
            followUp.fallBack = true;
            return followUp;
        }
    }
    return {};
}

void ShieldStacking::forgive() {
    // Some window managers raise a transient alone, away from its window, when it is clicked
    // or activated (openbox), and each such raise takes one correction that holds. That is
    // the answer to a new cause, not a window manager with other ideas about where the
    // shield belongs: the count starts again, or a user clicking a shield a few times would
    // see it fall back.
    if (window_.managed()) {
        corrections_ = 0;
    }
}

void ShieldStacking::reset() {
    inPlace_ = false;
    restackedAbove_ = XCB_NONE;
    corrections_ = 0;
    ignored_ = 0;
}

void ShieldStacking::forgetAll() {
    reset();
    lowestBetween_ = XCB_NONE;
    passDeferred_ = false;
}

}  // namespace sh::x11
