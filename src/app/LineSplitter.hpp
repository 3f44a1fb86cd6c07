// Framing of the host's byte stream into lines: LF ends a line, a CR before it is removed, the
// last line counts without LF, and a line longer than a limit is dropped as it arrives.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace sh {

// Splits bytes, fed in pieces of any size, into lines. What it delivers depends only on the
// bytes, never on how they were cut into pieces.
class LineSplitter {
  public:
    // Receives each complete line without its terminator; the view is valid during the call.
    using LineHandler = std::function<void(std::string_view line)>;
    // Called once for each line that grew longer than the limit, in its place among the lines.
    using OversizedLineHandler = std::function<void()>;

    // `maximumLineLength` counts the bytes before the LF, a CR among them. A longer line is
    // never buffered whole: its bytes are dropped as they arrive, so a host that never sends
    // a line feed cannot make the helper buffer without bound.
    LineSplitter(std::size_t maximumLineLength, LineHandler onLine,
                 OversizedLineHandler onOversizedLine);

    // Delivers every line that these bytes complete, in order.
    void feed(std::string_view bytes);

    // The end of input: delivers the last line when it has no LF (an empty one is no line).
    void finish();

  private:
    void deliver(std::string_view line);

    std::size_t maximumLineLength_;
    LineHandler onLine_;
    OversizedLineHandler onOversizedLine_;
    std::string pending_;     // The start of the current line, when it spans several pieces.
    bool oversized_ = false;  // The current line has outgrown the limit; its bytes are dropped.
};

}  // namespace sh
