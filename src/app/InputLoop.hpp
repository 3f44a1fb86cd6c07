// The input loop: reads the host's commands from a file descriptor on the input thread, answers
// lines that are not commands itself and hands every command to the main thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

#include "platform/MainLoop.hpp"
#include "protocol/Protocol.hpp"

namespace sh {

// Runs on the main thread, once per decoded line, in input order.
using CommandHandler = std::function<void(Command command)>;

// A line longer than this is not decoded: its bytes are dropped as they arrive and it is
// answered as an invalid command, so a host that never sends a line feed cannot make the
// helper buffer without bound.
inline constexpr std::size_t defaultMaximumLineLength = 64 * 1024 * 1024;

struct InputLoopOptions {
    std::size_t maximumLineLength = defaultMaximumLineLength;
    // Commands posted to the main thread and not yet handled. At the limit the loop stops
    // reading until the main thread catches up, which holds the host back through the pipe.
    std::size_t maximumPendingCommands = 256;
    // Once the input has ended, or a "shutdown" has been read, the process must end. Should
    // the main thread then handle nothing for this long (a display server that stopped
    // answering holds it, say), `onStall` runs on a thread of its own. Zero: never.
    std::chrono::milliseconds stallTimeout{0};
    std::function<void()> onStall;
};

// Ends the process on the host's word (the end of input, "shutdown"): lets the host have what
// is still waiting for it, for a bounded time, then terminates the application.
void endProcess(Application& application);

// Reads `fd` line by line (LF, an optional CR before it removed; the last line counts without
// LF) until end of input or a read error. Each line is decoded afresh: an undecodable line is
// answered at once from this thread with the invalid-command error; a command is posted to
// `mainLoop` for `handler`. While the output backlog is over its soft limit, no more input is
// read. At the end, posts `application.terminate()` behind every command.
void runInputLoop(int fd, MainLoop& mainLoop, Application& application, CommandHandler handler,
                  InputLoopOptions options = {});

}  // namespace sh
