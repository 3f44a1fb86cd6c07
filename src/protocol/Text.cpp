// Unicode helpers for the protocol, with the core's own tables so that every platform follows
// the same rules: repairing malformed UTF-8 the way every host-facing text is read, and
// lower-casing bundle identifiers without regard to locale.
#include "protocol/Text.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/CaseTables.hpp"

namespace sh {
namespace {

constexpr std::string_view encodedReplacementCharacter = "\xEF\xBF\xBD";

// One step of decoding: a well-formed sequence with its code point, or the maximal subpart of
// an ill-formed one (the longest prefix that could still have begun a well-formed sequence,
// and at least one byte), which becomes a single U+FFFD.
struct DecodedSequence {
    char32_t codePoint;
    size_t length;
    bool wellFormed;
};

// Decodes the sequence that starts at `at`, which is inside `bytes`. The ranges of the second
// byte exclude overlong forms (after E0 and F0), encoded surrogates (after ED) and code points
// above U+10FFFF (after F4), so each of those is found at its first impossible byte.
DecodedSequence decodeAt(std::string_view bytes, size_t at) {
    const auto byteAt = [&](size_t index) { return static_cast<unsigned char>(bytes[index]); };
    const unsigned char lead = byteAt(at);
    if (lead < 0x80) {
        return {lead, 1, true};
    }
    size_t continuationCount = 0;
    char32_t codePoint = 0;
    unsigned char lowest = 0x80;
    unsigned char highest = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuationCount = 1;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuationCount = 2;
        codePoint = lead & 0x0F;
        if (lead == 0xE0) {
            lowest = 0xA0;
        } else if (lead == 0xED) {
            highest = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        continuationCount = 3;
        codePoint = lead & 0x07;
        if (lead == 0xF0) {
            lowest = 0x90;
        } else if (lead == 0xF4) {
            highest = 0x8F;
        }
    } else {
        // A continuation byte without a lead byte, C0, C1 (only ever overlong) or F5 to FF.
        return {0, 1, false};
    }
    size_t length = 1;
    for (; length <= continuationCount; ++length) {
        if (at + length >= bytes.size()) {
            return {0, length, false};
        }
        const unsigned char byte = byteAt(at + length);
        if (byte < lowest || byte > highest) {
            return {0, length, false};
        }
        codePoint = (codePoint << 6) | (byte & 0x3F);
        lowest = 0x80;
        highest = 0xBF;
    }
    return {codePoint, length, true};
}

size_t firstNonAscii(std::string_view bytes) {
    const auto found = std::find_if(bytes.begin(), bytes.end(), [](char byte) {
        return static_cast<unsigned char>(byte) >= 0x80;
    });
    return static_cast<size_t>(found - bytes.begin());
}

bool isWellFormed(std::string_view bytes) {
    for (size_t at = firstNonAscii(bytes); at < bytes.size();) {
        const DecodedSequence sequence = decodeAt(bytes, at);
        if (!sequence.wellFormed) {
            return false;
        }
        at += sequence.length;
    }
    return true;
}

void appendUtf8(char32_t codePoint, std::string& out) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

// The table entry with the greatest first code point not above `codePoint`, if any.
template <typename Entry>
const Entry* entryAtOrBefore(std::span<const Entry> table, char32_t codePoint) {
    const auto after =
        std::upper_bound(table.begin(), table.end(), codePoint,
                         [](char32_t wanted, const Entry& entry) { return wanted < entry.first; });
    return after == table.begin() ? nullptr : &*(after - 1);
}

bool inRanges(std::span<const CodePointRange> ranges, char32_t codePoint) {
    const CodePointRange* range = entryAtOrBefore(ranges, codePoint);
    return range != nullptr && codePoint <= range->last;
}

char32_t simpleLowercase(char32_t codePoint) {
    const LowercaseRun* run = entryAtOrBefore(lowercaseRuns, codePoint);
    if (run == nullptr || codePoint > run->last || (codePoint - run->first) % run->step != 0) {
        return codePoint;
    }
    return static_cast<char32_t>(static_cast<std::int32_t>(codePoint) + run->delta);
}

const FullLowercase* fullLowercase(char32_t codePoint) {
    const auto found = std::lower_bound(
        fullLowercases.begin(), fullLowercases.end(), codePoint,
        [](const FullLowercase& entry, char32_t wanted) { return entry.codePoint < wanted; });
    return found != fullLowercases.end() && found->codePoint == codePoint ? &*found : nullptr;
}

// How a code point counts for the final sigma. A code point that is both case-ignorable and
// cased (such as U+0345, the combining iota below) counts as case-ignorable, as it does in ICU,
// whose results these rules reproduce.
enum class SigmaContext { caseIgnorable, cased, other };

SigmaContext sigmaContext(char32_t codePoint) {
    if (inRanges(caseIgnorableRanges, codePoint)) {
        return SigmaContext::caseIgnorable;
    }
    return inRanges(casedRanges, codePoint) ? SigmaContext::cased : SigmaContext::other;
}

// Whether a cased code point follows the well-formed `text` from byte `from` on, with only
// case-ignorable ones before it.
bool casedFollows(std::string_view text, size_t from) {
    while (from < text.size()) {
        const DecodedSequence sequence = decodeAt(text, from);
        const SigmaContext context = sigmaContext(sequence.codePoint);
        if (context != SigmaContext::caseIgnorable) {
            return context == SigmaContext::cased;
        }
        from += sequence.length;
    }
    return false;
}

// Whether a cased code point precedes byte `to` of the well-formed `text`, with only
// case-ignorable ones after it.
bool casedPrecedes(std::string_view text, size_t to) {
    while (to > 0) {
        size_t start = to - 1;
        while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        const SigmaContext context = sigmaContext(decodeAt(text, start).codePoint);
        if (context != SigmaContext::caseIgnorable) {
            return context == SigmaContext::cased;
        }
        to = start;
    }
    return false;
}

void appendLowercased(std::string_view text, std::string& out) {
    for (size_t at = 0; at < text.size();) {
        const unsigned char byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x80) {
            out.push_back(
                static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte));
            ++at;
            continue;
        }
        const DecodedSequence sequence = decodeAt(text, at);
        const char32_t codePoint = sequence.codePoint;
        // A capital sigma is final when a cased letter comes before it and none after it,
        // looking past case-ignorable code points on either side.
        if (codePoint == capitalSigma && casedPrecedes(text, at) &&
            !casedFollows(text, at + sequence.length)) {
            appendUtf8(finalSmallSigma, out);
        } else if (const FullLowercase* full = fullLowercase(codePoint); full != nullptr) {
            for (size_t index = 0; index < full->length; ++index) {
                appendUtf8(full->mapping[index], out);
            }
        } else {
            appendUtf8(simpleLowercase(codePoint), out);
        }
        at += sequence.length;
    }
}

}  // namespace

std::string replacingMalformedUtf8(std::string_view bytes) {
    // Most lines are plain ASCII; they are valid as they stand.
    size_t at = firstNonAscii(bytes);
    if (at == bytes.size()) {
        return std::string(bytes);
    }
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    // Well-formed stretches are copied whole, when the next ill-formed sequence (or the end)
    // is reached.
    size_t copiedUpTo = 0;
    while (at < bytes.size()) {
        if (static_cast<unsigned char>(bytes[at]) < 0x80) {
            ++at;
            continue;
        }
        const DecodedSequence sequence = decodeAt(bytes, at);
        if (!sequence.wellFormed) {
            out.append(bytes.substr(copiedUpTo, at - copiedUpTo));
            out.append(encodedReplacementCharacter);
            copiedUpTo = at + sequence.length;
        }
        at += sequence.length;
    }
    out.append(bytes.substr(copiedUpTo));
    return out;
}

std::string lowercased(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    // The final sigma looks at the code points on either side, so the text is repaired first
    // and lower-cased whole.
    if (isWellFormed(text)) {
        appendLowercased(text, out);
    } else {
        appendLowercased(replacingMalformedUtf8(text), out);
    }
    return out;
}

}  // namespace sh
