// Unicode helpers for the protocol: repairing malformed UTF-8 and locale-independent
// lower-casing, with the same results on every platform.
#pragma once

#include <string>
#include <string_view>

namespace sh {

// The bytes as valid UTF-8, every maximal malformed subsequence replaced by U+FFFD. NUL bytes
// are ordinary characters.
std::string replacingMalformedUtf8(std::string_view bytes);

// The full Unicode default lower-case mapping of the root locale, the same whatever the user's
// locale, including the final sigma. Malformed input is repaired first, as by
// replacingMalformedUtf8.
std::string lowercased(std::string_view text);

}  // namespace sh
