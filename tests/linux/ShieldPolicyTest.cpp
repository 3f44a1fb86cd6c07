// The limits and decisions behind a shield's corrections on X, walked without a server: what
// a stacking check does, when an unanswered correction gives up, how a frame is judged, and
// how the correction counts run out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/x11/ShieldPolicy.hpp"

namespace sh::x11 {
namespace {

const char* nameOf(StackingAction action) {
    switch (action) {
        case StackingAction::none:
            return "none";
        case StackingAction::restack:
            return "restack";
        case StackingAction::restackRequest:
            return "restackRequest";
        case StackingAction::layerToggle:
            return "layerToggle";
        case StackingAction::fallBack:
            return "fallBack";
        case StackingAction::awaitSettle:
            return "awaitSettle";
    }
    return "?";
}

TEST(ShieldPolicy, StackingChecks) {
    struct Case {
        const char* what;
        StackingFacts facts;
        StackingAction action;
        int corrections;
        std::optional<bool> preferRequests;
    };
    const Case cases[] = {
        {"in place, nothing to do",
         {.managed = true, .inPlace = true},
         StackingAction::none,
         0,
         std::nullopt},
        {"in place after a correction by request: requests go first",
         {.managed = true, .inPlace = true, .corrections = 1, .lastCorrectionByRequest = true},
         StackingAction::none,
         1,
         true},
        {"in place after a layer toggle: toggles go first",
         {.managed = true,
          .inPlace = true,
          .corrections = 2,
          .lastCorrectionByRequest = false,
          .requestsPreferred = true},
         StackingAction::none,
         2,
         false},
        {"a pass that finds it in place forgives",
         {.managed = true, .inPlace = true, .fromPass = true, .corrections = 3},
         StackingAction::none,
         0,
         false},
        {"out of place: the preferred means first (toggle)",
         {.managed = true},
         StackingAction::layerToggle,
         1,
         std::nullopt},
        {"out of place: the preferred means first (request)",
         {.managed = true, .requestsPreferred = true},
         StackingAction::restackRequest,
         1,
         std::nullopt},
        {"the second correction takes the other means",
         {.managed = true, .corrections = 1},
         StackingAction::restackRequest,
         2,
         std::nullopt},
        {"the third goes back to the first",
         {.managed = true, .corrections = 2},
         StackingAction::layerToggle,
         3,
         std::nullopt},
        {"out of corrections: a managed shield falls back",
         {.managed = true, .corrections = 3},
         StackingAction::fallBack,
         3,
         std::nullopt},
        {"a pass that finds it out of place does not forgive a managed shield",
         {.managed = true, .fromPass = true, .corrections = 3},
         StackingAction::fallBack,
         3,
         std::nullopt},
        {"a toggle waits while a burst of restacks starts, and counts no correction",
         {.managed = true, .corrections = 2, .burstStarting = true},
         StackingAction::awaitSettle,
         2,
         std::nullopt},
        {"a request does not wait: it takes no window along",
         {.managed = true, .requestsPreferred = true, .burstStarting = true},
         StackingAction::restackRequest,
         1,
         std::nullopt},
        {"nor does a fallback once the corrections ran out",
         {.managed = true, .corrections = 3, .burstStarting = true},
         StackingAction::fallBack,
         3,
         std::nullopt},
        {"a shield of our own is restacked", {}, StackingAction::restack, 1, std::nullopt},
        {"at once, also as a burst starts",
         {.burstStarting = true},
         StackingAction::restack,
         1,
         std::nullopt},
        {"a shield of our own out of corrections waits",
         {.corrections = 3},
         StackingAction::none,
         3,
         std::nullopt},
        {"a pass forgives a shield of our own out of place",
         {.fromPass = true, .corrections = 3},
         StackingAction::restack,
         1,
         std::nullopt},
        {"unless it was just announced in place: that pass may come of our own restack",
         {.fromPass = true, .announcedInPlace = true, .corrections = 3},
         StackingAction::none,
         3,
         std::nullopt},
    };
    const ShieldPolicy& policy = ShieldPolicy::standard();
    for (const Case& c : cases) {
        StackingDecision decision = policy.decideStacking(c.facts);
        EXPECT_STREQ(nameOf(decision.action), nameOf(c.action)) << c.what;
        EXPECT_EQ(decision.corrections, c.corrections) << c.what;
        EXPECT_EQ(decision.preferRequests, c.preferRequests) << c.what;
    }
}

// A window manager that restacks every shield its own way at once, check after check: a
// managed shield is given up after the bound, however the checks alternate with passes.
TEST(ShieldPolicy, AFightingWindowManagerIsNotFoughtForever) {
    ShieldPolicy policy;
    StackingFacts facts{.managed = true};
    std::vector<std::string> actions;
    for (int check = 0; check < 6; ++check) {
        // Every other check comes of a pass, which finds the shield out of place again.
        facts.fromPass = check % 2 == 1;
        StackingDecision decision = policy.decideStacking(facts);
        actions.push_back(nameOf(decision.action));
        facts.corrections = decision.corrections;
        if (decision.action == StackingAction::fallBack) {
            break;
        }
    }
    EXPECT_EQ(actions, (std::vector<std::string>{"layerToggle", "restackRequest", "layerToggle",
                                                 "fallBack"}));
}

TEST(ShieldPolicy, UnansweredCorrections) {
    ShieldPolicy policy;
    int ignored = 0;
    // The first correction left unanswered is tried again; the second gives up.
    EXPECT_EQ(policy.decideUnanswered(false, ignored), AnswerAction::checkAgain);
    EXPECT_EQ(ignored, 1);
    EXPECT_EQ(policy.decideUnanswered(false, ignored), AnswerAction::fallBack);
    // Found in place, or with nothing to compare, the count starts again.
    for (std::optional<bool> found : {std::optional<bool>(true), std::optional<bool>()}) {
        ignored = 1;
        EXPECT_EQ(policy.decideUnanswered(found, ignored), AnswerAction::none);
        EXPECT_EQ(ignored, 0);
    }
    // The limit is the struct's.
    policy.maximumIgnoredCorrections = 3;
    ignored = 1;
    EXPECT_EQ(policy.decideUnanswered(false, ignored), AnswerAction::checkAgain);
    EXPECT_EQ(policy.decideUnanswered(false, ignored), AnswerAction::fallBack);
}

TEST(ShieldPolicy, Frames) {
    struct Case {
        const char* what;
        ChildGeometry shield;
        ChildGeometry frame;
        FrameJudgement judgement;
    };
    const Case cases[] = {
        {"a frame of the shield's size",
         {0, 0, 320, 240},
         {100, 100, 320, 240},
         FrameJudgement::bare},
        {"a title bar", {0, 24, 320, 240}, {100, 76, 320, 264}, FrameJudgement::decorated},
        {"a border all round", {2, 2, 320, 240}, {98, 98, 324, 244}, FrameJudgement::decorated},
        {"a wider frame with the shield at its origin",
         {0, 0, 320, 240},
         {0, 0, 330, 240},
         FrameJudgement::decorated},
        {"a frame not yet sized (KWin's 1x1)",
         {0, 0, 320, 240},
         {100, 100, 1, 1},
         FrameJudgement::unsized},
        {"narrower only", {0, 0, 320, 240}, {100, 100, 300, 260}, FrameJudgement::unsized},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ShieldPolicy::judgeFrame(c.shield, c.frame), c.judgement) << c.what;
    }
}

TEST(ShieldPolicy, CorrectionCountsRunOut) {
    const ShieldPolicy& policy = ShieldPolicy::standard();
    struct Case {
        const char* what;
        int maximum;
        int allowed;
    };
    const Case cases[] = {
        {"forbidden states", policy.maximumStateReverts, 2},
        {"hidings", policy.maximumHiddenReverts, 2},
        {"geometry", policy.maximumGeometryCorrections, 3},
    };
    for (const Case& c : cases) {
        int count = 0;
        int allowed = 0;
        while (ShieldPolicy::allowCorrection(count, c.maximum) && allowed < 100) {
            ++allowed;
        }
        EXPECT_EQ(allowed, c.allowed) << c.what;
        // Once out, it stays out until the count is reset.
        EXPECT_FALSE(ShieldPolicy::allowCorrection(count, c.maximum)) << c.what;
    }
}

}  // namespace
}  // namespace sh::x11
