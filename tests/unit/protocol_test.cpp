// Tests of the line protocol: decoding input lines into commands, repairing and lower-casing
// text, and writing messages as whole lines from several threads.
#include "protocol/Protocol.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "TestPipe.hpp"
#include "protocol/Text.hpp"

namespace sh {
namespace {

using nlohmann::json;

// A decoded command as comparable text: only present fields appear, so an absent field and
// a present one never look alike.
std::string show(const std::optional<Command>& command) {
    if (!command) {
        return "invalid";
    }
    json shown = json::object();
    shown["command"] = command->command;
    if (command->requestId) {
        shown["requestId"] = *command->requestId;
    }
    if (command->targets) {
        shown["targets"] = json::array();
        for (const Target& target : *command->targets) {
            json element = {{"id", target.id}, {"name", target.name}};
            if (target.bundleId) {
                element["bundleId"] = *target.bundleId;
            }
            shown["targets"].push_back(element);
        }
    }
    if (command->endsAt) {
        shown["endsAt"] = *command->endsAt;
    }
    if (command->permissionPrompt) {
        shown["permissionPrompt"] = *command->permissionPrompt;
    }
    // Throws (and fails the test) if a decoded text is not valid UTF-8.
    return shown.dump(-1, ' ', false, json::error_handler_t::strict);
}

struct DecodeCase {
    std::string name;
    std::string line;
    std::optional<Command> expected;
};

Command named(std::string name) {
    Command command;
    command.command = std::move(name);
    return command;
}
Command stop() {
    return named("stop");
}
Command withRequestId(int64_t id) {
    Command command = stop();
    command.requestId = id;
    return command;
}
Command withEndsAt(double endsAt) {
    Command command = named("start");
    command.endsAt = endsAt;
    return command;
}
Command withTargets(std::vector<Target> targets) {
    Command command = named("start");
    command.targets = std::move(targets);
    return command;
}
Command withPrompt(bool prompt) {
    Command command = named("request-permission");
    command.permissionPrompt = prompt;
    return command;
}
Command withEveryField() {
    Command command = withTargets({{"t1", "Safari", "com.apple.Safari"}, {"t2", "Notes", {}}});
    command.requestId = 3;
    command.endsAt = 1700000000000.0;
    command.permissionPrompt = false;
    return command;
}
const std::optional<Command> invalid = std::nullopt;

std::string withNul(std::string_view before, std::string_view after) {
    std::string line(before);
    line.push_back('\0');
    line.append(after);
    return line;
}

std::vector<DecodeCase> decodeCases() {
    const std::string big400 = "1" + std::string(400, '0');
    return {
        // Framing.
        {"only command", R"({"command":"stop"})", stop()},
        {"whitespace around", " \t{ \"command\" : \"stop\" }\r ", stop()},
        {"empty line", "", invalid},
        {"spaces only", "   ", invalid},
        {"array", R"([{"command":"stop"}])", invalid},
        {"bare string", R"("stop")", invalid},
        {"bare number", "5", invalid},
        {"null document", "null", invalid},
        {"two objects", R"({"command":"stop"}{"command":"stop"})", invalid},
        {"two objects with space", R"({"command":"stop"} {"command":"stop"})", invalid},
        {"trailing characters", R"({"command":"stop"}x)", invalid},
        {"trailing comma", R"({"command":"stop",})", invalid},
        {"unterminated object", R"({"command":"stop")", invalid},
        {"single quotes", R"({'command':'stop'})", invalid},
        {"comment", R"({"command":"stop"} /* note */)", invalid},
        {"byte-order mark", "\xEF\xBB\xBF{\"command\":\"stop\"}", invalid},
        {"NUL after the object", withNul(R"({"command":"stop"})", "garbage"), invalid},
        {"NUL after the object alone", withNul(R"({"command":"stop"})", ""), invalid},
        {"NUL before the object", withNul("", R"({"command":"stop"})"), invalid},
        {"NUL inside a string", withNul(R"({"command":"st)", R"(op"})"), invalid},
        {"raw control character in a string", "{\"command\":\"st\top\"}", invalid},
        {"escaped NUL in a string", R"({"command":"stop\u0000"})", named(std::string("stop\0", 5))},
        {"escaped surrogate pair", R"({"command":"\ud83d\ude00"})", named("\xF0\x9F\x98\x80")},
        {"lone escaped surrogate", R"({"command":"\ud800"})", invalid},

        // "command".
        {"command missing", R"({"requestId":1})", invalid},
        {"command null", R"({"command":null,"requestId":1})", invalid},
        {"command number", R"({"command":5})", invalid},
        {"command boolean", R"({"command":true})", invalid},
        {"command array", R"({"command":["stop"]})", invalid},
        {"command object", R"({"command":{"name":"stop"}})", invalid},
        {"command in other case is kept", R"({"command":" Stop "})", named(" Stop ")},
        {"key in other case is not command", R"({"Command":"stop"})", invalid},

        // "requestId".
        {"requestId", R"({"command":"stop","requestId":42})", withRequestId(42)},
        {"requestId null", R"({"command":"stop","requestId":null})", stop()},
        {"requestId negative", R"({"command":"stop","requestId":-7})", withRequestId(-7)},
        {"requestId minus zero", R"({"command":"stop","requestId":-0})", withRequestId(0)},
        {"requestId largest", R"({"command":"stop","requestId":9223372036854775807})",
         withRequestId(INT64_MAX)},
        {"requestId smallest", R"({"command":"stop","requestId":-9223372036854775808})",
         withRequestId(INT64_MIN)},
        {"requestId one too large", R"({"command":"stop","requestId":9223372036854775808})",
         invalid},
        {"requestId one too small", R"({"command":"stop","requestId":-9223372036854775809})",
         invalid},
        {"requestId beyond 64 bits", R"({"command":"stop","requestId":18446744073709551616})",
         invalid},
        {"requestId 1.0", R"({"command":"stop","requestId":1.0})", withRequestId(1)},
        {"requestId 1e3", R"({"command":"stop","requestId":1e3})", withRequestId(1000)},
        {"requestId 1E+3", R"({"command":"stop","requestId":1E+3})", withRequestId(1000)},
        {"requestId 150e-1", R"({"command":"stop","requestId":150e-1})", withRequestId(15)},
        {"requestId 0e999999", R"({"command":"stop","requestId":0e999999})", withRequestId(0)},
        {"requestId largest with fraction zeros",
         R"({"command":"stop","requestId":9223372036854775807.000})", withRequestId(INT64_MAX)},
        {"requestId smallest as exponent",
         R"({"command":"stop","requestId":-9.223372036854775808e18})", withRequestId(INT64_MIN)},
        {"requestId rounding to the largest as a double",
         R"({"command":"stop","requestId":9223372036854775807.5})", invalid},
        {"requestId 1e19", R"({"command":"stop","requestId":1e19})", invalid},
        {"requestId 1.5", R"({"command":"stop","requestId":1.5})", invalid},
        {"requestId 15e-1", R"({"command":"stop","requestId":15e-1})", invalid},
        {"requestId 1e-400", R"({"command":"stop","requestId":1e-400})", invalid},
        {"requestId 1e400", R"({"command":"stop","requestId":1e400})", invalid},
        {"requestId string", R"({"command":"stop","requestId":"5"})", invalid},
        {"requestId boolean", R"({"command":"stop","requestId":true})", invalid},
        {"requestId array", R"({"command":"stop","requestId":[5]})", invalid},
        {"requestId in other case is ignored", R"({"command":"stop","RequestId":"x"})", stop()},

        // "endsAt".
        {"endsAt fraction", R"({"command":"start","endsAt":1700000000000.5})",
         withEndsAt(1700000000000.5)},
        {"endsAt integer", R"({"command":"start","endsAt":1700000000000})",
         withEndsAt(1700000000000.0)},
        {"endsAt negative", R"({"command":"start","endsAt":-1})", withEndsAt(-1.0)},
        {"endsAt beyond 64-bit integers", R"({"command":"start","endsAt":18446744073709551616})",
         withEndsAt(18446744073709551616.0)},
        {"endsAt largest double", R"({"command":"start","endsAt":1.7976931348623157e308})",
         withEndsAt(1.7976931348623157e308)},
        {"endsAt underflowing to zero", R"({"command":"start","endsAt":1e-400})", withEndsAt(0.0)},
        {"endsAt null", R"({"command":"start","endsAt":null})", named("start")},
        {"endsAt beyond doubles", R"({"command":"start","endsAt":1e400})", invalid},
        {"endsAt negative beyond doubles", R"({"command":"start","endsAt":-1e400})", invalid},
        {"endsAt 400 digits", R"({"command":"start","endsAt":)" + big400 + "}", invalid},
        {"endsAt string", R"({"command":"start","endsAt":"1700000000000"})", invalid},
        {"endsAt boolean", R"({"command":"start","endsAt":false})", invalid},
        {"endsAt object", R"({"command":"start","endsAt":{}})", invalid},

        // "permissionPrompt".
        {"permissionPrompt true", R"({"command":"request-permission","permissionPrompt":true})",
         withPrompt(true)},
        {"permissionPrompt false", R"({"command":"request-permission","permissionPrompt":false})",
         withPrompt(false)},
        {"permissionPrompt null", R"({"command":"request-permission","permissionPrompt":null})",
         named("request-permission")},
        {"permissionPrompt number", R"({"command":"request-permission","permissionPrompt":1})",
         invalid},
        {"permissionPrompt string", R"({"command":"request-permission","permissionPrompt":"true"})",
         invalid},

        // "targets" and each target.
        {"every field",
         R"({"command":"start","requestId":3,"targets":[{"id":"t1","name":"Safari",)"
         R"("bundleId":"com.apple.Safari"},{"id":"t2","name":"Notes"}],)"
         R"("endsAt":1700000000000,"permissionPrompt":false})",
         withEveryField()},
        {"targets empty", R"({"command":"start","targets":[]})", withTargets({})},
        {"targets null", R"({"command":"start","targets":null})", named("start")},
        {"target bundleId null",
         R"({"command":"start","targets":[{"id":"a","name":"A",)"
         R"("bundleId":null}]})",
         withTargets({{"a", "A", std::nullopt}})},
        {"target unknown keys ignored, nested ones too",
         R"({"command":"start","targets":[{"id":"a","x":{"id":5,"name":[]},"name":"A",)"
         R"("y":[{"id":1}]}]})",
         withTargets({{"a", "A", std::nullopt}})},
        {"target without name",
         R"({"command":"start","targets":[{"id":"a","name":"A"},)"
         R"({"id":"b"}]})",
         invalid},
        {"target without id", R"({"command":"start","targets":[{"name":"A"}]})", invalid},
        {"target name null", R"({"command":"start","targets":[{"id":"a","name":null}]})", invalid},
        {"target id number", R"({"command":"start","targets":[{"id":1,"name":"A"}]})", invalid},
        {"target name object", R"({"command":"start","targets":[{"id":"a","name":{"text":"A"}}]})",
         invalid},
        {"target bundleId number",
         R"({"command":"start","targets":[{"id":"a","name":"A","bundleId":7}]})", invalid},
        {"target null element", R"({"command":"start","targets":[null]})", invalid},
        {"target string element", R"({"command":"start","targets":["a"]})", invalid},
        {"target array element", R"({"command":"start","targets":[[{"id":"a","name":"A"}]]})",
         invalid},
        {"targets object", R"({"command":"start","targets":{"id":"a","name":"A"}})", invalid},
        {"targets string", R"({"command":"start","targets":"a"})", invalid},

        // Unknown keys.
        {"unknown keys of every type",
         R"({"x":1,"command":"stop","y":[1,"a",null,{"command":5}],"z":{"requestId":"no",)"
         R"("targets":5,"endsAt":"no"},"w":-1.5e300,"v":true})",
         stop()},
        {"known names nested in an unknown key are ignored",
         R"({"command":"stop","meta":{"command":null,"targets":[1],"requestId":1.5}})", stop()},
        {"unknown key holding malformed JSON", R"({"command":"stop","x":[1,]})", invalid},

        // Repeated keys: the last occurrence counts.
        {"repeated command, last valid", R"({"command":5,"command":"stop"})", stop()},
        {"repeated command, last null", R"({"command":"stop","command":null})", invalid},
        {"repeated requestId, last null", R"({"command":"stop","requestId":1,"requestId":null})",
         stop()},
        {"repeated requestId, first wrong", R"({"command":"stop","requestId":"x","requestId":2})",
         withRequestId(2)},
        {"repeated targets, first invalid",
         R"({"command":"start","targets":[{"id":"a"}],"targets":[{"id":"b","name":"B"}]})",
         withTargets({{"b", "B", std::nullopt}})},
        {"repeated targets, last invalid",
         R"({"command":"start","targets":[{"id":"b","name":"B"}],"targets":[1]})", invalid},
        {"repeated target key", R"({"command":"start","targets":[{"id":1,"id":"a","name":"A"}]})",
         withTargets({{"a", "A", std::nullopt}})},

        // Numbers beyond the range of a double count only where they are used.
        {"overflowing number in an unknown key", R"({"command":"stop","x":1e400})", stop()},
        {"overflowing numbers among others",
         R"({"x":[1e400,2,-1e999,)" + big400 + R"(],"command":"stop","requestId":9})",
         withRequestId(9)},
        {"overflowing number before endsAt", R"({"x":1e400,"command":"start","endsAt":5})",
         withEndsAt(5.0)},
        {"overflowing number inside a target",
         R"({"command":"start","targets":[{"id":"a","name":"A","n":1e400}]})",
         withTargets({{"a", "A", std::nullopt}})},
        {"overflowing endsAt after an ignored one",
         R"({"command":"start","x":1e400,"endsAt":1e400})", invalid},
        {"overflowing requestId after an ignored one",
         R"({"command":"start","x":-1e400,"requestId":1e400})", invalid},
        {"number-like text is left alone", R"({"command":"1e400","x":"2e999","y":3e999})",
         named("1e400")},
        {"overflowing number followed by garbage", R"({"command":"stop","x":1e400e5})", invalid},
        {"overflowing number and malformed JSON", R"({"command":"stop","x":1e400,})", invalid},

        // Malformed UTF-8.
        {"invalid bytes in command", "{\"command\":\"st\xFFop\"}", named("st\xEF\xBF\xBDop")},
        {"invalid bytes in a target name",
         "{\"command\":\"start\",\"targets\":[{\"id\":\"a\",\"name\":\"\xC3\"}]}",
         withTargets({{"a", "\xEF\xBF\xBD", std::nullopt}})},
        {"invalid byte outside strings", "{\"command\":\"stop\"}\xFF", invalid},
        {"invalid byte before the object", "\x80{\"command\":\"stop\"}", invalid},
    };
}

TEST(DecodeCommand, FollowsTheDecodingRules) {
    for (const DecodeCase& c : decodeCases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(show(decodeCommand(c.line)), show(c.expected)) << c.line;
    }
}

std::string nested(size_t depth, std::string_view open, std::string_view inner,
                   std::string_view close) {
    std::string text;
    text.reserve(depth * (open.size() + close.size()) + inner.size());
    for (size_t i = 0; i < depth; ++i) {
        text.append(open);
    }
    text.append(inner);
    for (size_t i = 0; i < depth; ++i) {
        text.append(close);
    }
    return text;
}

TEST(DecodeCommand, SurvivesDeepNesting) {
    constexpr size_t depth = 100000;
    const std::string arrays = nested(depth, "[", "", "]");
    const std::string objects = nested(depth, R"({"a":)", "1", "}");
    EXPECT_EQ(show(decodeCommand(R"({"command":"stop","x":)" + arrays + "}")), show(stop()));
    EXPECT_EQ(show(decodeCommand(R"({"x":)" + objects + R"(,"command":"stop"})")), show(stop()));
    EXPECT_EQ(show(decodeCommand(R"({"command":"start","targets":[{"id":"a","x":)" + arrays +
                                 R"(,"name":"A"}]})")),
              show(withTargets({{"a", "A", std::nullopt}})));
    EXPECT_EQ(show(decodeCommand(arrays)), "invalid");
    EXPECT_EQ(show(decodeCommand(objects)), "invalid");
    EXPECT_EQ(show(decodeCommand(std::string(depth, '['))), "invalid");
    EXPECT_EQ(show(decodeCommand(R"({"command":"stop","x":)" + std::string(depth, '{'))),
              "invalid");
}

TEST(DecodeCommand, ReadsMultiMegabyteLines) {
    const std::string longName(4 << 20, 'n');
    const auto decoded = decodeCommand(R"({"padding":")" + std::string(4 << 20, 'p') +
                                       R"(","command":"start","targets":[{"id":"a","name":")" +
                                       longName + R"("}]})");
    ASSERT_TRUE(decoded && decoded->targets && decoded->targets->size() == 1);
    EXPECT_EQ((*decoded->targets)[0].name, longName);

