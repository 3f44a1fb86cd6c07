// Coverage counted from what the desktop confirms: a shield the window server hides, moves,
// lowers or shows on another Space leaves its window uncovered until it is back in place, and
// a shield just built or moved is given a moment to be shown before it counts against.
#include "SimFixture.hpp"

namespace sh::test {
namespace {

class Placement : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        runApp(10, "com.apple.Mail");
        manager->targetsByBundleId = {{"com.apple.mail", {"t1", "Mail", "com.apple.Mail"}}};
        manager->active = true;
        manager->permissionGranted = true;
        manager->permissionChecked = true;
    }
    // Lets what the desktop announced run, then virtual time pass; returns what was written.
    std::vector<json> after(double seconds) {
        takeMessages();
        desktop.loop.runPosted();
        desktop.loop.advance(seconds);
        return takeMessages();
    }
    static void expectCounts(const json& status, int covered, int uncovered) {
        EXPECT_EQ(status["eligibleWindowCount"], covered + uncovered) << status;
        EXPECT_EQ(status["coveredWindowCount"], covered) << status;
        EXPECT_EQ(status["uncoveredWindowCount"], uncovered) << status;
        if (uncovered > 0) {
            EXPECT_EQ(status["coverageError"], texts::shieldingFailed) << status;
        } else {
            EXPECT_FALSE(status.contains("coverageError")) << status;
        }
    }
};

TEST_F(Placement, DisplacedShieldIsUncoveredUntilTheDesktopShowsItBack) {
    struct Case {
        const char* name;
        std::function<void(sim::SimPanel&)> displace;
    } cases[] = {
        {"hidden by the desktop", [](sim::SimPanel& p) { p.hideByServer(); }},
        {"moved off its frame",
         [](sim::SimPanel& p) {
             p.moveByServer({0, 0, 400, 300});
         }},
        {"below its window", [](sim::SimPanel& p) { p.lowerByServer(); }},
        {"on another Space", [](sim::SimPanel& p) { p.moveToOtherSpace(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        setWindows({window(1, 10), window(2, 10, {100, 700, 300, 200})});
        manager->clearShields();
        pass();
        auto displaced = panelOf(1);
        ASSERT_TRUE(displaced->isInPlace());
        int orders = displaced->orderCalls;

        // The desktop's word alone brings a pass, which reports the window uncovered once and
        // asks for the shield's place again.
        c.displace(*displaced);
        auto written = after(timing::debounceDelay);
        ASSERT_EQ(written.size(), 1u);
        expectCounts(written[0], 1, 1);
        EXPECT_EQ(displaced->orderCalls, orders + 1);

        // Passes while it stays out of place change nothing and publish nothing.
        EXPECT_TRUE(after(3 * timing::periodicInterval).empty());
        EXPECT_TRUE(pass().empty());

        // Shown back in place: one status, and quiet again.
        displaced->confirm();
        written = after(timing::debounceDelay);
        ASSERT_EQ(written.size(), 1u);
        expectCounts(written[0], 2, 0);
        EXPECT_TRUE(after(3 * timing::periodicInterval).empty());
    }
}

TEST_F(Placement, ShieldNotYetShownCountsCoveredForAMoment) {
    struct Case {
        const char* name;
        // Whether the shield is moved after it was first shown, rather than just built.
        bool moved;
        // When the window server shows it, in seconds after the pass; none: never.
        std::optional<double> confirmedAfter;
    } cases[] = {
        {"built, shown soon", false, 0.3},
        {"built, shown late", false, 2.5},
        {"built, never shown", false, std::nullopt},
        {"moved, shown soon", true, 0.3},
        {"moved, shown late", true, 2.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        manager->clearShields();
        manager->lastCoverageSignature.reset();
        setWindows({window(1, 10)});
        if (c.moved) {
            pass();
            panelOf(1)->holdRequests();
            setWindows({window(1, 10, {300, 60, 500, 400})});
        }
        desktop.holdsNewPanels = !c.moved;
        auto written = pass();
        auto panel = panelOf(1);
        ASSERT_FALSE(panel->isInPlace());
        // Counted covered meanwhile: no error, whatever the first pass published.
        for (const json& status : written) {
            expectCounts(status, 1, 0);
        }

        std::vector<json> later;
        double settle = timing::placementSettleDelay + timing::debounceDelay;
        if (c.confirmedAfter) {
            auto before = after(*c.confirmedAfter);
            later.insert(later.end(), before.begin(), before.end());
            panel->confirm();
        }
        auto rest = after(settle + 2 * timing::periodicInterval);
        later.insert(later.end(), rest.begin(), rest.end());

        bool late = !c.confirmedAfter || *c.confirmedAfter > timing::placementSettleDelay;
        if (!late) {
            EXPECT_TRUE(later.empty());
        } else if (!c.confirmedAfter) {
            // Reported once the moment is over, and not again.
            ASSERT_EQ(later.size(), 1u);
            expectCounts(later[0], 0, 1);
        } else {
            // Reported once the moment is over, then covered again when it is shown.
            ASSERT_EQ(later.size(), 2u);
            expectCounts(later[0], 0, 1);
            expectCounts(later[1], 1, 0);
        }
        // No check is left armed once every shield is confirmed or counted.
        EXPECT_FALSE(manager->placementTimer && manager->placementTimer->isValid());
    }
}

TEST_F(Placement, FollowingAMovingWindowNeverReportsItUncovered) {
    setWindows({window(1, 10)});
    pass();
    auto panel = panelOf(1);
    panel->holdRequests();
    // The window moves every 50 ms for two seconds; the server shows each frame a little
    // later than it is asked for.
    for (int step = 1; step <= 40; ++step) {
        setWindows({window(1, 10, {100.0 + step * 5, 50, 800, 600})});
        EXPECT_TRUE(pass().empty()) << step;
        EXPECT_TRUE(after(0.05).empty()) << step;
    }
    panel->confirm();
    EXPECT_TRUE(after(timing::placementSettleDelay + 1).empty());
    EXPECT_TRUE(panel->isInPlace());
}

TEST_F(Placement, StopLeavesNoCheckArmed) {
    setWindows({window(1, 10)});
    manager->reconcile();
    panelOf(1)->holdRequests();
    setWindows({window(1, 10, {300, 60, 500, 400})});
    manager->reconcile();
    ASSERT_TRUE(manager->placementTimer && manager->placementTimer->isValid());
    send(R"({"command":"stop"})");
    EXPECT_EQ(desktop.loop.validTimerCount(), 0u);
}

}  // namespace
}  // namespace sh::test
