// The input loop against a pipe: framing (LF, CR LF, no final LF, NUL bytes, huge lines,
// pieces split across reads), invalid-line answers, posting order and the final terminate.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "TestPipe.hpp"
#include "app/InputLoop.hpp"

namespace sh {
namespace {

// Records everything in one log, in the order it happens: a posted task runs at once, so a
// command is logged when it is posted and an error when it is written.
struct Recorder final : MainLoop, Application {
    std::vector<std::string> log;

    void post(Task task) override { task(); }
    void postDelayed(double, Task) override { ADD_FAILURE() << "unexpected delayed task"; }
    std::shared_ptr<Timer> scheduleTimer(double, bool, Task) override {
        ADD_FAILURE() << "unexpected timer";
        return nullptr;
    }
    std::shared_ptr<Timer> scheduleWallClockTimer(double, Task) override {
        ADD_FAILURE() << "unexpected timer";
        return nullptr;
    }
    double now() const override { return 0; }
    double uptime() const override { return 0; }
    void setActivationPolicy(ActivationPolicy) override {}
    std::shared_ptr<Activity> beginActivity(const std::string&) override {
        ADD_FAILURE() << "unexpected activity";
        return nullptr;
    }
    void run() override {}
    void terminate() override { log.push_back("terminate"); }
};

class InputLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setOutputSink([this](std::string_view line) {
            auto message = nlohmann::json::parse(line);
            EXPECT_FALSE(message.contains("requestId"));
            recorder.log.push_back("error:" + message.at("message").get<std::string>());
        });
    }
    void TearDown() override { setOutputSink(nullptr); }

    // Feeds `input` through a pipe from a writer thread, in pieces of `pieceSize` bytes, and
    // runs the loop until the writer closes its end.
    std::vector<std::string> run(const std::string& input, size_t pieceSize = 1 << 20,
                                 size_t maximumLineLength = defaultMaximumLineLength,
                                 bool nonBlocking = false) {
        int fds[2];
        EXPECT_TRUE(test::openPipe(fds));
        if (nonBlocking) {
            EXPECT_TRUE(test::makeNonBlocking(fds[0]));
        }
        std::thread writer([&, writeEnd = fds[1]] {
            for (size_t at = 0; at < input.size(); at += pieceSize) {
                size_t length = std::min(pieceSize, input.size() - at);
                const char* bytes = input.data() + at;
                while (length > 0) {
                    std::ptrdiff_t written = test::writeSome(writeEnd, bytes, length);
                    ASSERT_GT(written, 0);
                    bytes += written;
                    length -= static_cast<size_t>(written);
                }
            }
            test::closeEnd(writeEnd);
        });
        InputLoopOptions options;
        options.maximumLineLength = maximumLineLength;
        runInputLoop(
            fds[0], recorder, recorder,
            [this](Command command) { recorder.log.push_back("command:" + command.command); },
            options);
        writer.join();
        test::closeEnd(fds[0]);
        return recorder.log;
    }

    Recorder recorder;
};

const std::string invalid = "error:Native helper received an invalid command.";

std::string stop(const std::string& name = "stop") {
    return R"({"command":")" + name + R"("})";
}

TEST_F(InputLoopTest, FramesLinesAndAnswersBadOnesInOrder) {
    struct Case {
        const char* name;
        std::string input;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"nothing", "", {"terminate"}},
        {"two lines", stop("a") + "\n" + stop("b") + "\n", {"command:a", "command:b", "terminate"}},
        {"CR LF", stop("a") + "\r\n" + stop("b") + "\r\n", {"command:a", "command:b", "terminate"}},
        {"last line without LF",
         stop("a") + "\n" + stop("b"),
         {"command:a", "command:b", "terminate"}},
        {"last line CR without LF", stop("a") + "\r", {"command:a", "terminate"}},
        {"lone LF is one empty line", "\n", {invalid, "terminate"}},
        {"empty and blank lines each answered",
         "\n  \n\t\r\n" + stop() + "\n",
         {invalid, invalid, invalid, "command:stop", "terminate"}},
        {"CR alone does not end a line",
         stop("a") + "\r" + stop("b") + "\n",
         {invalid, "terminate"}},
        {"NUL inside a line costs that line only",
         std::string("{\"command\":\"st\0op\"}\n", 20) + stop() + "\n",
         {invalid, "command:stop", "terminate"}},
        {"NUL after the object",
         stop() + std::string("\0\n", 2) + stop("b") + "\n",
         {invalid, "command:b", "terminate"}},
        {"two objects on one line", stop() + stop() + "\n", {invalid, "terminate"}},
        {"bad line between good ones",
         stop("a") + "\n{\n" + stop("b"),
         {"command:a", invalid, "command:b", "terminate"}},
    };
    for (const auto& c : cases) {
        for (size_t pieceSize : {size_t{1} << 20, size_t{1}, size_t{3}}) {
            recorder.log.clear();
            EXPECT_EQ(run(c.input, pieceSize), c.expected)
                << c.name << " in pieces of " << pieceSize;
        }
    }
}

