// Which window-list records become eligible windows, and how enumeration fails.
#include <cmath>
#include <limits>

#include "SimFixture.hpp"

namespace sh::test {
namespace {

class Enumeration : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        manager->targetsByBundleId["com.apple.mail"] = {"t1", "Mail", "com.apple.Mail"};
        runApp(10, "com.apple.Mail");
        runApp(20, "org.other.App");
    }
};

WindowInfoRecord withBounds(WindowInfoRecord record, std::optional<WindowInfoValue> bounds) {
    record.bounds = bounds;
    return record;
}

TEST_F(Enumeration, RecordFilter) {
    using V = WindowInfoValue;
    const double nan = std::nan("");
    auto base = [] { return sim::SimDesktop::window(1, 10, {0, 0, 200, 100}); };
    struct Case {
        const char* what;
        WindowInfoRecord record;
        bool eligible;
    };
    auto change = [&](auto edit) {
        WindowInfoRecord record = base();
        edit(record);
        return record;
    };
    const Case cases[] = {
        {"an ordinary window", base(), true},
        {"owner not a target", change([](auto& r) { r.ownerPID = V::integer(20); }), false},
        {"owner not running", change([](auto& r) { r.ownerPID = V::integer(30); }), false},
        {"owner missing", change([](auto& r) { r.ownerPID.reset(); }), false},
        {"owner not a number", change([](auto& r) { r.ownerPID = V::otherKind(); }), false},
        {"owner outside 32 bits",
         change([](auto& r) { r.ownerPID = V::integer((1ll << 32) + 10); }), false},
        {"number missing", change([](auto& r) { r.number.reset(); }), false},
        {"number not an integer", change([](auto& r) { r.number = V::real(1.5); }), false},
        {"layer missing", change([](auto& r) { r.layer.reset(); }), false},
        {"layer not an integer", change([](auto& r) { r.layer = V::real(0.0); }), false},
        {"layer of a palette", change([](auto& r) { r.layer = V::integer(3); }), false},
        {"layer below", change([](auto& r) { r.layer = V::integer(-1); }), false},
        {"alpha missing", change([](auto& r) { r.alpha.reset(); }), false},
        {"alpha not a number", change([](auto& r) { r.alpha = V::otherKind(); }), false},
        {"alpha 0", change([](auto& r) { r.alpha = V::real(0); }), false},
        {"alpha exactly 0.01", change([](auto& r) { r.alpha = V::real(0.01); }), false},
        {"alpha NaN", change([&](auto& r) { r.alpha = V::real(nan); }), false},
        {"alpha just above 0.01",
         change([](auto& r) { r.alpha = V::real(std::nextafter(0.01, 1.0)); }), true},
        {"alpha as an integer 1", change([](auto& r) { r.alpha = V::integer(1); }), true},
        {"bounds missing", withBounds(base(), std::nullopt), false},
        {"bounds not a rectangle", withBounds(base(), V::dictionaryWithoutRect()), false},
        {"bounds not a dictionary", withBounds(base(), V::real(5)), false},
        {"exactly 80 by 60", withBounds(base(), V::rect({0, 0, 80, 60})), true},
        {"a fraction narrower than 80", withBounds(base(), V::rect({0, 0, 79.99, 60})), false},
        {"a fraction lower than 60", withBounds(base(), V::rect({0, 0, 80, 59.99})), false},
        {"NaN width", withBounds(base(), V::rect({0, 0, nan, 600})), false},
        {"negative extent counts its size", withBounds(base(), V::rect({500, 500, -200, -100})),
         true},
    };
    for (const Case& c : cases) {
        setWindows({c.record});
        auto eligible = manager->snapshots();
        EXPECT_EQ(eligible.size(), c.eligible ? 1u : 0u) << c.what;
        EXPECT_FALSE(manager->coverageError) << c.what;
    }
}

TEST_F(Enumeration, OrdinaryWindowsKeptAboveOrBelowAreCoveredSystemSurfacesAreNot) {
    // The layers desktops that know window types report for a blocked application's windows.
    struct Case {
        const char* what;
        int64_t layer;
        bool eligible;
    };
    const Case cases[] = {
        {"an ordinary window or dialog", windowLayer::normal, true},
        {"an ordinary window or dialog kept above the others", windowLayer::keptAbove, true},
        {"a palette or utility window", windowLayer::floating, false},
        {"an ordinary window or dialog kept below the others", windowLayer::keptBelow, true},
        {"a dock", windowLayer::dock, false},
        {"a notification", windowLayer::status, false},
        {"a menu or tooltip", windowLayer::popUpMenu, false},
        {"the desktop", windowLayer::desktop, false},
    };
    for (const Case& c : cases) {
        setWindows({sim::SimDesktop::window(1, 10, {0, 0, 200, 100}, c.layer)});
        EXPECT_EQ(manager->snapshots().size(), c.eligible ? 1u : 0u) << c.what;
    }
}

TEST_F(Enumeration, KeepsListOrderPairsTargetsAndRequestsOnScreenWindows) {
    runApp(11, "COM.APPLE.MAIL");  // A second instance, in other letter case.
    setWindows({window(5, 11, {1, 2, 300, 200}), window(3, 20), window(4, 10), window(9, 11)});
    auto eligible = manager->snapshots();
    ASSERT_EQ(eligible.size(), 3u);
    EXPECT_EQ(eligible[0].snapshot.number, 5);
    EXPECT_EQ(eligible[0].snapshot.pid, 11);
    EXPECT_EQ(eligible[0].snapshot.bounds, (Rect{1, 2, 300, 200}));
    EXPECT_EQ(eligible[1].snapshot.number, 4);
    EXPECT_EQ(eligible[2].snapshot.number, 9);
    for (const auto& window : eligible) {
        EXPECT_EQ(window.target.id, "t1");
    }
    ASSERT_TRUE(desktop.lastWindowListRequest);
    EXPECT_EQ(desktop.lastWindowListRequest->first, 17u);
    EXPECT_EQ(desktop.lastWindowListRequest->second, 0);
}

TEST_F(Enumeration, DoesNotAskForTheListWhileNoBlockedApplicationRuns) {
    desktop.workspaceState.applications = {{std::nullopt, 10}, {"org.other.App", 20}};
    manager->coverageError = "earlier";
    EXPECT_TRUE(manager->snapshots().empty());
    EXPECT_EQ(desktop.windowListCalls, 0);
    EXPECT_EQ(manager->coverageError, "earlier");
}

TEST_F(Enumeration, UnavailableListIsAFailureAndAnEmptyListIsNot) {
    desktop.windowList = std::nullopt;
    manager->coverageError = "earlier";
    EXPECT_TRUE(manager->snapshots().empty());
    EXPECT_EQ(manager->coverageError, "Eligible target windows could not be enumerated.");

    manager->coverageError.reset();
    desktop.windowList = std::vector<WindowInfoRecord>{};
    EXPECT_TRUE(manager->snapshots().empty());
    EXPECT_FALSE(manager->coverageError);
}

}  // namespace
}  // namespace sh::test