    // Invalid bytes scattered through a long text are each replaced.
    std::string scattered;
    std::string repaired;
    for (int i = 0; i < 500000; ++i) {
        scattered += "ab\xFF\xC3\xA9";
        repaired += "ab\xEF\xBF\xBD\xC3\xA9";
    }
    const auto withInvalidBytes = decodeCommand(R"({"command":")" + scattered + R"("})");
    ASSERT_TRUE(withInvalidBytes);
    EXPECT_EQ(withInvalidBytes->command, repaired);
}

constexpr std::string_view fffd = "\xEF\xBF\xBD";

std::string repeat(std::string_view text, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        out.append(text);
    }
    return out;
}

TEST(ReplacingMalformedUtf8, ReplacesEachMaximalMalformedSubsequence) {
    struct Case {
        std::string bytes;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"", ""},
        {"plain ASCII", "plain ASCII"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
        {"\xFF", std::string(fffd)},
        {"a\xFE\xFFz", "a" + repeat(fffd, 2) + "z"},
        // A truncated sequence is one replacement, and the byte after it is kept.
        {"\xE2\x82", std::string(fffd)},
        {"\xE2\x82z", std::string(fffd) + "z"},
        {"\xF0\x9F\x98", std::string(fffd)},
        // Stray continuation bytes, overlong forms, encoded surrogates and code points above
        // U+10FFFF are replaced byte by byte.
        {"\x80\xBF", repeat(fffd, 2)},
        {"\xC0\xAF", repeat(fffd, 2)},
        {"\xE0\x80\xAF", repeat(fffd, 3)},
        {"\xED\xA0\x80", repeat(fffd, 3)},
        {"\xF4\x90\x80\x80", repeat(fffd, 4)},
        {"\xF5z", std::string(fffd) + "z"},
        // The first and last well-formed sequences of each length, the code points either side
        // of the surrogates, noncharacters and U+FFFD itself stay as they are.
        {"\xC2\x80\xDF\xBF", "\xC2\x80\xDF\xBF"},
        {"\xE0\xA0\x80\xEF\xBF\xBF", "\xE0\xA0\x80\xEF\xBF\xBF"},
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
        {"\xED\x9F\xBF\xEE\x80\x80", "\xED\x9F\xBF\xEE\x80\x80"},
        {"\xEF\xBF\xBE\xEF\xB7\x90", "\xEF\xBF\xBE\xEF\xB7\x90"},
        {std::string(fffd), std::string(fffd)},
        // Every encoded surrogate, from the first to the last.
        {"\xED\xBF\xBF", repeat(fffd, 3)},
        {"\xED\xB0\x80\xED\xAF\xBF", repeat(fffd, 6)},
        // Overlong forms of every length, the overlong NUL among them.
        {"\xC0\x80", repeat(fffd, 2)},
        {"\xC1\xBF", repeat(fffd, 2)},
        {"\xE0\x9F\xBF", repeat(fffd, 3)},
        {"\xF0\x8F\xBF\xBF", repeat(fffd, 4)},
        // Beyond U+10FFFF, and the five- and six-byte forms UTF-8 no longer has.
        {"\xF5\x80\x80\x80", repeat(fffd, 4)},
        {"\xF7\xBF\xBF\xBF", repeat(fffd, 4)},
        {"\xF8\x88\x80\x80\x80", repeat(fffd, 5)},
        {"\xFC\x84\x80\x80\x80\x80", repeat(fffd, 6)},
        // Truncated at the end: one replacement for the whole beginning.
        {"a\xC3", "a" + std::string(fffd)},
        {"\xF4\x8F\xBF", std::string(fffd)},
        {"\xF0\x9F", std::string(fffd)},
        // Truncated in the middle: the byte that ends it starts over, whatever it is.
        {"\xF0\x9F\x98\xE2\x82\xAC", std::string(fffd) + "\xE2\x82\xAC"},
        {"\xE2\x82\xE2\x82", repeat(fffd, 2)},
        {"\xF0\x9F\xC3\xA9", std::string(fffd) + "\xC3\xA9"},
        {"\xE2\xF0\x9F\x98\x80", std::string(fffd) + "\xF0\x9F\x98\x80"},
        {std::string("\xC3\0", 2), std::string(fffd) + std::string(1, '\0')},
        // A second byte outside its lead's range ends the subpart after the lead alone.
        {"\xE0\x80", repeat(fffd, 2)},
        {"\xF0\x80\x80", repeat(fffd, 3)},
        {"\xF4\x90", repeat(fffd, 2)},
        {"\xED\xA0", repeat(fffd, 2)},
        {"\xE1\x80\x80\x80", "\xE1\x80\x80" + std::string(fffd)},
        // NUL bytes are characters like any other.
        {std::string("\0\xC3\xA9\0\xFF\0", 6),
         std::string("\0\xC3\xA9\0", 4) + std::string(fffd) + std::string(1, '\0')},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(replacingMalformedUtf8(c.bytes), c.expected) << json(c.expected).dump();
    }
}

