// Launches, quits, activations, hides and unhides.
#include "SimFixture.hpp"

namespace sh::test {
namespace {

class WorkspaceEvents : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        runApp(10, "com.apple.Mail");
        runApp(20, "org.other.App");
        setWindows({window(1, 10), window(2, 10)});
    }
    void post(NotificationName name, std::optional<RunningApplication> app = {}) {
        desktop.postWorkspace(name, app);
        desktop.loop.runPosted();
    }
    int passes() const { return desktop.windowListCalls; }
};

TEST_F(WorkspaceEvents, ActivatingABlockedApplicationReportsThenRaises) {
    startBlock();
    takeMessages();
    // Record whether a shield had been made key when the attempt was written.
    std::vector<bool> keyWhenWritten;
    onLine = [&](const json& message) {
        if (message["type"] == "accessAttempt") {
            keyWhenWritten.push_back(desktop.keyPanel() != nullptr);
        }
    };
    post(NotificationName::workspaceDidActivateApplication,
         RunningApplication{"COM.APPLE.MAIL", 10});
    auto attempts = ofType(takeMessages(), "accessAttempt");
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_EQ(attempts[0]["targetId"], "t1");
    EXPECT_EQ(attempts[0]["appName"], "Mail");
    EXPECT_EQ(keyWhenWritten, std::vector<bool>{false});
    EXPECT_TRUE(desktop.keyPanel());
    EXPECT_TRUE(manager->reconcilePending);
    int before = passes();
    desktop.loop.advance(0.05);
    EXPECT_EQ(passes(), before + 1);

    // No rate limit.
    for (int i = 0; i < 3; ++i) {
        post(NotificationName::workspaceDidActivateApplication,
             RunningApplication{"com.apple.Mail", 10});
    }
    EXPECT_EQ(ofType(takeMessages(), "accessAttempt").size(), 3u);
}

TEST_F(WorkspaceEvents, ActivationWithoutPermissionStillReports) {
    desktop.accessibilityState.trusted = false;
    startBlock();
    takeMessages();
    post(NotificationName::workspaceDidActivateApplication,
         RunningApplication{"com.apple.Mail", 10});
    EXPECT_EQ(ofType(takeMessages(), "accessAttempt").size(), 1u);
    EXPECT_FALSE(manager->reconcilePending);
    EXPECT_TRUE(desktop.panels.empty());
}

TEST_F(WorkspaceEvents, OtherActivationsReportNothingButRequestAPass) {
    startBlock();
    takeMessages();
    const std::optional<RunningApplication> applications[] = {
        RunningApplication{"org.other.App", 20},
        RunningApplication{std::nullopt, 30},
        std::nullopt,
    };
    for (const auto& app : applications) {
        post(NotificationName::workspaceDidActivateApplication, app);
        EXPECT_TRUE(takeMessages().empty());
        EXPECT_TRUE(manager->reconcilePending);
        desktop.loop.advance(0.05);
    }
}

TEST_F(WorkspaceEvents, LaunchAndUnhideGiveASecondPassLater) {
    for (auto name : {NotificationName::workspaceDidLaunchApplication,
                      NotificationName::workspaceDidUnhideApplication}) {
        startBlock();
        desktop.loop.advance(0.1);
        int before = passes();
        post(name);
        desktop.loop.advance(0.039);
        EXPECT_EQ(passes(), before);
        desktop.loop.advance(0.002);
        EXPECT_EQ(passes(), before + 1);
        // The second request comes 0.6 s after the notification, its pass 0.04 s later.
        desktop.loop.advance(0.598);
        EXPECT_EQ(passes(), before + 1);
        desktop.loop.advance(0.002);
        EXPECT_EQ(passes(), before + 2);
        desktop.loop.advance(1);
        EXPECT_EQ(passes(), before + 2);
    }
}

TEST_F(WorkspaceEvents, HideQuitAndScreenChangesEachRequestOnePass) {
    startBlock();
    for (auto name : {NotificationName::workspaceDidHideApplication,
                      NotificationName::workspaceDidTerminateApplication}) {
        int before = passes();
        post(name);
        desktop.loop.advance(1);
        EXPECT_EQ(passes(), before + 1);
    }
    int before = passes();
    desktop.postScreenChange();
    desktop.loop.advance(1);
    EXPECT_EQ(passes(), before + 1);

    // A hidden application's windows leave the list: the pass closes their shields.
    setWindows({});
    post(NotificationName::workspaceDidHideApplication);
    desktop.loop.advance(0.05);
    EXPECT_TRUE(desktop.openPanels().empty());
}

TEST_F(WorkspaceEvents, AfterStopNothingLeadsToAMessageOrPass) {
    startBlock();
    send(R"({"command":"stop"})");
    int before = passes();
    post(NotificationName::workspaceDidActivateApplication,
         RunningApplication{"com.apple.Mail", 10});
    post(NotificationName::workspaceDidLaunchApplication);
    desktop.postScreenChange();
    desktop.loop.advance(2);
    EXPECT_TRUE(takeMessages().empty());
    EXPECT_EQ(passes(), before);
}

// A Space switch with the same application frontmost announces nothing else: the switch alone
// must bring a debounced pass, which drops the shields of windows the switch took away.
TEST_F(WorkspaceEvents, SpaceSwitchAsksForADebouncedPass) {
    startBlock();
    ASSERT_EQ(desktop.openPanels().size(), 2u);
    setWindows({window(7, 20)});
    int before = passes();
    post(NotificationName::workspaceActiveSpaceDidChange);
    post(NotificationName::workspaceActiveSpaceDidChange);
    EXPECT_TRUE(manager->reconcilePending);
    EXPECT_TRUE(ofType(takeMessages(), "accessAttempt").empty());
    desktop.loop.advance(0.03);
    EXPECT_EQ(passes(), before);
    desktop.loop.advance(0.02);
    EXPECT_EQ(passes(), before + 1);
    EXPECT_TRUE(desktop.openPanels().empty());

    // Coming back to the Space brings the windows, and their shields, back.
    setWindows({window(1, 10), window(2, 10)});
    post(NotificationName::workspaceActiveSpaceDidChange);
    desktop.loop.advance(0.05);
    EXPECT_EQ(desktop.openPanels().size(), 2u);
    desktop.loop.advance(1);
    EXPECT_EQ(passes(), before + 2);
}

}  // namespace
}  // namespace sh::test
