// The output backlog: order, the soft limit that holds the input back, and what unsolicited
// lines do once a host has stopped reading for long.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/OutputQueue.hpp"

namespace sh {
namespace {

// Takes every waiting line as the writer would, marking each written.
std::vector<std::string> drain(OutputQueue& queue) {
    std::vector<std::string> lines;
    queue.close();
    while (auto line = queue.take()) {
        queue.written(line->size());
        lines.push_back(*line);
    }
    return lines;
}

std::string line(char tag, std::size_t size) {
    return std::string(size - 1, tag) + "\n";
}

TEST(OutputQueue, KeepsOrderAndNeverDropsRepliesWhileTheHostIsSlow) {
    OutputQueue queue({100, 1000});
    std::vector<std::string> pushed;
    for (int i = 0; i < 50; ++i) {
        OutputKind kind = i % 3 == 0   ? OutputKind::reply
                          : i % 3 == 1 ? OutputKind::status
                                       : OutputKind::event;
        pushed.push_back(std::to_string(i) + "\n");
        queue.push(pushed.back(), kind);
    }
    EXPECT_EQ(drain(queue), pushed);
    EXPECT_EQ(queue.backlogBytes(), 0u);
}

TEST(OutputQueue, OverTheHardLimitTheNewestStatusStandsForAllAndEventsGiveWay) {
    OutputQueue queue({100, 1000});
    queue.push(line('s', 100), OutputKind::status);
    queue.push(line('r', 400), OutputKind::reply);
    queue.push(line('S', 100), OutputKind::status);
    queue.push(line('e', 300), OutputKind::event);
    // 900 bytes wait. Past the hard limit: the event is dropped, the reply is kept, and the
    // newest status replaces both waiting ones, after the reply.
    queue.push(line('x', 200), OutputKind::event);
    queue.push(line('R', 200), OutputKind::reply);
    queue.push(line('n', 100), OutputKind::status);
    EXPECT_EQ(queue.droppedEvents(), 1u);
    EXPECT_EQ(queue.replacedStatuses(), 2u);
    EXPECT_EQ(drain(queue), (std::vector<std::string>{line('r', 400), line('e', 300),
                                                      line('R', 200), line('n', 100)}));
}

TEST(OutputQueue, RoomReturnsOnceTheWriterBringsTheBacklogUnderTheSoftLimit) {
    OutputQueue queue({100, 1000});
    EXPECT_TRUE(queue.waitForRoom(std::chrono::milliseconds(0)));
    queue.push(line('a', 60), OutputKind::reply);
    queue.push(line('b', 60), OutputKind::reply);
    EXPECT_FALSE(queue.waitForRoom(std::chrono::milliseconds(1)));
    auto first = queue.take();
    ASSERT_TRUE(first);
    // Taken but not yet written: it still counts.
    EXPECT_FALSE(queue.waitForRoom(std::chrono::milliseconds(1)));
    EXPECT_FALSE(queue.waitUntilWritten(std::chrono::milliseconds(1)));
    queue.written(first->size());
    EXPECT_TRUE(queue.waitForRoom(std::chrono::milliseconds(0)));
    EXPECT_FALSE(queue.waitUntilWritten(std::chrono::milliseconds(1)));
    drain(queue);
    EXPECT_TRUE(queue.waitUntilWritten(std::chrono::milliseconds(0)));
}

}  // namespace
}  // namespace sh