// A text of more than 1 MiB is repaired as a whole: every sequence near the 1 MiB mark stays
// whole, whichever of its bytes falls on the mark (where an earlier version cut texts into
// pieces).
TEST(ReplacingMalformedUtf8, KeepsSequencesWholeInVeryLongTexts) {
    const std::string tail = "\xF0\x9F\x98\x80\x80\x80\x80\x80\x80\xF0\x9F\x98z\xC3\xA9";
    const std::string repairedTail = replacingMalformedUtf8(tail);
    ASSERT_EQ(repairedTail, "\xF0\x9F\x98\x80" + repeat(fffd, 6) + "z\xC3\xA9");
    // Starts with a non-ASCII character so that the whole text goes through the conversion.
    const std::string prefix = repeat("\xC3\xA9", (size_t{1} << 19) - 8);
    for (size_t shift = 0; shift < tail.size(); ++shift) {
        SCOPED_TRACE(shift);
        const std::string head = prefix + std::string(16 - shift, 'a');
        const std::string out = replacingMalformedUtf8(head + tail);
        ASSERT_EQ(out.size(), head.size() + repairedTail.size());
        EXPECT_TRUE(out.compare(0, head.size(), head) == 0);
        EXPECT_EQ(out.substr(head.size()), repairedTail);
    }
}

