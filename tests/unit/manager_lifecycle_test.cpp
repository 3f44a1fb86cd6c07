// Construction, teardown and the weak hold of every handler the manager registers.
#include "SimFixture.hpp"

namespace sh::test {
namespace {

using Lifecycle = SimFixture;

TEST_F(Lifecycle, ConstructionRegistersInOrderAndWritesReadyFirst) {
    EXPECT_EQ(desktop.loop.activationPolicy, ActivationPolicy::accessory);
    EXPECT_EQ(managerReference(), manager);

    const auto& workspace = desktop.workspaceState.center.registrations();
    ASSERT_EQ(workspace.size(), 6u);
    const NotificationName expected[] = {
        NotificationName::workspaceDidLaunchApplication,
        NotificationName::workspaceDidTerminateApplication,
        NotificationName::workspaceDidActivateApplication,
        NotificationName::workspaceDidHideApplication,
        NotificationName::workspaceDidUnhideApplication,
        NotificationName::workspaceActiveSpaceDidChange,
    };
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(workspace[i].name, expected[i]) << i;
        EXPECT_EQ(manager->eventObservers[i], workspace[i].token) << i;
    }
    const auto& screen = desktop.defaultCenterState.registrations();
    ASSERT_EQ(screen.size(), 1u);
    EXPECT_EQ(screen[0].name, NotificationName::applicationDidChangeScreenParameters);
    EXPECT_EQ(manager->displayObserver, screen[0].token);

    auto written = messages();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0], json::parse(R"({"type":"ready","watcherRunning":false,"shieldCount":0,
        "eligibleWindowCount":0,"coveredWindowCount":0,"uncoveredWindowCount":0,
        "permission":"unknown","version":")" SHIELD_VERSION R"("})"));

    // Construction reads no desktop state and starts nothing.
    EXPECT_EQ(desktop.workspaceState.runningApplicationsCalls, 0);
    EXPECT_EQ(desktop.windowListCalls, 0);
    EXPECT_EQ(desktop.accessibilityState.trustQueries, 0);
    EXPECT_EQ(desktop.loop.validTimerCount(), 0u);
    EXPECT_TRUE(desktop.panels.empty());
}

TEST_F(Lifecycle, NotificationsBeforeAnyCommandChangeNothing) {
    runApp(10, "com.apple.Mail");
    takeMessages();
    desktop.postWorkspace(NotificationName::workspaceDidActivateApplication,
                          RunningApplication{"com.apple.Mail", 10});
    desktop.postWorkspace(NotificationName::workspaceDidLaunchApplication);
    desktop.postScreenChange();
    desktop.loop.advance(5);
    EXPECT_TRUE(messages().empty());
    EXPECT_FALSE(manager->reconcilePending);
    EXPECT_EQ(desktop.windowListCalls, 0);
}

TEST_F(Lifecycle, TeardownReleasesEverything) {
    runApp(10, "com.apple.Mail");
    setWindows({window(1, 10), window(2, 10)});
    startBlock(R"(,"endsAt":)" + std::to_string(nowMs() + 60000));
    ASSERT_EQ(desktop.openPanels().size(), 2u);
    ASSERT_EQ(desktop.accessibilityState.attachedCount(), 1u);
    ASSERT_EQ(desktop.loop.validTimerCount(), 2u);
    takeMessages();

    managerReference().reset();
    std::weak_ptr<ShieldManager> weak = manager;
    manager.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_TRUE(desktop.openPanels().empty());
    EXPECT_TRUE(desktop.accessibilityState.liveObservers().empty());
    EXPECT_EQ(desktop.loop.validTimerCount(), 0u);
    EXPECT_EQ(desktop.loop.heldActivities, 0);
    EXPECT_EQ(desktop.workspaceState.center.liveRegistrationCount(), 0u);
    EXPECT_EQ(desktop.defaultCenterState.liveRegistrationCount(), 0u);
    EXPECT_TRUE(messages().empty());
}

TEST_F(Lifecycle, HandlersHoldTheManagerWeakly) {
    runApp(10, "com.apple.Mail");
    setWindows({window(1, 10)});
    startBlock();
    // Keep copies of a registered block and an observer callback, and queue a debounced
    // step, then let the manager go.
    NotificationBlock activate = desktop.workspaceState.center.registrations()[2].block;
    NotificationBlock screens = desktop.defaultCenterState.registrations()[0].block;
    AccessibilityCallback callback = desktop.accessibilityState.records.at(0)->callback;
    manager->scheduleReconcile();
    manager->handleWorkspaceEvent({NotificationName::workspaceDidLaunchApplication, {}},
                                  NotificationName::workspaceDidLaunchApplication);
    std::shared_ptr<Panel> panel = desktop.panels.at(0);
    auto content = std::static_pointer_cast<ShieldView>(desktop.panels.at(0)->content);
    takeMessages();

    managerReference().reset();
    std::weak_ptr<ShieldManager> weak = manager;
    manager.reset();
    ASSERT_TRUE(weak.expired()) << "a registered handler kept the manager alive";

    activate({NotificationName::workspaceDidActivateApplication,
              RunningApplication{"com.apple.Mail", 10}});
    screens({});
    struct DetachedObserver final : WindowObserver {
        AccessibilityError addNotification(const std::string&) override {
            return AccessibilityError::success;
        }
        void attachToMainRunLoop() override {}
        void detachFromMainRunLoop() override {}
    } observer;
    callback(observer, "AXMoved");
    content->mouseDown();
    content->keyDown();
    desktop.loop.advance(10);
    EXPECT_TRUE(messages().empty());
}

}  // namespace
}  // namespace sh::test
