// The on-screen window list, delivered raw: which keys a record has and what kind of value
// each holds. Deciding which windows count is the core's business.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/Geometry.hpp"

namespace sh {

// One value of a window-info record.
struct WindowInfoValue {
    enum class Kind { number, dictionary, other };
    Kind kind = Kind::other;
    // For numbers: the value as a 64-bit float, and the value as a 64-bit integer when the
    // number holds exactly an integer.
    double doubleValue = 0;
    std::optional<int64_t> exactInteger;
    // For dictionaries: the rectangle the dictionary describes, when it describes one.
    std::optional<Rect> rectangle;

    static WindowInfoValue integer(int64_t value) {
        return {Kind::number, static_cast<double>(value), value, std::nullopt};
    }
    static WindowInfoValue real(double value) { return {Kind::number, value, std::nullopt, {}}; }
    static WindowInfoValue rect(Rect r) { return {Kind::dictionary, 0, std::nullopt, r}; }
    static WindowInfoValue dictionaryWithoutRect() { return {Kind::dictionary, 0, {}, {}}; }
    static WindowInfoValue otherKind() { return {}; }
};

// One window of the list. Only these five keys are ever read; an absent optional means the
// record has no such key.
struct WindowInfoRecord {
    std::optional<WindowInfoValue> ownerPID;
    std::optional<WindowInfoValue> number;
    std::optional<WindowInfoValue> layer;
    std::optional<WindowInfoValue> alpha;
    std::optional<WindowInfoValue> bounds;
};

// Window-server layers, for desktops that derive a window's layer from its type and state:
// ordinary windows and dialogs share layer 0 with the windows a shield may cover.
namespace windowLayer {
inline constexpr int64_t desktop = -2147483623;
inline constexpr int64_t normal = 0;
inline constexpr int64_t floating = 3;
// An ordinary window or dialog the user keeps above the others ("always on top"), which stays
// an application's own window rather than a system surface. Beyond the 32-bit levels of the
// macOS window server, which has no such layer: an application's windows at its floating
// level there (palettes, and windows the application floats itself) are no ordinary windows.
inline constexpr int64_t keptAbove = int64_t{1} << 32;
// An ordinary window or dialog the user keeps below the others ("always on bottom"), on the
// same terms.
inline constexpr int64_t keptBelow = -(int64_t{1} << 32);
inline constexpr int64_t dock = 20;
inline constexpr int64_t status = 25;
inline constexpr int64_t popUpMenu = 101;
}  // namespace windowLayer

// The window-list request options, by their window-server values.
enum WindowListOption : uint32_t {
    windowListOptionOnScreenOnly = 1,
    windowListExcludeDesktopElements = 16,
};
constexpr int64_t nullWindowID = 0;

// Front to back. Absent when the list cannot be produced or is not a list of records.
using WindowInfoList = std::optional<std::vector<WindowInfoRecord>>;

}  // namespace sh
