// The debounce, the periodic pass and the deadline, on virtual time.
#include <cmath>
#include <functional>

#include "SimFixture.hpp"

namespace sh::test {
namespace {

class Scheduling : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        runApp(10, "com.apple.Mail");
        setWindows({window(1, 10)});
    }
    // Counts passes by the window-list reads they make.
    int passes() const { return desktop.windowListCalls; }
};

TEST_F(Scheduling, TenRequestsGiveOnePassAfterTheFirst) {
    startBlock();
    int before = passes();
    for (int i = 0; i < 10; ++i) {
        manager->scheduleReconcile();
        desktop.loop.advance(0.003);
    }
    // 0.03 s in: nothing yet.
    EXPECT_EQ(passes(), before);
    EXPECT_TRUE(manager->reconcilePending);
    desktop.loop.advance(0.0099);
    EXPECT_EQ(passes(), before);
    desktop.loop.advance(0.0002);
    EXPECT_EQ(passes(), before + 1);
    EXPECT_FALSE(manager->reconcilePending);
    desktop.loop.advance(1);
    EXPECT_EQ(passes(), before + 1);

    // A request after the step has run queues a new pass.
    manager->scheduleReconcile();
    desktop.loop.advance(0.05);
    EXPECT_EQ(passes(), before + 2);
}

TEST_F(Scheduling, RequestsAreDroppedWhileInactiveOrUnpermitted) {
    manager->scheduleReconcile();
    EXPECT_FALSE(manager->reconcilePending);
    desktop.accessibilityState.trusted = false;
    startBlock();
    manager->scheduleReconcile();
    EXPECT_FALSE(manager->reconcilePending);
    EXPECT_EQ(desktop.loop.pendingDelayedCount(), 0u);
}

TEST_F(Scheduling, StopWhileAPassIsQueuedLetsTheStepClearTheFlag) {
    startBlock();
    manager->scheduleReconcile();
    send(R"({"command":"stop"})");
    int before = passes();
    desktop.loop.advance(0.1);
    EXPECT_FALSE(manager->reconcilePending);
    EXPECT_EQ(passes(), before);
}

TEST_F(Scheduling, PeriodicPassEveryFourSeconds) {
    startBlock();
    ASSERT_EQ(desktop.loop.validTimerIntervals(), std::vector<double>{4.0});
    int before = passes();
    desktop.loop.advance(3.99);
    EXPECT_EQ(passes(), before);
    desktop.loop.advance(0.02);
    EXPECT_EQ(passes(), before + 1);
    desktop.loop.advance(12);
    EXPECT_EQ(passes(), before + 4);

    // A second start adds no second timer.
    manager->startTimers();
    startBlock();
    EXPECT_EQ(desktop.loop.validTimerCount(), 1u);

    // A periodic firing while a debounced pass is queued: both run.
    double untilTick = 4.0 - std::fmod(desktop.loop.uptime(), 4.0);
    desktop.loop.advance(untilTick - 0.02);
    before = passes();
    manager->scheduleReconcile();
    desktop.loop.advance(0.03);
    EXPECT_EQ(passes(), before + 1);
    EXPECT_TRUE(manager->reconcilePending);
    desktop.loop.advance(0.02);
    EXPECT_EQ(passes(), before + 2);
}

TEST_F(Scheduling, DeadlineEndsTheBlockAtItsTimeAndPublishesOnce) {
    startBlock(R"(,"endsAt":)" + std::to_string(nowMs() + 60000));
    ASSERT_EQ(desktop.openPanels().size(), 1u);
    takeMessages();
    desktop.loop.advance(59.9);
    EXPECT_TRUE(manager->active);
    desktop.loop.advance(0.2);
    EXPECT_FALSE(manager->active);
    EXPECT_TRUE(desktop.openPanels().empty());
    EXPECT_EQ(desktop.accessibilityState.attachedCount(), 0u);
    EXPECT_EQ(desktop.loop.validTimerCount(), 0u);
    auto written = takeMessages();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0]["type"], "status");
    EXPECT_EQ(written[0]["watcherRunning"], false);
    EXPECT_FALSE(written[0].contains("requestId"));
    desktop.loop.advance(100);
    EXPECT_TRUE(takeMessages().empty());
}

