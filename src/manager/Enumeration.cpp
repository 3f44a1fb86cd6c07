// Which on-screen windows belong to a blocked application and are large and visible enough
// to be covered.
#include <cmath>
#include <limits>

#include "manager/ShieldManager.hpp"
#include "protocol/Text.hpp"

namespace sh {

namespace {

constexpr double minimumAlpha = 0.01;
constexpr double minimumWidth = 80;
constexpr double minimumHeight = 60;

bool isNumber(const std::optional<WindowInfoValue>& value) {
    return value && value->kind == WindowInfoValue::Kind::number;
}

std::optional<int64_t> exactInteger(const std::optional<WindowInfoValue>& value) {
    return isNumber(value) ? value->exactInteger : std::nullopt;
}

// A process identifier is a signed 32-bit number. A value outside that range is no process
// of ours: wrapping it would pair a window with an unrelated process.
std::optional<int32_t> processIdentifier(const WindowInfoValue& value) {
    double v = value.exactInteger ? static_cast<double>(*value.exactInteger)
                                  : std::trunc(value.doubleValue);
    if (!(v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max())) {
        return std::nullopt;
    }
    return static_cast<int32_t>(v);
}

}  // namespace

std::unordered_map<int32_t, Target> ShieldManager::targetsByProcess() {
    std::unordered_map<int32_t, Target> byProcess;
    if (targetsByBundleId.empty()) {
        return byProcess;
    }
    for (const RunningApplication& application : desktop_.workspace().runningApplications()) {
        if (!application.bundleIdentifier) {
            continue;
        }
        auto found = targetsByBundleId.find(lowercased(*application.bundleIdentifier));
        if (found == targetsByBundleId.end()) {
            continue;
        }
        // Should a process be listed twice, its first entry is kept.
        byProcess.emplace(application.processIdentifier, found->second);
    }
    return byProcess;
}

std::vector<EligibleWindow> ShieldManager::snapshots() {
    std::unordered_map<int32_t, Target> byProcess = targetsByProcess();
    if (byProcess.empty()) {
        // No blocked application runs: the window list is not worth asking for.
        return {};
    }
    WindowInfoList list = desktop_.copyWindowInfo(
        windowListOptionOnScreenOnly | windowListExcludeDesktopElements, nullWindowID);
    if (!list) {
        coverageError = std::string(texts::enumerationFailed);
        return {};
    }
    std::vector<EligibleWindow> eligible;
    for (const WindowInfoRecord& record : *list) {
        if (!isNumber(record.ownerPID)) {
            continue;
        }
        std::optional<int32_t> pid = processIdentifier(*record.ownerPID);
        auto target = pid ? byProcess.find(*pid) : byProcess.end();
        if (target == byProcess.end()) {
            continue;
        }
        std::optional<int64_t> number = exactInteger(record.number);
        if (!number) {
            continue;
        }
        // Ordinary windows only: docks, menus, tooltips, notifications and palettes are not
        // the application's content. A window the user keeps above or below the others is
        // still one of the application's own, and leaving it uncovered would lift the block.
        std::optional<int64_t> layer = exactInteger(record.layer);
        if (!layer || (*layer != windowLayer::normal && *layer != windowLayer::keptAbove &&
                       *layer != windowLayer::keptBelow)) {
            continue;
        }
        // A NaN alpha fails this comparison too.
        if (!isNumber(record.alpha) || !(record.alpha->doubleValue > minimumAlpha)) {
            continue;
        }
        if (!record.bounds || record.bounds->kind != WindowInfoValue::Kind::dictionary ||
            !record.bounds->rectangle) {
            continue;
        }
        const Rect& bounds = *record.bounds->rectangle;
        if (!(bounds.standardWidth() >= minimumWidth && bounds.standardHeight() >= minimumHeight)) {
            continue;
        }
        eligible.push_back({{*number, *pid, bounds}, target->second});
    }
    return eligible;
}

}  // namespace sh