TEST(Lowercased, UsesTheFullLocaleIndependentMapping) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"", ""},
        {"COM.Apple.Safari", "com.apple.safari"},
        {"\xC3\x89"
         "COLE",
         "\xC3\xA9"
         "cole"},                   // ÉCOLE -> école
        {"\xC4\xB0", "i\xCC\x87"},  // İ -> i + combining dot above
        // ΟΔΟΣ -> οδος, with the final sigma at the end of the word.
        {"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3", "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82"},
        {"\xCE\xA3\xCE\x9F", "\xCF\x83\xCE\xBF"},  // ΣΟ -> σο: not final
        {"Stra\xC3\x9F"
         "e",
         "stra\xC3\x9F"
         "e"},                         // ß stays
        {"\xE1\xBA\x9E", "\xC3\x9F"},  // ẞ -> ß
        {"I", "i"},
        {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},  // Deseret, outside the BMP
        // The root locale's rules: no dotless i, and İ keeps its dot as a combining mark.
        {"I\u0130I", "ii\u0307i"},
        {"\u0130\u0301", "i\u0307\u0301"},
        // The sigma is final after a cased letter of any script when no cased letter follows;
        // case-ignorable marks and punctuation between are looked past on either side.
        {"\u03A3", "\u03C3"},
        {"\u03A3\u03A3", "\u03C3\u03C2"},
        {"A\u03A3", "a\u03C2"},
        {"\u0391\u03A3 \u0392\u03A3", "\u03B1\u03C2 \u03B2\u03C2"},
        {"\u0391\u03A3\u0391", "\u03B1\u03C3\u03B1"},
        {"\u0391\u03A3.", "\u03B1\u03C2."},
        {"\u0391\u03A3.\u0391", "\u03B1\u03C3.\u03B1"},
        {"\u0391.\u03A3", "\u03B1.\u03C2"},
        {"\u0391'\u0301\u03A3", "\u03B1'\u0301\u03C2"},
        {"\u0391\u03A3\u0301", "\u03B1\u03C2\u0301"},
        {"\u0391\u03A3\u0301\u0392", "\u03B1\u03C3\u0301\u03B2"},
        {"com.example\u03A3.app", "com.example\u03C3.app"},
        {"1\u03A3", "1\u03C3"},
        {"\u0391\u03A31", "\u03B1\u03C21"},
        {"\u0391-\u03A3", "\u03B1-\u03C3"},
        // U+0345 is both cased and case-ignorable; it counts as case-ignorable.
        {"\u0345\u03A3", "\u0345\u03C3"},
        {"\u0391\u03A3\u0345", "\u03B1\u03C2\u0345"},
        {"\u0391\u0345\u03A3", "\u03B1\u0345\u03C2"},
        // A replaced byte and NUL are neither cased nor case-ignorable.
        {"\u0391\xFF\u03A3", "\u03B1\uFFFD\u03C3"},
        {"\u0391\u03A3\xED\xA0\x80\u0391", "\u03B1\u03C2\uFFFD\uFFFD\uFFFD\u03B1"},
        {std::string("\u0391\0\u03A3", 5), std::string("\u03B1\0\u03C3", 5)},
        {std::string("A\0B", 3), std::string("a\0b", 3)},
        // Small letters, final sigma and uncased characters stay as they are.
        {"\u03C3\u03C2\u01C6\u4E2D\uAC00\u0660", "\u03C3\u03C2\u01C6\u4E2D\uAC00\u0660"},
        // Mixed scripts, title-case digraphs and letter-like symbols; some mappings change the
        // length of the UTF-8 form (Ⱥ takes two bytes, ⱥ three; Ω three, ω two).
        {"\u00C0\u0414\u0531\u10A0\u13A0\U0001E900", "\u00E0\u0434\u0561\u2D00\uAB70\U0001E922"},
        {"\u01C4\u01C5\u01C6", "\u01C6\u01C6\u01C6"},
        {"\u212A\u2126\u212B\u2160\u24B6", "k\u03C9\u00E5\u2170\u24D0"},
        {"\u023A\u03F4", "\u2C65\u03B8"},
        // Malformed bytes are replaced first, as by replacingMalformedUtf8.
        {"A\xC3", "a\uFFFD"},
        {"\xC0\xAF"
         "B\xF0\x9F\x98",
         "\uFFFD\uFFFDb\uFFFD"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lowercased(c.text), c.expected) << c.text;
    }
}

