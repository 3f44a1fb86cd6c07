// Unicode helpers for the protocol, on ICU's C API: repairing malformed UTF-8 the way every
// host-facing text is read, and lower-casing bundle identifiers without regard to locale.
#include "protocol/Text.hpp"

#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace sh {
namespace {

constexpr UChar32 replacementCharacter = 0xFFFD;
constexpr std::string_view encodedReplacementCharacter = "\xEF\xBF\xBD";

// ICU measures strings in int32_t. Texts are converted in pieces well below that limit, so
// that even the UTF-8 form of a piece (at most three bytes per UTF-16 unit) fits.
constexpr size_t pieceSize = size_t{1} << 20;

bool isContinuationByte(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The length of the next piece of `bytes`, at most `pieceSize`, ending where no UTF-8
// sequence (well-formed or not) is cut in two. A piece may end before any byte that is not a
// continuation byte; it may also end before a continuation byte that has no lead byte within
// the three bytes before it, because such a byte is a malformed sequence on its own.
size_t nextPieceLength(std::string_view bytes) {
    if (bytes.size() <= pieceSize) {
        return bytes.size();
    }
    for (size_t end = pieceSize; end > pieceSize - 4; --end) {
        if (!isContinuationByte(static_cast<unsigned char>(bytes[end]))) {
            return end;
        }
    }
    return pieceSize;
}

// Converts UTF-8 to UTF-16, replacing every maximal malformed subsequence by U+FFFD. NUL
// bytes are ordinary characters here because the length is always given.
bool toUtf16(std::string_view bytes, std::vector<UChar>& units) {
    // Every byte yields at most one UTF-16 unit, except a four-byte sequence, which yields two.
    units.resize(bytes.size() + 1);
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(units.data(), static_cast<int32_t>(units.size()), &length, bytes.data(),
                         static_cast<int32_t>(bytes.size()), replacementCharacter, nullptr,
                         &status);
    if (U_FAILURE(status)) {
        return false;
    }
    units.resize(static_cast<size_t>(length));
    return true;
}

bool appendUtf8(const std::vector<UChar>& units, std::string& out) {
    const size_t start = out.size();
    out.resize(start + units.size() * 3 + 1);
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8WithSub(out.data() + start, static_cast<int32_t>(out.size() - start), &length,
                       units.data(), static_cast<int32_t>(units.size()), replacementCharacter,
                       nullptr, &status);
    if (U_FAILURE(status)) {
        out.resize(start);
        return false;
    }
    out.resize(start + static_cast<size_t>(length));
    return true;
}

// Used only if ICU itself fails (it has no memory left): a result that is certainly valid
// UTF-8, with every non-ASCII byte replaced.
void appendAsciiOnly(std::string_view bytes, std::string& out) {
    for (const char byte : bytes) {
        if (static_cast<unsigned char>(byte) < 0x80) {
            out.push_back(byte);
        } else {
            out.append(encodedReplacementCharacter);
        }
    }
}

}  // namespace

std::string replacingMalformedUtf8(std::string_view bytes) {
    // Most lines are plain ASCII; they are valid as they stand.
    const auto firstNonAscii = std::find_if(bytes.begin(), bytes.end(), [](char byte) {
        return static_cast<unsigned char>(byte) >= 0x80;
    });
    std::string out(bytes.begin(), firstNonAscii);
    std::string_view rest = bytes.substr(out.size());
    if (rest.empty()) {
        return out;
    }
    out.reserve(bytes.size() + bytes.size() / 4);
    std::vector<UChar> units;
    while (!rest.empty()) {
        const std::string_view piece = rest.substr(0, nextPieceLength(rest));
        if (!toUtf16(piece, units) || !appendUtf8(units, out)) {
            appendAsciiOnly(piece, out);
        }
        rest.remove_prefix(piece.size());
    }
    return out;
}

std::string lowercased(std::string_view text) {
    std::string out;
    std::vector<UChar> units;
    std::vector<UChar> lower;
    while (!text.empty()) {
        // Pieces only matter for texts of many megabytes, where a context-dependent mapping
        // (such as the final sigma) across a piece boundary is of no consequence.
        const std::string_view piece = text.substr(0, nextPieceLength(text));
        text.remove_prefix(piece.size());
        if (!toUtf16(piece, units)) {
            appendAsciiOnly(piece, out);
            continue;
        }
        // The root locale "" (not the default locale, which is null) gives the same mapping
        // everywhere. A mapping can grow a text, so a too-small buffer is retried at the size
        // ICU asks for.
        lower.resize(units.size() + units.size() / 2 + 1);
        UErrorCode status = U_ZERO_ERROR;
        int32_t length =
            u_strToLower(lower.data(), static_cast<int32_t>(lower.size()), units.data(),
                         static_cast<int32_t>(units.size()), "", &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            lower.resize(static_cast<size_t>(length) + 1);
            status = U_ZERO_ERROR;
            length = u_strToLower(lower.data(), static_cast<int32_t>(lower.size()), units.data(),
                                  static_cast<int32_t>(units.size()), "", &status);
        }
        if (U_FAILURE(status)) {
            appendAsciiOnly(piece, out);
            continue;
        }
        lower.resize(static_cast<size_t>(length));
        if (!appendUtf8(lower, out)) {
            appendAsciiOnly(piece, out);
        }
    }
    return out;
}

}  // namespace sh
