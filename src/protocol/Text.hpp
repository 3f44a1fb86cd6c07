// Unicode helpers for the protocol: repairing malformed UTF-8 and locale-independent
// lower-casing.
#pragma once

#include <string>
#include <string_view>

namespace sh {

// The bytes as valid UTF-8, every malformed sequence replaced by U+FFFD.
std::string replacingMalformedUtf8(std::string_view bytes);

// The full Unicode default lower-case mapping, the same whatever the user's locale.
std::string lowercased(std::string_view text);

}  // namespace sh
