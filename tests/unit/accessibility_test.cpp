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
                                            "AXWindowDeminiaturized", "AXFocusedWindowChanged",
                                            "AXWindowMoved", "AXWindowResized"}));
    }
    EXPECT_TRUE(manager->pendingNotifications.empty());
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

TEST_F(AccessibilityTracking, AReasonForWithheldTrustIsInStatusAndLoggedOnce) {
    desktop.accessibilityState.trusted = false;
    // Without a reason (the user's permission to grant), status has none.
    auto replies = send(R"({"command":"permission-status"})");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_FALSE(replies[0].contains("reason"));

    desktop.accessibilityState.reason = UntrustedReason{"no-display", "no display"};
    testing::internal::CaptureStderr();
    replies = send(R"({"command":"permission-status"})");
    send(R"({"command":"permission-status"})");
    std::string logged = testing::internal::GetCapturedStderr();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0]["permission"], "denied");
    EXPECT_EQ(replies[0]["reason"], "no-display");
    EXPECT_EQ(logged, "shield-helper: not shielding: no display (no-display)\n");

    // Granted, the reason goes; withheld again for another reason, that one is logged.
    desktop.accessibilityState.trusted = true;
    replies = send(R"({"command":"permission-status"})");
    EXPECT_FALSE(replies[0].contains("reason"));
    desktop.accessibilityState.trusted = false;
    desktop.accessibilityState.reason = UntrustedReason{"xwayland", "an XWayland display"};
    testing::internal::CaptureStderr();
    replies = send(R"({"command":"permission-status"})");
    logged = testing::internal::GetCapturedStderr();
    EXPECT_EQ(replies[0]["reason"], "xwayland");
    EXPECT_EQ(logged, "shield-helper: not shielding: an XWayland display (xwayland)\n");
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

// An application still launching cannot take registrations yet: they stay pending, are made
// again at each pass (one unanswered request per pass, since each may wait for the messaging
// timeout) until they go through, and from then on its moves are followed within the debounce.
TEST_F(AccessibilityTracking, RegistrationsRefusedAtLaunchAreMadeAgainUntilDone) {
    desktop.accessibilityState.registrationResult = [this](int32_t pid, const std::string&, int) {
        return pid == 10 && desktop.loop.uptime() < 6 ? AccessibilityError::cannotComplete
                                                      : AccessibilityError::success;
    };
    startBlock();
    ASSERT_EQ(manager->pendingNotifications.count(10), 1u);
    EXPECT_EQ(manager->pendingNotifications.at(10).size(), 9u);
    EXPECT_FALSE(manager->pendingNotifications.contains(11));
    EXPECT_EQ(observedPids(), (std::set<int32_t>{10, 11}));
    EXPECT_EQ(desktop.accessibilityState.fire(10, "AXMoved"), 0);
    auto record = desktop.accessibilityState.liveObservers().at(0);
    ASSERT_EQ(record->pid, 10);
    // The start's two installations each asked once and stopped at the refusal.
    EXPECT_EQ(record->notifications, (std::vector<std::string>{"AXMoved", "AXResized"}));

    desktop.loop.advance(4.01);
    EXPECT_EQ(manager->pendingNotifications.at(10).size(), 9u);
    EXPECT_EQ(record->notifications.size(), 3u);
    desktop.loop.advance(4);
    EXPECT_TRUE(manager->pendingNotifications.empty());
    EXPECT_EQ(record->registered.size(), 9u);
    // The observer was kept throughout; only its registrations were made again, and no more
    // once done.
    EXPECT_EQ(desktop.accessibilityState.createCalls, 2);
    EXPECT_EQ(record->notifications.size(), 3 + 9u);
    desktop.loop.advance(4);
    EXPECT_EQ(record->notifications.size(), 3 + 9u);

    setWindows({window(1, 10, {300, 200, 500, 400})});
    EXPECT_EQ(desktop.accessibilityState.fire(10, "AXWindowMoved"), 1);
    desktop.loop.advance(0.05);
    auto shields = desktop.openPanels();
    ASSERT_EQ(shields.size(), 1u);
    EXPECT_EQ(shields[0]->frame, manager->panelFrame({300, 200, 500, 400}));
}

// A name the application always refuses is asked again at each pass, after the others, and
// never keeps them from being registered.
TEST_F(AccessibilityTracking, ARefusedNameGoesLast) {
    desktop.accessibilityState.registrationResult = [](int32_t, const std::string& name, int) {
        return name == "AXMoved" ? AccessibilityError::failure : AccessibilityError::success;
    };
    startBlock();
    for (const auto& record : desktop.accessibilityState.liveObservers()) {
        EXPECT_EQ(record->registered.size(), 8u) << record->pid;
        EXPECT_EQ(manager->pendingNotifications.at(record->pid),
                  std::vector<std::string>{"AXMoved"});
    }
}

TEST_F(AccessibilityTracking, OnlyAnswersThatCanChangeAreAskedAgain) {
    struct Case {
        AccessibilityError result;
        bool askedAgain;
    };
    const Case cases[] = {
        {AccessibilityError::success, false},
        {AccessibilityError::notificationAlreadyRegistered, false},
        {AccessibilityError::notificationUnsupported, false},
        {AccessibilityError::cannotComplete, true},
        {AccessibilityError::failure, true},
        {AccessibilityError::apiDisabled, true},
        {AccessibilityError::notImplemented, true},
        {static_cast<AccessibilityError>(-25299), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.result));
        send(R"({"command":"stop"})");
        desktop.accessibilityState.records.clear();
        desktop.accessibilityState.registrationResult = [&c](int32_t, const std::string& name,
                                                             int) {
            return name == "AXResized" ? c.result : AccessibilityError::success;
        };
        // Asked at the start's two installations, and again at the periodic pass unless done.
        startBlock();
        desktop.loop.advance(4.01);
        for (const auto& record : desktop.accessibilityState.liveObservers()) {
            auto asked =
                std::count(record->notifications.begin(), record->notifications.end(), "AXResized");
            EXPECT_EQ(asked, c.askedAgain ? 3 : 1) << record->pid;
            EXPECT_EQ(
                std::count(record->notifications.begin(), record->notifications.end(), "AXMoved"),
                1);
        }
        EXPECT_EQ(manager->pendingNotifications.size(), c.askedAgain ? 2u : 0u);
    }
}

TEST_F(AccessibilityTracking, PendingRegistrationsGoWithTheirObserver) {
    desktop.accessibilityState.registrationResult = [](int32_t, const std::string&, int) {
        return AccessibilityError::cannotComplete;
    };
    startBlock();
    EXPECT_EQ(manager->pendingNotifications.size(), 2u);
    desktop.workspaceState.applications.erase(desktop.workspaceState.applications.begin());
    manager->reconcile();
    EXPECT_EQ(observedPids(), (std::set<int32_t>{11}));
    EXPECT_FALSE(manager->pendingNotifications.contains(10));
    EXPECT_TRUE(manager->pendingNotifications.contains(11));
    send(R"({"command":"stop"})");
    EXPECT_TRUE(manager->pendingNotifications.empty());
}

}  // namespace
}  // namespace sh::test
