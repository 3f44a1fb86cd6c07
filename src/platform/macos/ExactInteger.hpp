// Whether a floating-point value is exactly a 64-bit integer. The window list delivers some
// numbers as floats; such a number counts as an exact integer only when nothing is lost.
#pragma once

#include <cstdint>
#include <optional>

namespace sh::macos {

// The value as a signed 64-bit integer when it is finite, has no fractional part and lies in
// [-2^63, 2^63). NaN and the infinities fail every comparison and so give nothing; -0.0 is 0.
constexpr std::optional<int64_t> exactInt64(double value) {
    if (!(value >= -0x1p63 && value < 0x1p63)) {
        return std::nullopt;
    }
    const auto integer = static_cast<int64_t>(value);
    if (static_cast<double>(integer) != value) {
        return std::nullopt;
    }
    return integer;
}

}  // namespace sh::macos
