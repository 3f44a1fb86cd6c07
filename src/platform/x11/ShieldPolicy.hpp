// How far a shield on X stands up to a window manager with other ideas: every limit and delay
// in one place, and the decisions they feed as pure functions of what was measured, so that
// tests can walk them without a server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace sh::x11 {

// A rectangle as the server reports it for a window: position relative to its parent.
struct ChildGeometry {
    int32_t x = 0;
    int32_t y = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};

// What a window manager's frame around a managed shield says.
enum class FrameJudgement {
    // Of the shield's size with the shield at its origin: the veil lands on its window.
    bare,
    // Larger, or the shield away from its origin: a title bar or a border.
    decorated,
    // Smaller than the shield: not sized yet; its next configuration tells.
    unsized,
};

// What a check of a shield's place in the stacking order asks for.
enum class StackingAction {
    none,
    // A window of our own: restacked right above its window.
    restack,
    // A managed shield: a restack request relative to its window (or the lowest window in
    // between), sent to the window manager.
    restackRequest,
    // A managed shield: out of its state layer and back, which most window managers answer by
    // putting a transient right above its parent again.
    layerToggle,
    // A managed shield: nothing yet, but checked again once the restacking has settled.
    awaitSettle,
    // The window manager does not keep a managed shield in place: it becomes our own.
    fallBack,
};

struct StackingDecision {
    StackingAction action = StackingAction::none;
    // The count of corrections once the action is taken.
    int corrections = 0;
    // Which means to try first from now on (true: restack requests), when that changes.
    std::optional<bool> preferRequests;
};

// What a stacking check knows.
struct StackingFacts {
    bool managed = false;
    bool inPlace = false;
    // The check belongs to one of the core's passes (rather than to a restack event).
    bool fromPass = false;
    // The panel announced to the core that it is in place again since the last pass.
    bool announcedInPlace = false;
    int corrections = 0;
    bool lastCorrectionByRequest = false;
    bool requestsPreferred = false;
    // The check comes of the first batch of a burst of restacks, which may hold only part of
    // what the window manager is doing.
    bool burstStarting = false;
};

// What a check a moment after a managed shield's correction asks for.
enum class AnswerAction { none, checkAgain, fallBack };

class ShieldPolicy {
  public:
    // Order corrections between two sightings of a shield in place; beyond them a managed
    // shield falls back, and one of our own is left until the next pass.
    int maximumCorrections = 3;
    // Corrections of a managed shield in a row that the window manager left without any
    // answer (neither a move nor a restack of its frame).
    int maximumIgnoredCorrections = 2;
    // Moves or resizes of a managed shield that the window manager made of its own accord.
    int maximumGeometryCorrections = 3;
    // Forbidden states (full screen, maximised) asked away in the life of one window.
    int maximumStateReverts = 2;
    // Hidings of a managed shield alone, while its window stays shown.
    int maximumHiddenReverts = 2;
    // Map requests of a managed shield asked again after the window manager left the first
    // unanswered, while its window is shown. A window manager maps a window within
    // milliseconds; one that never does may still hold a stale record of a window of the same
    // id, left by a helper killed while it was being managed (openbox does), and ignores the
    // request for as long as the shield lives.
    int maximumUnansweredMaps = 2;
    // Shields the window manager is given to manage at most. Its work for each window grows
    // with the windows it manages (openbox walks its lists for each request), so that a
    // blocked application with thousands of windows would slow the whole desktop down, and
    // the shields with it; beyond this many, every shield is a window of our own, restacked
    // by the helper.
    size_t maximumManagedShields = 64;
    // How long after a correction a managed shield is looked at again when the window
    // manager sent nothing at all in answer.
    double answerDelay = 0.1;
    // How long after a shield was hidden, or its layer toggled, the outcome is judged: long
    // enough for a window manager to have hidden the window too, or answered both requests.
    double settleDelay = 0.25;
    // How long after a map request a managed shield that is still not shown counts as left
    // unanswered.
    double mapAnswerDelay = 1.0;
    // How quiet the stacking must have been before a burst of restacks counts as over.
    double stackingSettleDelay = 0.05;
    // How long a replaced shield window keeps the keyboard for its successor at most.
    double focusHandoverLimit = 1.0;

    static const ShieldPolicy& standard();

    // Whether a managed shield's frame is one of the window manager's decorations.
    static FrameJudgement judgeFrame(const ChildGeometry& shield, const ChildGeometry& frame);

    // What a check of a shield against the server's stacking order does about it.
    StackingDecision decideStacking(const StackingFacts& facts) const;

    // A moment after a correction the window manager did not answer: whether the shield is
    // in place now (absent: nothing to compare), and how many corrections in a row went
    // unanswered before this one.
    AnswerAction decideUnanswered(std::optional<bool> inPlace, int& ignoredCorrections) const;

    // Counts one more correction (of geometry, of a state, of a hiding) against its limit:
    // true while correcting is still allowed, false once the shield must fall back instead.
    static bool allowCorrection(int& count, int maximum);
};

}  // namespace sh::x11
