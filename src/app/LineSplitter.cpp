// Framing of the host's byte stream into lines, independent of how the bytes arrive.
#include "app/LineSplitter.hpp"

#include <utility>

namespace sh {

namespace {
// What the buffer for lines that span several pieces may keep between lines.
constexpr std::size_t retainedCapacity = 64 * 1024;
}  // namespace

LineSplitter::LineSplitter(std::size_t maximumLineLength, LineHandler onLine,
                           OversizedLineHandler onOversizedLine)
    : maximumLineLength_(maximumLineLength),
      onLine_(std::move(onLine)),
      onOversizedLine_(std::move(onOversizedLine)) {}

void LineSplitter::feed(std::string_view data) {
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t lf = data.find('\n', start);
        std::string_view piece =
            data.substr(start, lf == std::string_view::npos ? std::string_view::npos : lf - start);
        if (!oversized_) {
            if (pending_.size() + piece.size() > maximumLineLength_) {
                oversized_ = true;
                std::string().swap(pending_);
            } else if (lf != std::string_view::npos && pending_.empty()) {
                deliver(piece);  // The common case: the whole line is in this piece.
            } else {
                pending_.append(piece);
                if (lf != std::string_view::npos) {
                    deliver(pending_);
                    pending_.clear();
                    if (pending_.capacity() > retainedCapacity) {
                        // One huge line must not keep its buffer for the life of the process.
                        std::string().swap(pending_);
                    }
                }
            }
        }
        if (lf == std::string_view::npos) {
            break;
        }
        if (oversized_) {
            onOversizedLine_();
            oversized_ = false;
        }
        start = lf + 1;
    }
}

void LineSplitter::finish() {
    if (oversized_) {
        oversized_ = false;
        onOversizedLine_();
    } else if (!pending_.empty()) {
        std::string last = std::move(pending_);
        pending_.clear();
        deliver(last);
    }
}

void LineSplitter::deliver(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    onLine_(line);
}

}  // namespace sh