// Captures emitted lines instead of writing them to standard output.
class EmitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setOutputSink([this](std::string_view line) { lines.emplace_back(line); });
    }
    void TearDown() override { setOutputSink({}); }

    std::vector<std::string> lines;
};

TEST_F(EmitTest, WritesOneCompactLine) {
    Message message = errorMessage(texts::invalidCommand);
    emit(message);
    Message status = {{"type", "status"}, {"requestId", -5},        {"watcherRunning", true},
                      {"shieldCount", 2}, {"permission", "denied"}, {"appName", "Caf\xC3\xA9"}};
    emit(status);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], R"({"message":"Native helper received an invalid command.","type":"error"})"
                        "\n");
    EXPECT_EQ(lines[1].find_first_of("\n"), lines[1].size() - 1);
    EXPECT_EQ(lines[1].find(": "), std::string::npos);
    EXPECT_EQ(lines[1].find(", "), std::string::npos);
    EXPECT_EQ(json::parse(lines[1]), status);
}

TEST_F(EmitTest, DropsMessagesThatCannotBeSerialised) {
    emit({{"type", "accessAttempt"}, {"appName", "bad \xFF text"}});
    emit({{"type", "status"}, {"coverageError", std::string("\xC3")}});
    emit({{"bad \xC0 key", 1}});
    emit(json::array({1, 2}));
    emit(json("text"));
    EXPECT_TRUE(lines.empty());
    emit(errorMessage(texts::unknownCommand));
    EXPECT_EQ(lines.size(), 1u);
}

