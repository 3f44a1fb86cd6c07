// Text between the core's UTF-8 and the UTF-16 of the Win32 calls.
#pragma once

#include <string>
#include <string_view>

namespace sh {

// Malformed input becomes U+FFFD; the core hands in valid UTF-8 anyway.
std::wstring wideFromUtf8(std::string_view text);
// Unpaired surrogates become U+FFFD.
std::string utf8FromWide(std::wstring_view text);

}  // namespace sh
