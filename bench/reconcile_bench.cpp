// Cost of one reconciliation pass on the simulated desktop, and of composing a status
// message.
#include <benchmark/benchmark.h>

#include "manager/ShieldManager.hpp"
#include "platform/sim/SimDesktop.hpp"

namespace {

using namespace sh;

struct Scene {
    explicit Scene(int windows) {
        setOutputSink([](std::string_view) {});
        managerReference().reset();
        manager = ShieldManager::create(desktop);
        desktop.workspaceState.applications = {{"com.example.Blocked", 100}, {"org.other", 200}};
        std::vector<WindowInfoRecord> records;
        for (int i = 0; i < windows; ++i) {
            records.push_back(sim::SimDesktop::window(1000 + i, 100, {10.0 + i, 20, 800, 600}));
            // An unrelated window between each two blocked ones, as on a busy desktop.
            records.push_back(sim::SimDesktop::window(5000 + i, 200, {0, 0, 400, 300}));
        }
        desktop.windowList = records;
        manager->targetsByBundleId["com.example.blocked"] = {"b", "Blocked", "com.example.Blocked"};
        manager->active = true;
        manager->permissionGranted = true;
        manager->permissionChecked = true;
    }
    ~Scene() {
        managerReference().reset();
        manager.reset();
        setOutputSink(nullptr);
    }
    sim::SimDesktop desktop;
    std::shared_ptr<ShieldManager> manager;
};

// Every shield already up: the pass moves and re-orders each one.
void reconcileWithShieldsInPlace(benchmark::State& state) {
    Scene scene(static_cast<int>(state.range(0)));
    scene.manager->reconcile();
    for (auto _ : state) {
        scene.manager->reconcile();
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(reconcileWithShieldsInPlace)->Arg(10)->Arg(100)->Arg(1000)->Complexity(benchmark::oN);

// No shield up yet: the pass builds one per window.
void reconcileBuildingEveryShield(benchmark::State& state) {
    Scene scene(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        scene.manager->clearShields();
        scene.desktop.panels.clear();
        state.ResumeTiming();
        scene.manager->reconcile();
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(reconcileBuildingEveryShield)->Arg(10)->Arg(100)->Arg(1000)->Complexity(benchmark::oN);

void composeStatus(benchmark::State& state) {
    Scene scene(0);
    scene.manager->coverageError = "One or more eligible target windows could not be shielded.";
    for (auto _ : state) {
        benchmark::DoNotOptimize(scene.manager->statusPayload("status", 42).dump());
    }
}
BENCHMARK(composeStatus);

}  // namespace

BENCHMARK_MAIN();