// Each thread numbers its messages; every captured line must be one whole message, and each
// thread's messages must arrive complete and in order.
void checkLinesFromThreads(const std::vector<std::string>& lines, int threads, int perThread) {
    std::vector<int> next(static_cast<size_t>(threads), 0);
    for (const std::string& line : lines) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.find('\n'), line.size() - 1);
        // Not parsed with exceptions: their text would quote the whole of a long line.
        const json message = json::parse(line, nullptr, false);
        ASSERT_TRUE(message.is_object()) << "a line of " << line.size() << " bytes is broken";
        const int thread = message.at("thread").get<int>();
        EXPECT_EQ(message.at("sequence").get<int>(), next[static_cast<size_t>(thread)]++);
    }
    for (const int count : next) {
        EXPECT_EQ(count, perThread);
    }
}

TEST_F(EmitTest, LinesFromTwoThreadsStayWhole) {
    constexpr int perThread = 5000;
    auto writer = [](int thread) {
        for (int i = 0; i < perThread; ++i) {
            emit({{"type", "status"}, {"thread", thread}, {"sequence", i}});
        }
    };
    std::thread first(writer, 0);
    std::thread second(writer, 1);
    first.join();
    second.join();
    ASSERT_EQ(lines.size(), 2u * perThread);
    checkLinesFromThreads(lines, 2, perThread);
}

