// Each command's effect on the manager and its reply.
#include "SimFixture.hpp"

namespace sh::test {
namespace {

using Commands = SimFixture;

TEST_F(Commands, StartStoresLowerCasedTargetsEndTimeAndActive) {
    auto replies = send(R"({"command":"start","requestId":7,"endsAt":)" +
                        std::to_string(nowMs() + 60000) + R"(,"targets":[
        {"id":"a","name":"Mail","bundleId":"com.apple.Mail"},
        {"id":"b","name":"No bundle"},
        {"id":"c","name":"Null bundle","bundleId":null},
        {"id":"d","name":"Notes","bundleId":"COM.Apple.NOTES"}]})");
    ASSERT_EQ(replies.size(), 2u);  // The first pass publishes, then the reply.
    EXPECT_FALSE(replies[0].contains("requestId"));
    EXPECT_EQ(replies[1]["requestId"], 7);
    EXPECT_EQ(replies[1]["watcherRunning"], true);
    EXPECT_EQ(replies[1]["permission"], "granted");

    EXPECT_TRUE(manager->active);
    ASSERT_TRUE(manager->endsAt);
    EXPECT_EQ(manager->targetsByBundleId.size(), 2u);
    EXPECT_EQ(manager->targetsByBundleId.at("com.apple.mail").id, "a");
    // The stored target keeps the letter case the host sent.
    EXPECT_EQ(manager->targetsByBundleId.at("com.apple.notes").bundleId, "COM.Apple.NOTES");
    EXPECT_TRUE(manager->deadlineTimer);
    EXPECT_TRUE(manager->reconcileTimer);
}

TEST_F(Commands, UpdateReplacesWhatItCarriesAndTheWholeEndTime) {
    startBlock(R"(,"endsAt":)" + std::to_string(nowMs() + 60000));
    auto firstDeadline = manager->deadlineTimer;

    // Without targets: the table stays, the end time is replaced.
    send(R"({"command":"update","endsAt":)" + std::to_string(nowMs() + 120000) + "}");
    EXPECT_EQ(manager->targetsByBundleId.size(), 1u);
    EXPECT_FALSE(firstDeadline->isValid());
    ASSERT_TRUE(manager->deadlineTimer);
    EXPECT_TRUE(manager->deadlineTimer->isValid());

    // Without an end time: the targets are replaced, the deadline is gone.
    send(
        R"({"command":"update","targets":[{"id":"n","name":"Notes","bundleId":"com.apple.Notes"}]})");
    EXPECT_FALSE(manager->endsAt);
    EXPECT_FALSE(manager->deadlineTimer);
    ASSERT_EQ(manager->targetsByBundleId.size(), 1u);
    EXPECT_EQ(manager->targetsByBundleId.begin()->first, "com.apple.notes");

    // An empty list empties the table; the block stays active.
    auto replies = send(R"({"command":"update","targets":[]})");
    EXPECT_TRUE(manager->targetsByBundleId.empty());
    EXPECT_TRUE(manager->active);
    EXPECT_EQ(replies.back()["type"], "status");
}

TEST_F(Commands, DuplicateBundleIdentifiersKeepTheLaterTarget) {
    send(R"({"command":"start","targets":[{"id":"1","name":"A","bundleId":"x.Y"},
                                          {"id":"2","name":"B","bundleId":"X.y"}]})");
    ASSERT_EQ(manager->targetsByBundleId.size(), 1u);
    EXPECT_EQ(manager->targetsByBundleId.at("x.y").id, "2");
}

TEST_F(Commands, StartWithoutPermissionReportsTheError) {
    desktop.accessibilityState.trusted = false;
    auto replies = send(R"({"command":"start","targets":[]})");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0]["watcherRunning"], false);
    EXPECT_EQ(replies[0]["permission"], "denied");
    EXPECT_EQ(replies[0]["error"],
              "Accessibility permission is required to track and shield blocked app windows.");
    EXPECT_TRUE(manager->active);
    EXPECT_FALSE(manager->reconcileTimer);
}

TEST_F(Commands, StartWithAnEndTimeInThePastEndsInsideTheCommand) {
    runApp(10, "com.apple.Mail");
    setWindows({window(1, 10)});
    auto replies = send(R"({"command":"start","requestId":1,"endsAt":1000,
        "targets":[{"id":"t1","name":"Mail","bundleId":"com.apple.Mail"}]})");
    ASSERT_FALSE(replies.empty());
    auto reply = replies.back();
    EXPECT_EQ(reply["requestId"], 1);
    EXPECT_EQ(reply["watcherRunning"], false);
    EXPECT_EQ(reply["shieldCount"], 0);
    EXPECT_FALSE(reply.contains("error"));
    EXPECT_FALSE(manager->active);
    EXPECT_TRUE(manager->targetsByBundleId.empty());
    EXPECT_TRUE(desktop.panels.empty());
    EXPECT_EQ(desktop.loop.validTimerCount(), 0u);
}

