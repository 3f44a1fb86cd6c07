// Conversions between the core's UTF-8 strings and Core Foundation strings, which AppKit's
// NSString bridges to without copying.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <optional>
#include <string>
#include <string_view>

namespace sh::macos {

// The string's UTF-8 bytes; absent for a null string. A character that UTF-8 cannot carry (an
// unpaired surrogate) becomes "?".
std::optional<std::string> optionalString(CFStringRef string);

// A new string (owned by the caller) with the text's characters. Malformed UTF-8 becomes
// U+FFFD, so the result is never null.
CFStringRef createString(std::string_view text);

}  // namespace sh::macos
