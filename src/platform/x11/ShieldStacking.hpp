// Keeping one shield directly above its window in the server's stacking order: measured from
// the root's children, corrected within the bounds of `ShieldPolicy`, with a window of our
// own restacked by the helper and a managed one by asking the window manager.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <optional>

#include "platform/Panel.hpp"
#include "platform/x11/PanelHost.hpp"
#include "platform/x11/ShieldWindow.hpp"

namespace sh::x11 {

// Where the core last ordered a shield, and the root's child that holds the shield.
struct ShieldOrder {
    WindowOrderingMode mode = WindowOrderingMode::out;
    // The covered client and the root's child that holds it.
    xcb_window_t client = XCB_NONE;
    xcb_window_t clientTopLevel = XCB_NONE;
    // Whether we asked for the shield to be shown.
    bool mapped = false;
    // The shield's own top-level: the window manager's frame, or the shield itself; none
    // while the window manager has not shown it.
    xcb_window_t ownTopLevel = XCB_NONE;
};

// What a stacking check leaves to the shield, beyond the requests it made itself.
struct StackingFollowUp {
    // The window manager does not keep a managed shield in place.
    bool fallBack = false;
    // A correction went out: whether the window manager answered it is checked after
    // `ShieldPolicy::answerDelay`, by `answerDue` with this serial.
    std::optional<uint64_t> awaitAnswer;
    // A layer was toggled: whether the covered window took the state on is checked after
    // `ShieldPolicy::settleDelay`.
    bool checkLayerSpread = false;
};

class ShieldStacking {
  public:
    ShieldStacking(PanelHost& host, ShieldWindow& window, const ShieldOrder& order)
        : host_(host), window_(window), order_(order) {}

    // Whether the shield is directly above its window in the server's order, measured again
    // without correcting anything; absent when there is nothing to compare.
    std::optional<bool> measure();
    // As last measured, and nothing asked for since.
    bool inPlace() const { return inPlace_; }
    void forgetMeasurement() { inPlace_ = false; }

    // Restacks a window of our own right above (or below) its window.
    void restack();
    // Whether a window of our own was last restacked relative to `topLevel`.
    bool restackedAbove(xcb_window_t topLevel) const { return restackedAbove_ == topLevel; }
    void restackedAt(xcb_window_t topLevel) { restackedAbove_ = topLevel; }

    // Checks the shield's place and corrects it within the bound. `fromPass` for a check
    // made by one of the core's passes; `announcedInPlace` whether the shield told the core
    // it was in place since the last pass (a pass clears it).
    StackingFollowUp keepInPlace(bool fromPass, bool& announcedInPlace);
    // The moment after the correction `serial`: what the window manager's silence means.
    StackingFollowUp answerDue(uint64_t serial, bool& announcedInPlace);

    // The window manager moved or restacked the shield's top-level.
    void answered() {
        answered_ = true;
        ignored_ = 0;
    }
    // A new cause, the user's or our own (a click, an activation): the window manager's raise
    // in answer to it starts the count of a managed shield's corrections again.
    void forgive();
    // A new window: nothing learnt about the old one counts.
    void reset();
    // The connection went: what was measured went with it.
    void forgetAll();

  private:
    void correctManaged(bool byRequest, StackState clientState);

    PanelHost& host_;
    ShieldWindow& window_;
    const ShieldOrder& order_;
    bool inPlace_ = false;
    // The top-level a window of our own was last restacked above.
    xcb_window_t restackedAbove_ = XCB_NONE;
    // The lowest shown window between the shield and its window, as last measured.
    xcb_window_t lowestBetween_ = XCB_NONE;
    // Corrections asked for since the shield was last seen in place, across passes.
    int corrections_ = 0;
    bool lastCorrectionByRequest_ = false;
    // Whether the window manager moved or restacked the shield's top-level since our last
    // correction, how many corrections in a row it left unanswered, and which correction a
    // check for an answer belongs to.
    bool answered_ = false;
    int ignored_ = 0;
    uint64_t serial_ = 0;
    // A pass asked for a check while the stacking was still settling: the check made once it
    // has settled counts as that pass's.
    bool passDeferred_ = false;
};

}  // namespace sh::x11