TEST_F(Scheduling, UpdateRearmsOrCancelsTheDeadline) {
    startBlock(R"(,"endsAt":)" + std::to_string(nowMs() + 10000));
    send(R"({"command":"update","endsAt":)" + std::to_string(nowMs() + 20000) + "}");
    desktop.loop.advance(15);
    EXPECT_TRUE(manager->active);
    desktop.loop.advance(5.1);
    EXPECT_FALSE(manager->active);

    startBlock(R"(,"endsAt":)" + std::to_string(nowMs() + 10000));
    send(R"({"command":"update"})");
    desktop.loop.advance(60);
    EXPECT_TRUE(manager->active);
    EXPECT_FALSE(manager->deadlineTimer);
}

// The end time is a moment of the wall clock. The monotonic clock, which relative timers
// count, stands still while the machine sleeps and ignores a change of the wall clock; the
// block must end when the wall clock says so all the same.
TEST_F(Scheduling, DeadlineFollowsTheWallClockThroughJumpsAndSleep) {
    struct Case {
        const char* name;
        double endsIn;  // seconds from the start
        std::function<void(sim::SimLoop&)> meanwhile;
        double activeUntil;  // monotonic seconds after the start the block is still active at
        double endedBy;      // and has ended by
    };
    const Case cases[] = {
        {"a jump forward past the end ends it at once", 3600,
         [](sim::SimLoop& loop) {
             loop.advance(10);
             loop.jumpWallClock(2 * 3600);
         },
         10, 10},
        {"a jump forward short of the end brings it nearer", 3600,
         [](sim::SimLoop& loop) { loop.jumpWallClock(3000); }, 599, 601},
        {"a jump backwards does not end it early", 60,
         [](sim::SimLoop& loop) {
             loop.advance(30);
             loop.jumpWallClock(-600);
         },
         659, 661},
        {"sleeping through the end ends it at wake-up", 3600,
         [](sim::SimLoop& loop) {
             loop.advance(100);
             loop.sleepMachine(1800 + 3600);
         },
         100, 100},
        {"sleeping short of the end leaves the rest to run", 3600,
         [](sim::SimLoop& loop) {
             loop.advance(100);
             loop.sleepMachine(1800);
         },
         1799, 1801},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        double startUptime = desktop.loop.uptime();
        startBlock(R"(,"endsAt":)" + std::to_string(nowMs() + int64_t(c.endsIn * 1000)));
        ASSERT_TRUE(manager->active);
        takeMessages();
        c.meanwhile(desktop.loop);
        double elapsed = desktop.loop.uptime() - startUptime;
        if (elapsed < c.activeUntil) {
            desktop.loop.advance(c.activeUntil - elapsed);
            EXPECT_TRUE(manager->active);
            elapsed = c.activeUntil;
        } else if (c.activeUntil < c.endedBy) {
            ADD_FAILURE() << "the case ran past the time it checks";
        }
        desktop.loop.advance(c.endedBy - elapsed);
        EXPECT_FALSE(manager->active);
        EXPECT_TRUE(desktop.openPanels().empty());
        auto written = ofType(takeMessages(), "status");
        ASSERT_EQ(written.size(), 1u);
        EXPECT_EQ(written[0]["watcherRunning"], false);
        EXPECT_EQ(desktop.loop.validTimerCount(), 0u);
    }
}

TEST_F(Scheduling, UpdateRearmsTheDeadlineOnTheWallClock) {
    startBlock(R"(,"endsAt":)" + std::to_string(nowMs() + 10000));
    desktop.loop.jumpWallClock(-3600);
    // The new end time is read against the clock as it now stands.
    send(R"({"command":"update","endsAt":)" + std::to_string(nowMs() + 20000) + "}");
    ASSERT_EQ(desktop.loop.validWallClockTimerTimes().size(), 1u);
    EXPECT_DOUBLE_EQ(desktop.loop.validWallClockTimerTimes()[0], desktop.loop.now() + 20);
    desktop.loop.jumpWallClock(19);
    EXPECT_TRUE(manager->active);
    desktop.loop.advance(1.01);
    EXPECT_FALSE(manager->active);
}