// Points standard output at a pipe until `finish`, and collects everything written to it on a
// reader thread once `startReading` is called.
class StandardOutputPipe {
  public:
    explicit StandardOutputPipe(bool nonBlocking) {
        int ends[2];
        if (!test::openPipe(ends)) {
            return;
        }
        readEnd_ = ends[0];
        if (nonBlocking && !test::makeNonBlocking(ends[1])) {
            test::closeEnd(ends[1]);
            return;
        }
        savedOutput_ = test::redirectStandardOutput(ends[1]);
        test::closeEnd(ends[1]);
    }

    bool ok() const { return savedOutput_ >= 0; }

    void startReading() {
        reader_ = std::thread([this] {
            // Reading in small pieces keeps the pipe full, so writes are partial.
            char buffer[4096];
            std::ptrdiff_t count;
            while ((count = test::readSome(readEnd_, buffer, sizeof buffer)) > 0) {
                output_.append(buffer, static_cast<size_t>(count));
            }
        });
    }

    // Restores standard output and returns everything written meanwhile.
    std::string finish() {
        if (!reader_.joinable()) {
            startReading();
        }
        // Lines leave through the writer thread; let it write everything emitted so far.
        EXPECT_TRUE(flushOutput(std::chrono::seconds(20)));
        test::restoreStandardOutput(savedOutput_);
        if (!reader_.joinable()) {
            startReading();
        }
        reader_.join();
        test::closeEnd(readEnd_);
        return output_;
    }

