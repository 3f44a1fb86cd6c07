// Compares the core's text rules with ICU's, which they replaced: every code point lower-cased
// alone and around a capital sigma, every byte string of up to three bytes repaired, and
// millions of random byte strings repaired and lower-cased. The results must be identical,
// byte for byte, to what ICU's u_strFromUTF8WithSub and u_strToLower with the root locale give.
// Built only where ICU is installed; the helper itself does not link ICU.
#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>
#include <unicode/uversion.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/CaseTables.hpp"
#include "protocol/Text.hpp"

namespace sh {
namespace {

// ICU's answers, computed the way the helper computed them before it had rules of its own.
class Icu {
  public:
    std::string repaired(std::string_view bytes) {
        toUtf16(bytes);
        return toUtf8(units_);
    }

    std::string lowercased(std::string_view bytes) {
        toUtf16(bytes);
        lower_.resize(units_.size() * 3 + 4);
        UErrorCode status = U_ZERO_ERROR;
        // The root locale "", not the default locale (null).
        const int32_t length =
            u_strToLower(lower_.data(), static_cast<int32_t>(lower_.size()), units_.data(),
                         static_cast<int32_t>(units_.size()), "", &status);
        check(status, "u_strToLower");
        lower_.resize(static_cast<size_t>(length));
        return toUtf8(lower_);
    }

  private:
    static void check(UErrorCode status, const char* function) {
        if (U_FAILURE(status)) {
            ADD_FAILURE() << function << " failed: " << u_errorName(status);
        }
    }

    void toUtf16(std::string_view bytes) {
        units_.resize(bytes.size() + 1);
        int32_t length = 0;
        UErrorCode status = U_ZERO_ERROR;
        u_strFromUTF8WithSub(units_.data(), static_cast<int32_t>(units_.size()), &length,
                             bytes.data(), static_cast<int32_t>(bytes.size()), 0xFFFD, nullptr,
                             &status);
        check(status, "u_strFromUTF8WithSub");
        units_.resize(static_cast<size_t>(length));
    }

    std::string toUtf8(const std::vector<UChar>& units) {
        std::string out(units.size() * 3 + 1, '\0');
        int32_t length = 0;
        UErrorCode status = U_ZERO_ERROR;
        u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &length, units.data(),
                    static_cast<int32_t>(units.size()), &status);
        check(status, "u_strToUTF8");
        out.resize(static_cast<size_t>(length));
        return out;
    }

    std::vector<UChar> units_;
    std::vector<UChar> lower_;
};

// ICU's encoder, so that the inputs do not depend on the code under test.
std::string utf8(char32_t codePoint) {
    char bytes[U8_MAX_LENGTH];
    int32_t length = 0;
    U8_APPEND_UNSAFE(bytes, length, static_cast<UChar32>(codePoint));
    return std::string(bytes, static_cast<size_t>(length));
}

std::string hex(std::string_view bytes) {
    std::string out;
    for (const char byte : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned char>(byte));
        out += out.empty() ? "" : " ";
        out += digits;
    }
    return "[" + out + "]";
}

// Counts comparisons and keeps the first few differences for the failure message.
class Differences {
  public:
    void compare(std::string_view what, std::string_view input, const std::string& ours,
                 const std::string& icus) {
        ++compared_;
        if (ours == icus) {
            return;
        }
        if (++count_ <= 20) {
            text_ += std::string(what) + " of " + hex(input) + ": ours " + hex(ours) + ", ICU " +
                     hex(icus) + "\n";
        }
    }

    uint64_t compared() const { return compared_; }
    uint64_t count() const { return count_; }
    const std::string& text() const { return text_; }

  private:
    uint64_t compared_ = 0;
    uint64_t count_ = 0;
    std::string text_;
};

std::string versionText(const UVersionInfo version) {
    char text[U_MAX_VERSION_STRING_LENGTH];
    u_versionToString(version, text);
    return text;
}

// Whether the linked ICU has the Unicode version the tables were generated from. Another
// version would differ in its data, not in its rules, so the case comparisons are skipped then.
bool sameUnicodeVersion(std::string& description) {
    UVersionInfo icuUnicode;
    u_getUnicodeVersion(icuUnicode);
    UVersionInfo tables;
    const std::string tablesText(caseTablesUnicodeVersion);
    u_versionFromString(tables, tablesText.c_str());
    UVersionInfo icu;
    u_getVersion(icu);
    description = "ICU " + versionText(icu) + " (Unicode " + versionText(icuUnicode) +
                  "), tables of Unicode " + tablesText;
    return std::equal(icuUnicode, icuUnicode + U_MAX_VERSION_LENGTH, tables);
}

void report(const Differences& differences, std::string_view what) {
    std::printf("[          ] %llu %.*s compared with ICU, %llu different\n",
                static_cast<unsigned long long>(differences.compared()),
                static_cast<int>(what.size()), what.data(),
                static_cast<unsigned long long>(differences.count()));
    EXPECT_EQ(differences.count(), 0u) << differences.text();
}

