// Fuzzes the decoding of one input line. Beyond not crashing, it checks that decoding is a
// function of the line alone, that a NUL byte makes any line invalid, that repairing malformed
// UTF-8 first or adding whitespace around the object changes nothing, and that a decoded
// command written out again as JSON decodes to the very same command.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzCheck.hpp"
#include "protocol/Protocol.hpp"
#include "protocol/Text.hpp"

namespace {

using sh::Command;
using sh::Target;

bool sameCommand(const std::optional<Command>& a, const std::optional<Command>& b) {
    if (!a || !b) {
        return !a && !b;
    }
    return a->command == b->command && a->requestId == b->requestId && a->targets == b->targets &&
           a->endsAt == b->endsAt && a->permissionPrompt == b->permissionPrompt;
}

std::string describe(const std::optional<Command>& command) {
    if (!command) {
        return "(invalid)";
    }
    nlohmann::json json = nlohmann::json::object();
    json["command"] = command->command;
    if (command->requestId) {
        json["requestId"] = *command->requestId;
    }
    if (command->targets) {
        json["targets"] = nlohmann::json::array();
        for (const Target& target : *command->targets) {
            nlohmann::json element = {{"id", target.id}, {"name", target.name}};
            if (target.bundleId) {
                element["bundleId"] = *target.bundleId;
            }
            json["targets"].push_back(std::move(element));
        }
    }
    if (command->endsAt) {
        json["endsAt"] = *command->endsAt;
    }
    if (command->permissionPrompt) {
        json["permissionPrompt"] = *command->permissionPrompt;
    }
    // Decoded text is valid UTF-8, so the strict handler never throws here; if it did, the
    // uncaught exception would be reported as a crash, which it would be.
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const std::optional<Command> command = sh::decodeCommand(line);

    FUZZ_REQUIRE(sameCommand(sh::decodeCommand(line), command), "second decoding differs");

    // JSON text holds no raw NUL byte, so a line with one is never a command.
    FUZZ_REQUIRE(!command || line.find('\0') == std::string_view::npos,
                 "a line with a NUL byte decoded as %s", describe(command).c_str());

    // Malformed UTF-8 is repaired before parsing, so the repaired line means the same.
    const std::optional<Command> repaired = sh::decodeCommand(sh::replacingMalformedUtf8(line));
    FUZZ_REQUIRE(sameCommand(repaired, command), "repaired: %s, as given: %s",
                 describe(repaired).c_str(), describe(command).c_str());

    const std::string padded = " \t" + std::string(line) + "\r ";
    const std::optional<Command> paddedCommand = sh::decodeCommand(padded);
    FUZZ_REQUIRE(sameCommand(paddedCommand, command), "with whitespace around: %s, without: %s",
                 describe(paddedCommand).c_str(), describe(command).c_str());

    if (command) {
        const std::string encoded = describe(command);
        const std::optional<Command> again = sh::decodeCommand(encoded);
        FUZZ_REQUIRE(sameCommand(again, command), "re-encoded as %s, decoded again as %s",
                     encoded.c_str(), describe(again).c_str());
    }
    return 0;
}
