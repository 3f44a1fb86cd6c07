// Who holds the keyboard during a block: the topmost shield of a blocked application while
// that application is the active one, and never a shield while another application is.
#include "SimFixture.hpp"

namespace sh::test {
namespace {

class Keyboard : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        runApp(10, "com.apple.Mail");
        runApp(20, "org.other.App");
    }
    int makeKeyCalls() const {
        int calls = 0;
        for (const auto& panel : desktop.panels) {
            calls += panel->makeKeyCalls;
        }
        return calls;
    }
    void activateApp(RunningApplication app) {
        desktop.postWorkspace(NotificationName::workspaceDidActivateApplication, app);
        desktop.loop.runPosted();
    }
    const RunningApplication mail{"com.apple.Mail", 10};
    const RunningApplication other{"org.other.App", 20};
};

TEST_F(Keyboard, ABlockedWindowThatHasTheKeyboardLosesItToItsShieldAtTheStart) {
    // Front to back: the front window's shield is the one that takes the keys.
    setWindows({window(2, 10), window(1, 10), window(3, 20)});
    desktop.workspaceState.frontmost = mail;
    startBlock();
    ASSERT_EQ(desktop.openPanels().size(), 2u);
    EXPECT_EQ(desktop.keyPanel(), panelOf(2));
    EXPECT_EQ(panelOf(1)->makeKeyCalls, 0);

    // Later passes find it key already and leave the focus alone.
    desktop.loop.advance(10);
    EXPECT_GE(desktop.windowListCalls, 3);
    EXPECT_EQ(makeKeyCalls(), 1);
    EXPECT_EQ(desktop.keyPanel(), panelOf(2));
}

TEST_F(Keyboard, AnActivationBeforeTheShieldExistsIsHonouredByThePassThatBuildsIt) {
    // The blocked window is minimised when the block starts, then brought back and activated.
    desktop.workspaceState.frontmost = other;
    startBlock();
    EXPECT_TRUE(desktop.openPanels().empty());
    activateApp(mail);
    EXPECT_EQ(ofType(takeMessages(), "accessAttempt").size(), 1u);
    EXPECT_EQ(desktop.keyPanel(), nullptr);

    setWindows({window(1, 10)});
    desktop.loop.advance(0.05);
    ASSERT_EQ(desktop.openPanels().size(), 1u);
    EXPECT_EQ(desktop.keyPanel(), panelOf(1));
}

TEST_F(Keyboard, AShieldNeverTakesTheKeyboardFromAnApplicationThatIsNotBlocked) {
    const std::optional<RunningApplication> fronts[] = {
        RunningApplication{"org.other.App", 20},
        RunningApplication{std::nullopt, 30},
        std::nullopt,
    };
    for (const auto& front : fronts) {
        SCOPED_TRACE(front ? front->processIdentifier : -1);
        send(R"({"command":"stop"})");
        setWindows({window(1, 10), window(3, 20)});
        desktop.workspaceState.frontmost = front;
        int before = makeKeyCalls();
        startBlock();
        desktop.loop.advance(10);
        // A click on the unrelated window's application: a pass, and still no shield key.
        desktop.postWorkspace(NotificationName::workspaceDidActivateApplication, front);
        desktop.loop.advance(1);
        ASSERT_EQ(desktop.openPanels().size(), 1u);
        EXPECT_EQ(makeKeyCalls(), before);
        EXPECT_TRUE(ofType(takeMessages(), "accessAttempt").empty());
    }
}

TEST_F(Keyboard, SwitchingAwayFromTheBlockedApplicationLeavesTheOtherOneItsKeys) {
    setWindows({window(1, 10), window(3, 20)});
    desktop.workspaceState.frontmost = mail;
    startBlock();
    EXPECT_EQ(makeKeyCalls(), 1);
    activateApp(other);
    EXPECT_FALSE(panelOf(1)->isKey);
    desktop.loop.advance(10);
    EXPECT_EQ(makeKeyCalls(), 1);

    // Coming back to the blocked application is an attempt, and the shield takes the keys.
    activateApp(mail);
    EXPECT_EQ(ofType(takeMessages(), "accessAttempt").size(), 1u);
    EXPECT_EQ(desktop.keyPanel(), panelOf(1));
    EXPECT_EQ(makeKeyCalls(), 2);
}

}  // namespace
}  // namespace sh::test