TEST_F(InputLoopTest, MultiMegabyteLineIsDecodedWhole) {
    std::string padding(5 * 1024 * 1024, 'x');
    std::string input = R"({"command":"big","padding":")" + padding + "\"}\n" + stop() + "\n";
    EXPECT_EQ(run(input, 100'000),
              (std::vector<std::string>{"command:big", "command:stop", "terminate"}));
}

TEST_F(InputLoopTest, OverlongLineIsOneInvalidCommandAndReadingGoesOn) {
    const std::string longStop = R"({"command":"stop","padding":")" + std::string(200, 'x') + "\"}";
    for (size_t pieceSize : {size_t{1} << 20, size_t{7}}) {
        recorder.log.clear();
        EXPECT_EQ(run(longStop + "\n" + stop("a") + "\n" + longStop, pieceSize, 100),
                  (std::vector<std::string>{invalid, "command:a", invalid, "terminate"}))
            << "pieces of " << pieceSize;
    }
    // A line exactly at the limit is still decoded.
    recorder.log.clear();
    std::string atLimit = stop("a");
    EXPECT_EQ(run(atLimit + "\n", 1 << 20, atLimit.size()),
              (std::vector<std::string>{"command:a", "terminate"}));
}

// A non-blocking descriptor is POSIX's (O_NONBLOCK): the Windows C runtime's descriptors have no
// such mode, and the Windows hosts hand over blocking pipes.
#ifndef _WIN32
TEST_F(InputLoopTest, NonBlockingDescriptorIsWaitedOn) {
    std::string input;
    std::vector<std::string> expected;
    for (int i = 0; i < 200; ++i) {
        std::string name = std::string("c").append(std::to_string(i));
        input += stop(name) + "\n";
        expected.push_back(std::string("command:").append(name));
    }
    expected.push_back("terminate");
    EXPECT_EQ(run(input, 5, defaultMaximumLineLength, true), expected);
}
#endif

TEST_F(InputLoopTest, UnreadableDescriptorEndsInput) {
    runInputLoop(-1, recorder, recorder, [](Command) { ADD_FAILURE(); });
    EXPECT_EQ(recorder.log, std::vector<std::string>{"terminate"});
}

TEST_F(InputLoopTest, CommandsArePostedNotRunOnTheInputThread) {
    // A loop that only queues: nothing is handled until the main thread runs the queue.
    struct Queue final : MainLoop, Application {
        std::vector<Task> tasks;
        bool terminated = false;
        void post(Task task) override { tasks.push_back(std::move(task)); }
        void postDelayed(double, Task) override {}
        std::shared_ptr<Timer> scheduleTimer(double, bool, Task) override { return nullptr; }
        std::shared_ptr<Timer> scheduleWallClockTimer(double, Task) override { return nullptr; }
        double now() const override { return 0; }
        double uptime() const override { return 0; }
        void setActivationPolicy(ActivationPolicy) override {}
        std::shared_ptr<Activity> beginActivity(const std::string&) override { return nullptr; }
        void run() override {}
        void terminate() override { terminated = true; }
    } queue;
    int fds[2];
    ASSERT_TRUE(test::openPipe(fds));
    std::string input = stop("a") + "\n" + stop("b") + "\n";
    ASSERT_EQ(test::writeSome(fds[1], input.data(), input.size()),
              static_cast<std::ptrdiff_t>(input.size()));
    test::closeEnd(fds[1]);
    std::vector<std::string> handled;
    runInputLoop(fds[0], queue, queue,
                 [&handled](Command command) { handled.push_back(command.command); });
    test::closeEnd(fds[0]);
    EXPECT_TRUE(handled.empty());
    ASSERT_EQ(queue.tasks.size(), 3u);
    queue.tasks[0]();
    queue.tasks[1]();
    EXPECT_EQ(handled, (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(queue.terminated);
    queue.tasks[2]();
    EXPECT_TRUE(queue.terminated);
}

}  // namespace
}  // namespace sh
