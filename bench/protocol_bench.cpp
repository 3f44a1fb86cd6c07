// Costs of the line protocol: decoding a typical "start" line, and composing and emitting a
// status-shaped message to a sink that discards it.
#include <benchmark/benchmark.h>

#include <string>

#include "protocol/Protocol.hpp"

namespace {

const std::string startLine =
    R"({"command":"start","requestId":1042,"targets":[)"
    R"({"id":"b6f0c1de-1","name":"Safari","bundleId":"com.apple.Safari"},)"
    R"({"id":"b6f0c1de-2","name":"Messages","bundleId":"com.apple.MobileSMS"},)"
    R"({"id":"b6f0c1de-3","name":"Slack","bundleId":"com.tinyspeck.slackmacgap"}],)"
    R"("endsAt":1767225600000.5})";

void decodeStart(benchmark::State& state) {
    for (auto _ : state) {
        auto command = sh::decodeCommand(startLine);
        benchmark::DoNotOptimize(command);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * startLine.size()));
}
BENCHMARK(decodeStart);

// The same line with one malformed UTF-8 byte in a name, so that it takes the repair path.
void decodeStartWithMalformedUtf8(benchmark::State& state) {
    std::string line = startLine;
    line.replace(line.find("Slack"), 1, "\xFF");
    for (auto _ : state) {
        auto command = sh::decodeCommand(line);
        benchmark::DoNotOptimize(command);
    }
}
BENCHMARK(decodeStartWithMalformedUtf8);

void emitStatus(benchmark::State& state) {
    size_t bytes = 0;
    sh::setOutputSink([&bytes](std::string_view line) { bytes += line.size(); });
    for (auto _ : state) {
        sh::Message message = {{"type", "status"},
                               {"requestId", 1042},
                               {"watcherRunning", true},
                               {"shieldCount", 3},
                               {"eligibleWindowCount", 4},
                               {"coveredWindowCount", 3},
                               {"uncoveredWindowCount", 1},
                               {"permission", "granted"},
                               {"coverageError", sh::texts::shieldingFailed}};
        sh::emit(message);
    }
    sh::setOutputSink({});
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(emitStatus);

}  // namespace

BENCHMARK_MAIN();
