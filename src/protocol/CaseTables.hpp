// The Unicode case data behind lowercased(): the root locale's lowercase mappings, and the
// Cased and Case_Ignorable properties that decide whether a capital sigma ends a word.
// CaseTables.cpp is generated from the Unicode data files by scripts/generate-case-tables.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace sh {

// The code points first, first + step, ... up to last lower-case to themselves plus delta. A
// step of 2 covers the alternating capital and small letters of many blocks.
struct LowercaseRun {
    char32_t first;
    char32_t last;
    std::int32_t delta;
    std::uint32_t step;
};

// A lowercase mapping to more than one code point (U+0130 to "i" and a combining dot above).
struct FullLowercase {
    char32_t codePoint;
    std::uint32_t length;
    char32_t mapping[3];
};

// The code points first to last, inclusive.
struct CodePointRange {
    char32_t first;
    char32_t last;
};

// The Unicode version of the data the tables were generated from, such as "15.0.0".
extern const std::string_view caseTablesUnicodeVersion;
// Sorted by first code point and without overlaps, as are the tables below.
extern const std::span<const LowercaseRun> lowercaseRuns;
extern const std::span<const FullLowercase> fullLowercases;
extern const std::span<const CodePointRange> casedRanges;
extern const std::span<const CodePointRange> caseIgnorableRanges;
// The one code point whose lowercase depends on its context: U+03A3 becomes the final form
// U+03C2 at the end of a word, and its simple mapping U+03C3 elsewhere.
extern const char32_t capitalSigma;
extern const char32_t finalSmallSigma;

}  // namespace sh
