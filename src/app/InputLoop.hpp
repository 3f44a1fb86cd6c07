// The input loop: reads the host's commands from a file descriptor on the input thread, answers
// lines that are not commands itself and hands every command to the main thread.
#pragma once

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

// Reads `fd` line by line (LF, an optional CR before it removed; the last line counts without
// LF) until end of input or a read error. Each line is decoded afresh: an undecodable line is
// answered at once from this thread with the invalid-command error; a command is posted to
// `mainLoop` for `handler`. At the end, posts `application.terminate()` behind every command.
void runInputLoop(int fd, MainLoop& mainLoop, Application& application, CommandHandler handler,
                  std::size_t maximumLineLength = defaultMaximumLineLength);

}  // namespace sh
