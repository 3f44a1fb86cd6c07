// The trust query, and the window observers: one per running blocked application.
#include "SimFixture.hpp"

namespace sh::test {
namespace {

class AccessibilityTracking : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        runApp(10, "com.apple.Mail");
        runApp(11, "COM.apple.mail");
        runApp(20, "org.other.App");
        desktop.workspaceState.applications.push_back({std::nullopt, 30});
        setWindows({window(1, 10)});
    }
    std::set<int32_t> observedPids() const {
        std::set<int32_t> pids;
        for (const auto& record : desktop.accessibilityState.liveObservers()) {
            if (record->attached) {
                pids.insert(record->pid);
            }
        }
        return pids;
    }
};

TEST_F(AccessibilityTracking, RefreshWhileIdleQueriesAndStopsTracking) {
    manager->refreshAccessibility(false);
    EXPECT_TRUE(manager->permissionChecked);
    EXPECT_TRUE(manager->permissionGranted);
    EXPECT_EQ(desktop.windowListCalls, 0);
    EXPECT_TRUE(manager->observers.empty());
    EXPECT_FALSE(manager->reconcileTimer);
}

TEST_F(AccessibilityTracking, ObservesEachRunningTargetProcessOnce) {
    startBlock();
    EXPECT_EQ(observedPids(), (std::set<int32_t>{10, 11}));
    for (const auto& record : desktop.accessibilityState.liveObservers()) {
        EXPECT_EQ(record->notifications,
                  (std::vector<std::string>{"AXMoved", "AXResized", "AXWindowCreated",
                                            "AXUIElementDestroyed", "AXWindowMiniaturized",
                                            "AXWindowDeminiaturized", "AXFocusedWindowChanged"}));
    }
    int created = desktop.accessibilityState.createCalls;
    manager->installAXObservers();
    manager->refreshAccessibility(false);
    EXPECT_EQ(desktop.accessibilityState.createCalls, created);
    EXPECT_EQ(desktop.loop.validTimerCount(), 1u);

    // A quit application loses its observer at the next installation.
    desktop.workspaceState.applications.erase(desktop.workspaceState.applications.begin());
    manager->reconcile();
    EXPECT_EQ(observedPids(), (std::set<int32_t>{11}));

    manager->removeAXObservers();
    EXPECT_TRUE(observedPids().empty());
    manager->removeAXObservers();
}

TEST_F(AccessibilityTracking, FailedObserverIsReportedAndRetried) {
    desktop.accessibilityState.failingPids = {11};
    startBlock();
    EXPECT_EQ(observedPids(), (std::set<int32_t>{10}));
    EXPECT_EQ(manager->coverageError,
              "A target application window observer could not be installed.");
    EXPECT_EQ(desktop.openPanels().size(), 1u);

    desktop.accessibilityState.failingPids.clear();
    desktop.loop.advance(4.01);
    EXPECT_EQ(observedPids(), (std::set<int32_t>{10, 11}));
    EXPECT_FALSE(manager->coverageError);
}

TEST_F(AccessibilityTracking, WithdrawnTrustStopsTrackingButKeepsTheBlock) {
    startBlock(R"(,"endsAt":)" + std::to_string(nowMs() + 60000));
    desktop.accessibilityState.trusted = false;
    auto replies = send(R"({"command":"permission-status"})");
    EXPECT_TRUE(desktop.openPanels().empty());
    EXPECT_TRUE(observedPids().empty());
    EXPECT_FALSE(manager->reconcileTimer);
    EXPECT_TRUE(manager->active);
    EXPECT_TRUE(manager->endsAt);
    EXPECT_TRUE(manager->deadlineTimer);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0]["watcherRunning"], false);
    EXPECT_EQ(replies[0]["permission"], "denied");
    EXPECT_TRUE(replies[0].contains("error"));
}

TEST_F(AccessibilityTracking, NotificationsBecomeOneDebouncedPass) {
    startBlock();
    int before = desktop.windowListCalls;
    for (const char* name : windowNotifications) {
        EXPECT_EQ(desktop.accessibilityState.fire(10, name), 1);
    }
    desktop.accessibilityState.fire(11, "AXMoved");
    desktop.loop.runPosted();
    EXPECT_TRUE(manager->reconcilePending);
    desktop.loop.advance(0.05);
    EXPECT_EQ(desktop.windowListCalls, before + 1);

    // Reached only through the process-wide reference.
    managerReference().reset();
    desktop.accessibilityState.fire(10, "AXMoved");
    desktop.loop.runPosted();
    EXPECT_FALSE(manager->reconcilePending);
}

}  // namespace
}  // namespace sh::test
