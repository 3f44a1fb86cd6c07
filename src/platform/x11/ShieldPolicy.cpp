// The decisions behind a shield's corrections on X, apart from any server.
#include "platform/x11/ShieldPolicy.hpp"

namespace sh::x11 {

const ShieldPolicy& ShieldPolicy::standard() {
    static const ShieldPolicy policy;
    return policy;
}

FrameJudgement ShieldPolicy::judgeFrame(const ChildGeometry& shield, const ChildGeometry& frame) {
    // A frame smaller than the window it holds is one the window manager has not sized yet
    // (KWin, now and then, as it maps a shield made again after a lost connection).
    if (frame.width < shield.width || frame.height < shield.height) {
        return FrameJudgement::unsized;
    }
    // A reparenting window manager puts an undecorated window at the origin of a frame of
    // its own size; anything more is a title bar or a border.
    bool bare = shield.x == 0 && shield.y == 0 && frame.width == shield.width &&
                frame.height == shield.height;
    return bare ? FrameJudgement::bare : FrameJudgement::decorated;
}

StackingDecision ShieldPolicy::decideStacking(const StackingFacts& facts) const {
    StackingDecision decision;
    int corrections = facts.corrections;
    // Only a pass forgives earlier corrections, whether or not they worked: a window manager
    // that answers each of our restacks with one of its own is in place for a moment every
    // other batch, and the bound must hold across those. Passes come from the core's own
    // schedule; the one that follows our own announcement that the panel is in place again
    // may come of a restack of ours, and forgives only when it finds the panel in place.
    bool forgive = facts.inPlace || (!facts.managed && !facts.announcedInPlace);
    bool corrected = corrections > 0;
    if (facts.fromPass && forgive) {
        corrections = 0;
    }
    decision.corrections = corrections;
    if (facts.inPlace) {
        if (facts.managed && corrected) {
            // The last means tried worked: it goes first from now on.
            decision.preferRequests = facts.lastCorrectionByRequest;
        }
        return decision;
    }
    if (!facts.managed) {
        // Bounded too: a window manager that answers every restack with one of its own is not
        // fought forever; the next time the shield is seen in place resets it.
        if (corrections < maximumCorrections) {
            decision.action = StackingAction::restack;
            decision.corrections = corrections + 1;
        }
        return decision;
    }
    if (corrections >= maximumCorrections) {
        decision.action = StackingAction::fallBack;
        return decision;
    }
    // Two means, taken in turn while the shield stays out of place, the one last seen to
    // work first.
    bool byRequest = facts.requestsPreferred != (corrections % 2 == 1);
    if (!byRequest && facts.burstStarting) {
        // A window manager that moves a transient's whole group between layers (Fluxbox)
        // moves the window first and the shield after it; a toggle in between would take the
        // window along, out of the layer the person just asked for. Once the burst has
        // settled, the shield is either where it belongs or still out of place.
        decision.action = StackingAction::awaitSettle;
        return decision;
    }
    decision.action = byRequest ? StackingAction::restackRequest : StackingAction::layerToggle;
    decision.corrections = corrections + 1;
    return decision;
}

AnswerAction ShieldPolicy::decideUnanswered(std::optional<bool> inPlace,
                                            int& ignoredCorrections) const {
    if (!inPlace || *inPlace) {
        ignoredCorrections = 0;
        return AnswerAction::none;
    }
    // Where both means go unanswered, the shield becomes a window of our own.
    if (++ignoredCorrections >= maximumIgnoredCorrections) {
        return AnswerAction::fallBack;
    }
    return AnswerAction::checkAgain;
}

bool ShieldPolicy::allowCorrection(int& count, int maximum) {
    return count++ < maximum;
}

}  // namespace sh::x11