  private:
    int readEnd_ = -1;
    int savedOutput_ = -1;
    std::thread reader_;
    std::string output_;
};

std::vector<std::string> splitLines(const std::string& output) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < output.size()) {
        const size_t end = output.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(output.substr(start));
            break;
        }
        lines.push_back(output.substr(start, end + 1 - start));
        start = end + 1;
    }
    return lines;
}

TEST(EmitToStandardOutput, LargeLinesFromTwoThreadsStayWhole) {
    constexpr int perThread = 20;
    StandardOutputPipe pipe(false);
    ASSERT_TRUE(pipe.ok());
    pipe.startReading();
    auto writer = [](int thread) {
        // Each line is several times the capacity of a pipe.
        const std::string padding(300000, static_cast<char>('a' + thread));
        for (int i = 0; i < perThread; ++i) {
            emit({{"thread", thread}, {"sequence", i}, {"padding", padding}});
        }
    };
    std::thread first(writer, 0);
    std::thread second(writer, 1);
    first.join();
    second.join();
    const std::vector<std::string> lines = splitLines(pipe.finish());
    ASSERT_EQ(lines.size(), 2u * perThread);
    checkLinesFromThreads(lines, 2, perThread);
}

// A host may hand over a non-blocking pipe. When it is full, the line must wait for room
// rather than be cut short. Nothing reads until the writer has had ample time to fill the pipe
// and find it full; `emit` itself never waits for the host. Only POSIX descriptors can be
// non-blocking (O_NONBLOCK): the Windows hosts hand over blocking pipes.
#ifndef _WIN32
TEST(EmitToStandardOutput, WaitsWhileANonBlockingOutputIsFull) {
    StandardOutputPipe pipe(true);
    ASSERT_TRUE(pipe.ok());
    const std::string padding(1 << 20, 'x');
    std::promise<void> emitted;
    std::thread writer([&] {
        emit({{"padding", padding}});
        emit({{"type", "ready"}});
        emitted.set_value();
    });
    // Emitting does not wait for the host, who is not reading yet.
    EXPECT_EQ(emitted.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pipe.startReading();
    writer.join();
    const std::vector<std::string> lines = splitLines(pipe.finish());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(json::parse(lines[0]).at("padding"), padding);
    EXPECT_EQ(lines[1], "{\"type\":\"ready\"}\n");
}
#endif

}  // namespace
}  // namespace sh
