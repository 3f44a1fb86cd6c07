// The on-screen window list from CoreGraphics, turned into the core's raw records: which of the
// five keys each window has and what kind of value each holds.
#include <CoreFoundation/CoreFoundation.h>
#import <CoreGraphics/CoreGraphics.h>

#include <limits>

#include "platform/macos/ExactInteger.hpp"
#include "platform/macos/MacServices.hpp"

namespace sh::macos {
namespace {

// The float-to-integer decision runs on every window of every pass; these cases pin down its
// edges, and the cross build checks them on every compile.
static_assert(exactInt64(5.0) == 5);
static_assert(exactInt64(-1.0) == -1);
static_assert(exactInt64(-0.0) == 0);
static_assert(!exactInt64(5.5).has_value());
static_assert(!exactInt64(0.01).has_value());
static_assert(exactInt64(0x1p53) == (int64_t{1} << 53));
static_assert(exactInt64(-0x1p63) == std::numeric_limits<int64_t>::min());
static_assert(!exactInt64(0x1p63).has_value());
static_assert(!exactInt64(1e300).has_value());
static_assert(!exactInt64(std::numeric_limits<double>::infinity()).has_value());
static_assert(!exactInt64(-std::numeric_limits<double>::infinity()).has_value());
static_assert(!exactInt64(std::numeric_limits<double>::quiet_NaN()).has_value());

// Owns one Core Foundation reference for the length of a scope.
class Owned {
  public:
    explicit Owned(CFTypeRef reference) : reference_(reference) {}
    ~Owned() {
        if (reference_ != nullptr) {
            CFRelease(reference_);
        }
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    CFTypeRef get() const { return reference_; }

  private:
    CFTypeRef reference_;
};

// A number keeps whether it holds exactly an integer:
// - an integer CFNumber (any of the signed integer types, CFIndex and NSInteger included) is
//   exact whenever its value fits a signed 64-bit integer, which every one of them does but a
//   128-bit value beyond that range (how CFNumber stores large unsigned NSNumbers);
// - a floating-point CFNumber is exact only when its value is integral and lies within the
//   signed 64-bit range (5.0 is the integer 5; 5.5, NaN and the infinities are no integer).
// A CFBoolean is not a number: it is a distinct Core Foundation type and becomes `other`.
WindowInfoValue numberValue(CFNumberRef number) {
    double real = 0;
    CFNumberGetValue(number, kCFNumberFloat64Type, &real);
    WindowInfoValue value = WindowInfoValue::real(real);
    if (CFNumberIsFloatType(number)) {
        value.exactInteger = exactInt64(real);
    } else {
        int64_t integer = 0;
        if (CFNumberGetValue(number, kCFNumberSInt64Type, &integer)) {
            value.exactInteger = integer;
        }
    }
    return value;
}

// A dictionary describes a rectangle when CoreGraphics can read one from it.
WindowInfoValue dictionaryValue(CFDictionaryRef dictionary) {
    CGRect rectangle = CGRectZero;
    if (!CGRectMakeWithDictionaryRepresentation(dictionary, &rectangle)) {
        return WindowInfoValue::dictionaryWithoutRect();
    }
    return WindowInfoValue::rect(
        Rect{rectangle.origin.x, rectangle.origin.y, rectangle.size.width, rectangle.size.height});
}

std::optional<WindowInfoValue> valueFor(CFDictionaryRef record, CFStringRef key) {
    CFTypeRef value = CFDictionaryGetValue(record, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFNumberGetTypeID()) {
        return numberValue(static_cast<CFNumberRef>(value));
    }
    if (type == CFDictionaryGetTypeID()) {
        return dictionaryValue(static_cast<CFDictionaryRef>(value));
    }
    return WindowInfoValue::otherKind();
}

// Whether every key of the dictionary is a string: a record is a map from key text to value.
bool hasOnlyStringKeys(CFDictionaryRef dictionary) {
    bool onlyStrings = true;
    CFDictionaryApplyFunction(
        dictionary,
        [](const void* key, const void*, void* context) {
            if (key == nullptr || CFGetTypeID(key) != CFStringGetTypeID()) {
                *static_cast<bool*>(context) = false;
            }
        },
        &onlyStrings);
    return onlyStrings;
}

}  // namespace

WindowInfoList copyWindowInfo(uint32_t options, int64_t relativeToWindow) {
    // A number outside the window-server's 32-bit range names no window, so no list relative
    // to it can be produced.
    if (relativeToWindow < 0 || relativeToWindow > std::numeric_limits<CGWindowID>::max()) {
        return std::nullopt;
    }
    const Owned list(CGWindowListCopyWindowInfo(static_cast<CGWindowListOption>(options),
                                                static_cast<CGWindowID>(relativeToWindow)));
    if (list.get() == nullptr || CFGetTypeID(list.get()) != CFArrayGetTypeID()) {
        return std::nullopt;
    }
    const auto array = static_cast<CFArrayRef>(list.get());
    const CFIndex count = CFArrayGetCount(array);
    std::vector<WindowInfoRecord> records;
    records.reserve(static_cast<size_t>(count));
    for (CFIndex index = 0; index < count; ++index) {
        CFTypeRef element = CFArrayGetValueAtIndex(array, index);
        if (element == nullptr || CFGetTypeID(element) != CFDictionaryGetTypeID()) {
            return std::nullopt;
        }
        const auto dictionary = static_cast<CFDictionaryRef>(element);
        if (!hasOnlyStringKeys(dictionary)) {
            return std::nullopt;
        }
        WindowInfoRecord record;
        record.ownerPID = valueFor(dictionary, kCGWindowOwnerPID);
        record.number = valueFor(dictionary, kCGWindowNumber);
        record.layer = valueFor(dictionary, kCGWindowLayer);
        record.alpha = valueFor(dictionary, kCGWindowAlpha);
        record.bounds = valueFor(dictionary, kCGWindowBounds);
        records.push_back(std::move(record));
    }
    return records;
}

}  // namespace sh::macos
