// The line protocol with the host: the decoded input record, the texts of the messages the
// helper writes, and `emit`, the one way a message leaves the process.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/OutputQueue.hpp"

namespace sh {

// One blocked application, as the host names it.
struct Target {
    std::string id;
    std::string name;
    std::optional<std::string> bundleId;
    friend bool operator==(const Target&, const Target&) = default;
};

// One decoded input line.
struct Command {
    std::string command;
    std::optional<int64_t> requestId;
    std::optional<std::vector<Target>> targets;
    std::optional<double> endsAt;
    std::optional<bool> permissionPrompt;
};

// A message: a JSON object, written compactly on one line.
using Message = nlohmann::json;

namespace texts {
inline constexpr std::string_view invalidCommand = "Native helper received an invalid command.";
inline constexpr std::string_view unknownCommand = "Unknown native helper command.";
inline constexpr std::string_view permissionRequired =
    "Accessibility permission is required to track and shield blocked app windows.";
inline constexpr std::string_view enumerationFailed =
    "Eligible target windows could not be enumerated.";
inline constexpr std::string_view shieldingFailed =
    "One or more eligible target windows could not be shielded.";
inline constexpr std::string_view observerFailed =
    "A target application window observer could not be installed.";
}  // namespace texts

// Decodes the bytes of one line (terminator already removed). Malformed UTF-8 is replaced
// by U+FFFD first. Absent when the line is not exactly one valid command object.
std::optional<Command> decodeCommand(std::string_view line);

// {"type":"error","message":text}
Message errorMessage(std::string_view text);

// Serialises the message compactly, appends LF and queues the whole line for standard
// output, where a writer thread of its own writes it; the caller never waits on the host.
// Lines leave in the order they were emitted and are never cut. A message that cannot be
// serialised is dropped silently. Safe to call from any thread. `kind` says what may happen to
// the line while the host is not reading (see OutputQueue).
void emit(const Message& message, OutputKind kind = OutputKind::reply);

// The input side of the backpressure: waits, at most `timeout`, until the output backlog is
// under its soft limit; true when it is.
bool waitForOutputRoom(std::chrono::milliseconds timeout);
// Waits, at most `timeout`, until every line emitted so far has been written; true when so.
bool flushOutput(std::chrono::milliseconds timeout);

// How long the process waits, as it ends, for the host to read what is still waiting for it.
inline constexpr std::chrono::seconds finalFlushTimeout{2};

// Where emitted lines go: standard output unless replaced (tests capture lines here). The
// sink receives each complete line, LF included, and is called under the output lock.
using OutputSink = std::function<void(std::string_view line)>;
void setOutputSink(OutputSink sink);

}  // namespace sh