TEST_F(Scheduling, FarFutureEndTimeArmsATimerAndNeverExpiresEarly) {
    // Without the permission no periodic pass runs, so only the deadline could fire.
    desktop.accessibilityState.trusted = false;
    startBlock(R"(,"endsAt":1e300)");
    EXPECT_TRUE(manager->active);
    ASSERT_TRUE(manager->deadlineTimer);
    desktop.loop.advance(1e9);
    EXPECT_EQ(desktop.loop.validTimerCount(), 1u);
    EXPECT_TRUE(manager->active);
}

// The activity that keeps the system from throttling the helper is held exactly while a block
// is active: begun once by the start, kept through updates and a missing permission, and ended
// by whatever ends the block.
enum class BlockEnd { stop, deadline, shutdown, teardown };

class ActivityWhileActive : public Scheduling, public ::testing::WithParamInterface<BlockEnd> {
  protected:
    void endTheBlock() {
        switch (GetParam()) {
            case BlockEnd::stop:
                send(R"({"command":"stop"})");
                break;
            case BlockEnd::deadline:
                desktop.loop.advance(30.1);
                EXPECT_FALSE(manager->active);
                break;
            case BlockEnd::shutdown:
                send(R"({"command":"shutdown"})");
                EXPECT_TRUE(desktop.loop.terminated);
                break;
            case BlockEnd::teardown:
                managerReference().reset();
                manager.reset();
                break;
        }
    }
};

TEST_P(ActivityWhileActive, HeldFromStartUntilTheBlockEnds) {
    auto& loop = desktop.loop;
    EXPECT_TRUE(loop.activityReasons.empty());
    startBlock(R"(,"endsAt":)" + std::to_string(nowMs() + 60000));
    EXPECT_EQ(loop.heldActivities, 1);
    EXPECT_EQ(loop.activityReasons, std::vector<std::string>{blockActivityReason});

    // Updates, refreshes and a withdrawn permission keep the one activity.
    send(R"({"command":"update","endsAt":)" + std::to_string(nowMs() + 60000) + "}");
    send(R"({"command":"permission-status"})");
    desktop.accessibilityState.trusted = false;
    send(R"({"command":"request-permission"})");
    desktop.accessibilityState.trusted = true;
    send(R"({"command":"permission-status"})");
    loop.advance(30);
    EXPECT_EQ(loop.heldActivities, 1);
    EXPECT_EQ(loop.activityReasons.size(), 1u);

    endTheBlock();
    EXPECT_EQ(loop.heldActivities, 0);
    EXPECT_EQ(loop.mostHeldActivities, 1);
    if (manager) {
        EXPECT_FALSE(manager->blockActivity);
        // Ending twice changes nothing; a new block holds a new activity.
        send(R"({"command":"stop"})");
        EXPECT_EQ(loop.heldActivities, 0);
        startBlock();
        EXPECT_EQ(loop.heldActivities, 1);
        EXPECT_EQ(loop.activityReasons.size(), 2u);
    }
}

INSTANTIATE_TEST_SUITE_P(Enders, ActivityWhileActive,
                         ::testing::Values(BlockEnd::stop, BlockEnd::deadline, BlockEnd::shutdown,
                                           BlockEnd::teardown));

TEST_F(Scheduling, NoActivityForABlockWhoseEndIsAlreadyPast) {
    startBlock(R"(,"endsAt":)" + std::to_string(nowMs() - 1));
    EXPECT_FALSE(manager->active);
    EXPECT_TRUE(desktop.loop.activityReasons.empty());
    send(R"({"command":"permission-status"})");
    EXPECT_TRUE(desktop.loop.activityReasons.empty());
}

}  // namespace
}  // namespace sh::test
