// Reconciliation passes: shields placed, moved, closed and counted; coverage published.
#include "SimFixture.hpp"

namespace sh::test {
namespace {

class Reconciliation : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        desktop.screenFrames = {{0, 0, 1440, 900}};
        runApp(10, "com.apple.Mail");
        runApp(20, "com.apple.Notes");
    }
    void activate() {
        manager->targetsByBundleId = {{"com.apple.mail", {"t1", "Mail", "com.apple.Mail"}},
                                      {"com.apple.notes", {"t2", "Notes", "com.apple.Notes"}}};
        manager->active = true;
        manager->permissionGranted = true;
        manager->permissionChecked = true;
    }
};

TEST_F(Reconciliation, NothingHappensWhileInactiveOrUnpermitted) {
    setWindows({window(1, 10)});
    activate();
    manager->reconcile();
    ASSERT_EQ(desktop.openPanels().size(), 1u);
    for (auto [active, granted] : {std::pair{false, true}, std::pair{true, false}}) {
        manager->active = active;
        manager->permissionGranted = granted;
        setWindows({});
        int calls = desktop.windowListCalls;
        EXPECT_TRUE(pass().empty());
        EXPECT_EQ(desktop.windowListCalls, calls);
        EXPECT_EQ(desktop.openPanels().size(), 1u);
        EXPECT_EQ(manager->eligibleWindowCount, 1);
    }
}

TEST_F(Reconciliation, FirstPassCoversEveryWindowAndPublishesOnce) {
    setWindows(
        {window(1, 10, {100, 50, 800, 600}), window(2, 20, {0, 0, 300, 200}), window(3, 30)});
    activate();
    auto written = pass();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0], json::parse(R"({"type":"status","watcherRunning":true,"shieldCount":2,
        "eligibleWindowCount":2,"coveredWindowCount":2,"uncoveredWindowCount":0,
        "permission":"granted"})"));
    EXPECT_EQ(manager->coverageSignature(), "true|true|2|2|");

    auto first = panelOf(1);
    EXPECT_EQ(first->frame, (Rect{100, 250, 800, 600}));
    EXPECT_TRUE(first->onScreen);
    EXPECT_EQ(first->orderedAbove, 1);
    EXPECT_FALSE(first->isKey);
    EXPECT_EQ(panelOf(2)->orderedAbove, 2);
    auto view = std::static_pointer_cast<ShieldView>(first->content);
    EXPECT_EQ(view->target.name, "Mail");

    // An identical pass writes nothing but orders every shield again.
    EXPECT_TRUE(pass().empty());
    EXPECT_EQ(first->orderCalls, 2);
    EXPECT_EQ(desktop.panels.size(), 2u);
}

TEST_F(Reconciliation, FrameConversion) {
    struct Case {
        std::vector<Rect> screens;
        Rect bounds;
        Rect frame;
    } cases[] = {
        {{{0, 0, 1440, 900}}, {100, 50, 800, 600}, {100, 250, 800, 600}},
        {{{0, 0, 1440, 900}}, {100, -1000, 800, 600}, {100, 1300, 800, 600}},
        {{{0, 0, 1440, 900}, {1440, 0, 1920, 1200}}, {1500, 10, 100, 100}, {1500, 790, 100, 100}},
        {{}, {100, 50, 800, 600}, {100, -650, 800, 600}},
    };
    for (const auto& c : cases) {
        desktop.screenFrames = c.screens;
        EXPECT_EQ(manager->panelFrame(c.bounds), c.frame);
    }
}

TEST_F(Reconciliation, MovedWindowKeepsItsShieldAndClosedWindowLosesIt) {
    setWindows({window(1, 10, {100, 50, 800, 600}), window(2, 10)});
    activate();
    pass();
    auto moved = panelOf(1);
    auto closing = panelOf(2);

    setWindows({window(1, 10, {300, 60, 500, 400})});
    auto written = pass();
    EXPECT_EQ(panelOf(1), moved);
    EXPECT_EQ(moved->frame, (Rect{300, 440, 500, 400}));
    EXPECT_EQ(moved->setFrameCalls, 1);
    EXPECT_TRUE(closing->closed);
    EXPECT_EQ(manager->shields.size(), 1u);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0]["eligibleWindowCount"], 1);
    EXPECT_EQ(desktop.panels.size(), 2u);
}