TEST_F(Commands, PermissionCommandsQueryTrustAndPromptOnlyWhenAsked) {
    struct Case {
        std::string line;
        int prompts;
    } cases[] = {
        {R"({"command":"permission-status"})", 0},
        {R"({"command":"request-permission"})", 0},
        {R"({"command":"request-permission","permissionPrompt":false})", 0},
        {R"({"command":"request-permission","permissionPrompt":true})", 1},
    };
    for (const auto& c : cases) {
        desktop.accessibilityState.prompts = 0;
        desktop.accessibilityState.trusted = false;
        auto replies = send(c.line);
        EXPECT_EQ(desktop.accessibilityState.prompts, c.prompts) << c.line;
        ASSERT_EQ(replies.size(), 1u) << c.line;
        EXPECT_EQ(replies[0]["permission"], "denied") << c.line;
        // Without a block the missing permission is no error.
        EXPECT_FALSE(replies[0].contains("error")) << c.line;
        EXPECT_FALSE(manager->active);
    }
}

TEST_F(Commands, StopResetsTheBlockButKeepsThePermission) {
    runApp(10, "com.apple.Mail");
    setWindows({window(1, 10), window(2, 10)});
    startBlock(R"(,"endsAt":)" + std::to_string(nowMs() + 60000));
    ASSERT_EQ(desktop.openPanels().size(), 2u);

    auto replies = send(R"({"command":"stop","requestId":-3})");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], json::parse(R"({"type":"status","requestId":-3,"watcherRunning":false,
        "shieldCount":0,"eligibleWindowCount":0,"coveredWindowCount":0,
        "uncoveredWindowCount":0,"permission":"granted"})"));
    EXPECT_FALSE(manager->active);
    EXPECT_FALSE(manager->endsAt);
    EXPECT_TRUE(manager->targetsByBundleId.empty());
    EXPECT_TRUE(manager->shields.empty());
    EXPECT_TRUE(manager->observers.empty());
    EXPECT_FALSE(manager->reconcileTimer);
    EXPECT_FALSE(manager->deadlineTimer);
    EXPECT_EQ(desktop.loop.validTimerCount(), 0u);
    EXPECT_TRUE(desktop.openPanels().empty());
    EXPECT_EQ(desktop.accessibilityState.attachedCount(), 0u);
    EXPECT_TRUE(manager->permissionGranted);

    // Stop while idle is still answered.
    EXPECT_EQ(send(R"({"command":"stop"})").size(), 1u);
}

TEST_F(Commands, ShutdownClosesShieldsTerminatesAndDoesNotReply) {
    runApp(10, "com.apple.Mail");
    setWindows({window(1, 10)});
    startBlock();
    auto replies = send(R"({"command":"shutdown","requestId":5})");
    EXPECT_TRUE(replies.empty());
    EXPECT_TRUE(desktop.loop.terminated);
    EXPECT_TRUE(desktop.openPanels().empty());
    EXPECT_FALSE(manager->active);
}

TEST_F(Commands, UnknownNamesAreAnsweredWithTheErrorAndChangeNothing) {
    for (std::string name : {"Start", " start", "start ", "status", "STOP", "", "shut-down"}) {
        auto replies = send(json{{"command", name}, {"requestId", 9}}.dump());
        ASSERT_EQ(replies.size(), 1u) << name;
        EXPECT_EQ(replies[0],
                  json::parse(R"({"type":"error","message":"Unknown native helper command."})"))
            << name;
        EXPECT_FALSE(manager->permissionChecked);
        EXPECT_FALSE(manager->active);
    }
}

TEST_F(Commands, RepliesShowUncoveredFlooredAtZero) {
    manager->eligibleWindowCount = 3;
    manager->coveredWindowCount = 5;
    EXPECT_EQ(manager->statusPayload("status", std::nullopt)["uncoveredWindowCount"], 0);
    manager->eligibleWindowCount = 5;
    manager->coveredWindowCount = 3;
    EXPECT_EQ(manager->statusPayload("status", 4)["uncoveredWindowCount"], 2);
}

}  // namespace
}  // namespace sh::test