// Each code point alone, and in contexts that show how it counts for a capital sigma: before
// one (cased and not case-ignorable makes the sigma final), between a cased letter and one
// (case-ignorable or cased makes it final), and after one, with or without a cased letter
// following (case-ignorable or not cased makes it final; cased does not).
TEST(TextComparedWithIcu, LowercasesEveryCodePointAlike) {
    std::string versions;
    if (!sameUnicodeVersion(versions)) {
        GTEST_SKIP() << versions;
    }
    std::printf("[          ] %s\n", versions.c_str());
    const std::string sigma = utf8(0x03A3);
    Icu icu;
    Differences differences;
    for (char32_t codePoint = 0; codePoint <= 0x10FFFF; ++codePoint) {
        if (codePoint >= 0xD800 && codePoint <= 0xDFFF) {
            continue;
        }
        const std::string character = utf8(codePoint);
        for (const std::string& text :
             {character, character + sigma, "A" + character + sigma, "A" + sigma + character,
              "A" + sigma + character + "A", sigma + character}) {
            differences.compare("lowercased", text, lowercased(text), icu.lowercased(text));
        }
    }
    report(differences, "lower-casings of every code point in six contexts");
}

TEST(TextComparedWithIcu, RepairsEveryShortByteStringAlike) {
    Icu icu;
    Differences differences;
    std::string bytes;
    for (size_t length = 1; length <= 3; ++length) {
        bytes.assign(length, '\0');
        for (uint32_t value = 0; value < (uint32_t{1} << (8 * length)); ++value) {
            for (size_t index = 0; index < length; ++index) {
                bytes[index] = static_cast<char>(value >> (8 * index));
            }
            differences.compare("replacingMalformedUtf8", bytes, replacingMalformedUtf8(bytes),
                                icu.repaired(bytes));
        }
    }
    report(differences, "repairs of every string of one to three bytes");
}

// Random byte strings made of pieces that matter: lead and continuation bytes at the edges of
// their ranges, whole and truncated sequences of random code points, the capital sigma, and
// cased, case-ignorable and uncased characters around it.
class RandomText {
  public:
    explicit RandomText(uint64_t seed) : random_(seed) {}

    std::string next(size_t maximumPieces) {
        std::string text;
        const size_t pieces = below(maximumPieces + 1);
        for (size_t piece = 0; piece < pieces; ++piece) {
            appendPiece(text);
        }
        return text;
    }

  private:
    size_t below(size_t limit) {
        return std::uniform_int_distribution<size_t>(0, limit - 1)(random_);
    }

    char32_t randomCodePoint() {
        // Mostly the first planes, where nearly all the case mappings are.
        const char32_t limit = below(4) == 0 ? 0x10FFFF : 0x1FFFF;
        char32_t codePoint = 0;
        do {
            codePoint = static_cast<char32_t>(below(limit + 1));
        } while (codePoint >= 0xD800 && codePoint <= 0xDFFF);
        return codePoint;
    }

    void appendPiece(std::string& text) {
        static constexpr unsigned char edgeBytes[] = {
            0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
            0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF3, 0xF4, 0xF5, 0xFF};
        static constexpr char32_t sigmaNeighbours[] = {
            0x03A3, 0x03A3, 0x03A3, 0x0391, 0x03C3, 0x0130, 0x0345, 0x0301, 0x00AD, 0x02B0,
            0x1E9E, 0x0027, 0x002E, 0x003A, 0x0020, 0x002D, 0x0031, 0x0041, 0x0061, 0xFFFD};
        switch (below(6)) {
            case 0:
                text.push_back(static_cast<char>(edgeBytes[below(std::size(edgeBytes))]));
                break;
            case 1:
                text.push_back(static_cast<char>(below(256)));
                break;
            case 2:
            case 3:
                text += utf8(sigmaNeighbours[below(std::size(sigmaNeighbours))]);
                break;
            case 4:
                text += utf8(randomCodePoint());
                break;
            default: {
                const std::string whole = utf8(randomCodePoint());
                text += whole.substr(0, below(whole.size()));
                break;
            }
        }
    }

    std::mt19937_64 random_;
};

TEST(TextComparedWithIcu, RepairsAndLowercasesRandomBytesAlike) {
    std::string versions;
    const bool lowerCaseToo = sameUnicodeVersion(versions);
    if (!lowerCaseToo) {
        std::printf("[          ] lower-casing not compared: %s\n", versions.c_str());
    }
    // A fixed seed, so that a failure can be repeated.
    RandomText random(20240611);
    Icu icu;
    Differences differences;
    constexpr int stringCount = 3'000'000;
    for (int index = 0; index < stringCount; ++index) {
        const std::string text = random.next(12);
        differences.compare("replacingMalformedUtf8", text, replacingMalformedUtf8(text),
                            icu.repaired(text));
        if (lowerCaseToo) {
            differences.compare("lowercased", text, lowercased(text), icu.lowercased(text));
        }
    }
    // A few long texts, so that well-formed stretches are copied across many replacements.
    for (int index = 0; index < 16; ++index) {
        const std::string text = random.next(40'000);
        differences.compare("replacingMalformedUtf8", text, replacingMalformedUtf8(text),
                            icu.repaired(text));
        if (lowerCaseToo) {
            differences.compare("lowercased", text, lowercased(text), icu.lowercased(text));
        }
    }
    report(differences, "repairs and lower-casings of random byte strings");
}

// The mapping must not follow ICU's default locale (nor any other): in Turkish, "I" would
// become dotless and "İ" would lose its dot.
TEST(Lowercased, IgnoresTheDefaultLocale) {
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault("tr_TR", &status);
    ASSERT_TRUE(U_SUCCESS(status));
    const std::string lowered = lowercased("TITLE \xC4\xB0");
    uloc_setDefault(nullptr, &status);
    EXPECT_EQ(lowered, "title i\xCC\x87");
}

}  // namespace
}  // namespace sh
