// Fuzzes the framing of the input stream into lines. The input is the byte stream; a few bytes
// taken from its end choose the line length limit and how the stream is cut into pieces. The
// lines delivered must be the same for every cutting, equal to those of a plain reference
// framing, never longer than the limit and never holding a line feed.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.hpp"
#include "app/LineSplitter.hpp"

namespace {

// A delivered line, or "!" for a line dropped as oversized (a delivered line is prefixed
// with "=" so that the two never meet).
using Events = std::vector<std::string>;

const std::string oversized = "!";

// The framing as written down for hosts: every LF ends a line, one CR before it is removed,
// the last line counts without LF unless it is empty, and a line whose bytes before the LF
// exceed the limit is dropped.
Events referenceFraming(std::string_view bytes, size_t limit) {
    Events events;
    size_t start = 0;
    for (;;) {
        const size_t lf = bytes.find('\n', start);
        std::string_view line = bytes.substr(start, lf == std::string_view::npos ? lf : lf - start);
        if (lf == std::string_view::npos && line.empty()) {
            break;
        }
        if (line.size() > limit) {
            events.push_back(oversized);
        } else {
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
            events.push_back("=" + std::string(line));
        }
        if (lf == std::string_view::npos) {
            break;
        }
        start = lf + 1;
    }
    return events;
}

Events split(std::string_view bytes, size_t limit, const std::vector<size_t>& pieceSizes) {
    Events events;
    sh::LineSplitter splitter(
        limit,
        [&](std::string_view line) {
            FUZZ_REQUIRE(line.size() <= limit, "a line of %zu bytes passed the limit of %zu",
                         line.size(), limit);
            FUZZ_REQUIRE(line.find('\n') == std::string_view::npos, "a line holds a line feed");
            events.push_back("=" + std::string(line));
        },
        [&] { events.push_back(oversized); });
    size_t at = 0;
    for (size_t i = 0; at < bytes.size(); ++i) {
        const size_t size = pieceSizes.empty() ? bytes.size() : pieceSizes[i % pieceSizes.size()];
        const std::string_view piece = bytes.substr(at, size);
        splitter.feed(piece);
        at += piece.size();
    }
    splitter.finish();
    return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    const size_t limit = provider.ConsumeIntegralInRange<size_t>(0, 40);
    std::vector<size_t> pieceSizes;
    const size_t pieceCount = provider.ConsumeIntegralInRange<size_t>(1, 4);
    for (size_t i = 0; i < pieceCount; ++i) {
        // Empty pieces are legal: a read never delivers one, but nothing forbids feeding it.
        pieceSizes.push_back(provider.ConsumeIntegralInRange<size_t>(0, 50));
    }
    if (pieceSizes == std::vector<size_t>(pieceCount, 0)) {
        pieceSizes.back() = 1;
    }
    const std::string bytes = provider.ConsumeRemainingBytesAsString();

    const Events expected = referenceFraming(bytes, limit);
    const Events whole = split(bytes, limit, {});
    FUZZ_REQUIRE(whole == expected, "fed whole: %zu events, expected %zu", whole.size(),
                 expected.size());
    FUZZ_REQUIRE(split(bytes, limit, {1}) == expected, "fed byte by byte: events differ");
    FUZZ_REQUIRE(split(bytes, limit, pieceSizes) == expected, "fed in pieces: events differ");
    return 0;
}
