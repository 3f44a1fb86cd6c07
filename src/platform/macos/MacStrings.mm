// Conversions between the core's UTF-8 strings and Core Foundation strings.
#include "platform/macos/MacStrings.hpp"

#include <vector>

#include "protocol/Text.hpp"

namespace sh::macos {

std::optional<std::string> optionalString(CFStringRef string) {
    if (string == nullptr) {
        return std::nullopt;
    }
    const CFRange whole = CFRangeMake(0, CFStringGetLength(string));
    std::vector<UInt8> bytes(static_cast<size_t>(
        CFStringGetMaximumSizeForEncoding(whole.length, kCFStringEncodingUTF8)));
    CFIndex used = 0;
    // A character that UTF-8 cannot carry (an unpaired surrogate) becomes "?" rather than
    // failing the whole conversion.
    CFStringGetBytes(string, whole, kCFStringEncodingUTF8, '?', false, bytes.data(),
                     static_cast<CFIndex>(bytes.size()), &used);
    return std::string(reinterpret_cast<const char*>(bytes.data()), static_cast<size_t>(used));
}

CFStringRef createString(std::string_view text) {
    CFStringRef string =
        CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
    if (string != nullptr) {
        return string;
    }
    const std::string repaired = replacingMalformedUtf8(text);
    string = CFStringCreateWithBytes(
        kCFAllocatorDefault, reinterpret_cast<const UInt8*>(repaired.data()),
        static_cast<CFIndex>(repaired.size()), kCFStringEncodingUTF8, false);
    if (string != nullptr) {
        return string;
    }
    // Callers release the result, so even the fallback must be a string of their own, never
    // a constant.
    return CFStringCreateWithCharacters(kCFAllocatorDefault, nullptr, 0);
}

}  // namespace sh::macos
