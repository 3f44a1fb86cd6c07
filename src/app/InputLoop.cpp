// The input loop: reads the host's byte stream, decodes each line and hands the decoded
// commands to the main thread.
#include "app/InputLoop.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>
#include <vector>

#include "app/LineSplitter.hpp"

namespace sh {

namespace {

constexpr std::size_t chunkSize = 64 * 1024;

// Reads what is available, waiting for it when the descriptor was left non-blocking by the
// host. Returns the byte count, or 0 at the end of input and on any read error.
std::size_t readSome(int fd, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t count = read(fd, buffer, size);
        if (count > 0) {
            return static_cast<std::size_t>(count);
        }
        if (count == 0) {
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd readable{fd, POLLIN, 0};
            if (poll(&readable, 1, -1) >= 0 || errno == EINTR) {
                continue;
            }
        }
        return 0;
    }
}

void answerInvalid() {
    emit(errorMessage(texts::invalidCommand));
}

}  // namespace

void runInputLoop(int fd, MainLoop& mainLoop, Application& application, CommandHandler handler,
                  std::size_t maximumLineLength) {
    auto sharedHandler = std::make_shared<CommandHandler>(std::move(handler));

    auto decodeLine = [&](std::string_view line) {
        std::optional<Command> command = decodeCommand(line);
        if (!command) {
            answerInvalid();
            return;
        }
        mainLoop.post([sharedHandler, command = std::move(*command)]() mutable {
            (*sharedHandler)(std::move(command));
        });
    };
    LineSplitter splitter(maximumLineLength, decodeLine, answerInvalid);

    std::vector<char> chunk(chunkSize);
    for (;;) {
        std::size_t count = readSome(fd, chunk.data(), chunk.size());
        if (count == 0) {
            break;
        }
        splitter.feed(std::string_view(chunk.data(), count));
    }
    splitter.finish();

    mainLoop.post([&application] { application.terminate(); });
}

}  // namespace sh