TEST_F(Reconciliation, EnumerationFailureClosesEveryShield) {
    setWindows({window(1, 10), window(2, 20)});
    activate();
    pass();
    desktop.windowList = std::nullopt;
    auto written = pass();
    EXPECT_TRUE(desktop.openPanels().empty());
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0]["eligibleWindowCount"], 0);
    EXPECT_EQ(written[0]["coveredWindowCount"], 0);
    EXPECT_EQ(written[0]["coverageError"], "Eligible target windows could not be enumerated.");
    // The same failure again publishes nothing; recovery clears the error and publishes.
    EXPECT_TRUE(pass().empty());
    setWindows({window(1, 10)});
    written = pass();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_FALSE(written[0].contains("coverageError"));
}

TEST_F(Reconciliation, ObserverFailureIsReportedWhileShieldsArePlaced) {
    desktop.accessibilityState.failingPids = {20};
    setWindows({window(1, 10), window(2, 20)});
    activate();
    auto written = pass();
    EXPECT_EQ(desktop.openPanels().size(), 2u);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0]["coveredWindowCount"], 2);
    EXPECT_EQ(written[0]["coverageError"],
              "A target application window observer could not be installed.");
}

TEST_F(Reconciliation, RetargetedShieldShowsTheNewNameButReportsTheCapturedTarget) {
    setWindows({window(1, 10)});
    activate();
    manager->endsAt = 5000;
    pass();
    manager->targetsByBundleId.at("com.apple.mail") = {"t1-new", "Mail 2", "com.apple.Mail"};
    manager->endsAt = 9000;
    pass();
    auto view = std::static_pointer_cast<ShieldView>(panelOf(1)->content);
    EXPECT_EQ(view->target.name, "Mail 2");
    EXPECT_EQ(view->endsAt, 9000);
    EXPECT_EQ(view->draw({0, 0, 800, 600}).texts.at(0).text, "Mail 2 is unavailable");

    takeMessages();
    view->mouseDown();
    auto attempts = ofType(takeMessages(), "accessAttempt");
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_EQ(attempts[0]["targetId"], "t1");
    EXPECT_EQ(attempts[0]["appName"], "Mail");
    EXPECT_TRUE(panelOf(1)->isKey);
}

TEST_F(Reconciliation, CloseRequestOnAKeyShieldIsAnAttemptAndChangesNothing) {
    setWindows({window(1, 10)});
    activate();
    pass();
    std::shared_ptr<sim::SimPanel> panel = panelOf(1);
    auto view = std::static_pointer_cast<ShieldView>(panel->content);
    view->mouseDown();
    ASSERT_TRUE(panel->isKey);
    takeMessages();

    view->closeRequested();
    auto attempts = ofType(takeMessages(), "accessAttempt");
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_EQ(attempts[0]["targetId"], "t1");
    EXPECT_FALSE(panel->closed);
    EXPECT_TRUE(panel->onScreen);
    EXPECT_TRUE(panel->isKey);
    pass();
    EXPECT_EQ(panelOf(1), panel);
}

TEST_F(Reconciliation, AccessAttemptTruncatesToWholeMilliseconds) {
    desktop.loop.wallClockOrigin = 1'700'000'000.9996;
    takeMessages();
    manager->emitAttempt({"i", "N", std::nullopt});
    auto written = takeMessages();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0], json::parse(R"({"type":"accessAttempt","targetId":"i","appName":"N",
        "occurredAt":1700000000999})"));
}

TEST_F(Reconciliation, RaiseShieldsOrdersAndKeysOnlyThatProcess) {
    setWindows({window(1, 10), window(2, 20), window(3, 10)});
    activate();
    pass();
    int before2 = panelOf(2)->orderCalls;
    manager->raiseShields(10);
    EXPECT_EQ(panelOf(1)->orderCalls, 2);
    EXPECT_EQ(panelOf(3)->orderCalls, 2);
    EXPECT_EQ(panelOf(2)->orderCalls, before2);
    // The shield over the application's front window takes the keys; the others are not
    // made key on the way.
    EXPECT_EQ(desktop.keyPanel(), panelOf(1));
    EXPECT_EQ(panelOf(3)->makeKeyCalls, 0);
    EXPECT_TRUE(takeMessages().empty());

    manager->raiseShields(99);
    EXPECT_EQ(desktop.keyPanel(), panelOf(1));
}

TEST_F(Reconciliation, ExpiryPublishesOnceWithZeroCounts) {
    setWindows({window(1, 10)});
    activate();
    pass();
    manager->expireDeadline();
    auto written = takeMessages();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0]["watcherRunning"], false);
    EXPECT_EQ(written[0]["eligibleWindowCount"], 0);
    EXPECT_EQ(written[0]["shieldCount"], 0);
    manager->expireDeadline();
    EXPECT_TRUE(takeMessages().empty());
}

}  // namespace
}  // namespace sh::test
