// The line protocol with the host: decoding one input line into a `Command`, and writing
// messages, one complete line at a time, to standard output.
#include "protocol/Protocol.hpp"

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/Streams.hpp"
#include "protocol/Text.hpp"

namespace sh {
namespace {

using Json = nlohmann::json;

// One recorded field of the line. Each occurrence of its key replaces what earlier ones
// left: a value, nothing (null), or a mark that the value had the wrong type.
template <typename T>
struct Field {
    std::optional<T> value;
    bool invalid = false;

    void set(T newValue) {
        value = std::move(newValue);
        invalid = false;
    }
    void clear() {
        value.reset();
        invalid = false;
    }
    void reject() {
        value.reset();
        invalid = true;
    }
};

// What the next JSON value means, given where the reader stands in the line.
enum class Slot {
    document,
    ignored,
    command,
    requestId,
    targets,
    endsAt,
    permissionPrompt,
    targetElement,
    targetId,
    targetName,
    targetBundleId,
};

Slot topLevelSlot(std::string_view key) {
    if (key == "command") {
        return Slot::command;
    }
    if (key == "requestId") {
        return Slot::requestId;
    }
    if (key == "targets") {
        return Slot::targets;
    }
    if (key == "endsAt") {
        return Slot::endsAt;
    }
    if (key == "permissionPrompt") {
        return Slot::permissionPrompt;
    }
    return Slot::ignored;
}

Slot targetSlot(std::string_view key) {
    if (key == "id") {
        return Slot::targetId;
    }
    if (key == "name") {
        return Slot::targetName;
    }
    if (key == "bundleId") {
        return Slot::targetBundleId;
    }
    return Slot::ignored;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The exact value of a JSON number lexeme when that value is a whole number within the
// signed 64-bit range ("1.0", "1e3" and "-9223372036854775808" qualify; "1.5" and
// "9223372036854775808" do not). The decision is made on the decimal text, never on a
// rounded double. The lexeme comes from the JSON reader, which writes the locale's decimal
// separator in place of '.', so any character that is not part of the other pieces of the
// number is taken as the separator.
std::optional<int64_t> exactWholeNumber(std::string_view lexeme) {
    constexpr int64_t exponentLimit = int64_t{1} << 50;
    size_t i = 0;
    const bool negative = !lexeme.empty() && lexeme[0] == '-';
    if (negative) {
        ++i;
    }
    std::string digits;
    int64_t scale = 0;
    while (i < lexeme.size() && isDigit(lexeme[i])) {
        digits.push_back(lexeme[i++]);
    }
    if (i < lexeme.size() && lexeme[i] != 'e' && lexeme[i] != 'E') {
        ++i;
        while (i < lexeme.size() && isDigit(lexeme[i])) {
            digits.push_back(lexeme[i++]);
            scale = std::max(scale - 1, -exponentLimit);
        }
    }
    if (i < lexeme.size() && (lexeme[i] == 'e' || lexeme[i] == 'E')) {
        ++i;
        bool negativeExponent = false;
        if (i < lexeme.size() && (lexeme[i] == '+' || lexeme[i] == '-')) {
            negativeExponent = lexeme[i++] == '-';
        }
        int64_t exponent = 0;
        while (i < lexeme.size() && isDigit(lexeme[i])) {
            exponent = std::min(exponent * 10 + (lexeme[i++] - '0'), exponentLimit);
        }
        scale += negativeExponent ? -exponent : exponent;
    }
    const size_t firstSignificant = digits.find_first_not_of('0');
    if (firstSignificant == std::string::npos) {
        return 0;
    }
    digits.erase(0, firstSignificant);
    while (digits.back() == '0') {
        digits.pop_back();
        ++scale;
    }
    // Fewer than 20 digits in all keeps the magnitude below 10^19, inside uint64_t.
    if (scale < 0 || static_cast<int64_t>(digits.size()) + scale > 19) {
        return std::nullopt;
    }
    uint64_t magnitude = 0;
    for (const char digit : digits) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(digit - '0');
    }
    for (int64_t k = 0; k < scale; ++k) {
        magnitude *= 10;
    }
    constexpr uint64_t largestPositive = std::numeric_limits<int64_t>::max();
    if (negative) {
        if (magnitude > largestPositive + 1) {
            return std::nullopt;
        }
        // Negating in unsigned arithmetic reaches -2^63 without overflowing.
        return static_cast<int64_t>(~magnitude + 1);
    }
    if (magnitude > largestPositive) {
        return std::nullopt;
    }
    return static_cast<int64_t>(magnitude);
}

// Reads one line through nlohmann's SAX interface, keeping only the top-level keys of a
// command and the fields of each target. Everything else is checked for well-formedness by
// the parser but never stored, so neither deep nesting nor a large ignored value costs more
// than reading it; the parser itself keeps its nesting on the heap, not on the stack.
//
// A key that occurs more than once counts with its last occurrence only: an earlier value,
// even one of the wrong type, is replaced by the later one.
class CommandReader {
  public:
    // `overflowingNumbers` lists, by their position among all the numbers of the line, the
    // numbers that were too large for a double and have been replaced by 0 (see
    // `withOverflowingNumbersReplaced`).
    explicit CommandReader(std::vector<size_t> overflowingNumbers = {})
        : overflowingNumbers_(std::move(overflowingNumbers)) {}

    bool null() {
        switch (slot()) {
            case Slot::document:
                return false;
            case Slot::requestId:
                requestId_.clear();
                return true;
            case Slot::targets:
                targets_.clear();
                return true;
            case Slot::endsAt:
                endsAt_.clear();
                return true;
            case Slot::permissionPrompt:
                permissionPrompt_.clear();
                return true;
            case Slot::targetBundleId:
                target_.bundleId.clear();
                return true;
            default:
                return wrongType();
        }
    }

    bool boolean(bool value) {
        if (slot() == Slot::permissionPrompt) {
            permissionPrompt_.set(value);
            return true;
        }
        return wrongType();
    }

    bool number_integer(Json::number_integer_t value) {
        if (nextNumberOverflows()) {
            return wrongType();
        }
        switch (slot()) {
            case Slot::requestId:
                requestId_.set(value);
                return true;
            case Slot::endsAt:
                endsAt_.set(static_cast<double>(value));
                return true;
            default:
                return wrongType();
        }
    }

    // The parser reports every non-negative integer here.
    bool number_unsigned(Json::number_unsigned_t value) {
        if (nextNumberOverflows()) {
            return wrongType();
        }
        switch (slot()) {
            case Slot::requestId:
                if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
                    return wrongType();
                }
                requestId_.set(static_cast<int64_t>(value));
                return true;
            case Slot::endsAt:
                endsAt_.set(static_cast<double>(value));
                return true;
            default:
                return wrongType();
        }
    }

    // Fractions, exponents and integers too large for 64 bits arrive here; the parser has
    // already refused values beyond the range of a double.
    bool number_float(Json::number_float_t value, const Json::string_t& lexeme) {
        if (nextNumberOverflows()) {
            return wrongType();
        }
        switch (slot()) {
            case Slot::requestId:
                if (const auto whole = exactWholeNumber(lexeme)) {
                    requestId_.set(*whole);
                    return true;
                }
                return wrongType();
            case Slot::endsAt:
                endsAt_.set(value);
                return true;
            default:
                return wrongType();
        }
    }

    bool string(Json::string_t& value) {
        switch (slot()) {
            case Slot::command:
                command_.set(std::move(value));
                return true;
            case Slot::targetId:
                target_.id.set(std::move(value));
                return true;
            case Slot::targetName:
                target_.name.set(std::move(value));
                return true;
            case Slot::targetBundleId:
                target_.bundleId.set(std::move(value));
                return true;
            default:
                return wrongType();
        }
    }

    // JSON text never holds binary values.
    bool binary(Json::binary_t&) { return false; }

    bool start_object(std::size_t) {
        switch (slot()) {
            case Slot::document:
            case Slot::ignored:
                break;
            case Slot::targetElement:
                target_ = TargetFields{};
                inTarget_ = true;
                break;
            default:
                wrongType();
                break;
        }
        ++depth_;
        return true;
    }

    bool key(Json::string_t& key) {
        if (depth_ == 1) {
            topLevelKey_ = topLevelSlot(key);
        } else if (depth_ == 3 && inTarget_) {
            targetKey_ = targetSlot(key);
        }
        return true;
    }

    bool end_object() {
        if (depth_ == 3 && inTarget_) {
            finishTarget();
            inTarget_ = false;
        }
        --depth_;
        return true;
    }

    bool start_array(std::size_t) {
        switch (slot()) {
            case Slot::document:
                return false;
            case Slot::ignored:
                break;
            case Slot::targets:
                targets_.set({});
                inTargets_ = true;
                break;
            default:
                wrongType();
                break;
        }
        ++depth_;
        return true;
    }

    bool end_array() {
        if (depth_ == 2 && inTargets_) {
            inTargets_ = false;
        }
        --depth_;
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const Json::exception& error) {
        // 406 is the parser's "number overflow": a number beyond the range of a double.
        failedOnNumberOverflow_ = error.id == 406;
        return false;
    }

    bool failedOnNumberOverflow() const { return failedOnNumberOverflow_; }

    // The command, once the whole line has been read without a parse error.
    std::optional<Command> result() {
        if (!command_.value || requestId_.invalid || targets_.invalid || endsAt_.invalid ||
            permissionPrompt_.invalid) {
            return std::nullopt;
        }
        return Command{std::move(*command_.value), requestId_.value, std::move(targets_.value),
                       endsAt_.value, permissionPrompt_.value};
    }

  private:
    struct TargetFields {
        Field<std::string> id;
        Field<std::string> name;
        Field<std::string> bundleId;
    };

    // Depth 1 is the command object, depth 2 the "targets" array (when `inTargets_`), and
    // depth 3 one target object (when `inTarget_`). Anything else is ignored.
    Slot slot() const {
        switch (depth_) {
            case 0:
                return Slot::document;
            case 1:
                return topLevelKey_;
            case 2:
                return inTargets_ ? Slot::targetElement : Slot::ignored;
            case 3:
                return inTarget_ ? targetKey_ : Slot::ignored;
            default:
                return Slot::ignored;
        }
    }

    // A value of the wrong JSON type for the current slot. The line is not abandoned at once,
    // because a later occurrence of the same key may still replace the value.
    bool wrongType() {
        switch (slot()) {
            case Slot::document:
                return false;
            case Slot::ignored:
                break;
            case Slot::command:
                command_.reject();
                break;
            case Slot::requestId:
                requestId_.reject();
                break;
            case Slot::targets:
            case Slot::targetElement:
                targets_.reject();
                break;
            case Slot::endsAt:
                endsAt_.reject();
                break;
            case Slot::permissionPrompt:
                permissionPrompt_.reject();
                break;
            case Slot::targetId:
                target_.id.reject();
                break;
            case Slot::targetName:
                target_.name.reject();
                break;
            case Slot::targetBundleId:
                target_.bundleId.reject();
                break;
        }
        return true;
    }

    void finishTarget() {
        if (!target_.id.value || !target_.name.value || target_.bundleId.invalid) {
            targets_.reject();
            return;
        }
        if (targets_.value) {
            targets_.value->push_back(Target{std::move(*target_.id.value),
                                             std::move(*target_.name.value),
                                             std::move(target_.bundleId.value)});
        }
    }

    bool nextNumberOverflows() {
        const size_t ordinal = numbersSeen_++;
        if (nextOverflowing_ < overflowingNumbers_.size() &&
            overflowingNumbers_[nextOverflowing_] == ordinal) {
            ++nextOverflowing_;
            return true;
        }
        return false;
    }

    Field<std::string> command_;
    Field<int64_t> requestId_;
    Field<std::vector<Target>> targets_;
    Field<double> endsAt_;
    Field<bool> permissionPrompt_;
    TargetFields target_;

    size_t depth_ = 0;
    Slot topLevelKey_ = Slot::ignored;
    Slot targetKey_ = Slot::ignored;
    bool inTargets_ = false;
    bool inTarget_ = false;

    std::vector<size_t> overflowingNumbers_;
    size_t nextOverflowing_ = 0;
    size_t numbersSeen_ = 0;
    bool failedOnNumberOverflow_ = false;
};

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool isJsonNumber(std::string_view text) {
    size_t i = 0;
    auto digitsFrom = [&](size_t start) {
        size_t end = start;
        while (end < text.size() && isDigit(text[end])) {
            ++end;
        }
        return end - start;
    };
    if (i < text.size() && text[i] == '-') {
        ++i;
    }
    const size_t integerDigits = digitsFrom(i);
    if (integerDigits == 0 || (integerDigits > 1 && text[i] == '0')) {
        return false;
    }
    i += integerDigits;
    if (i < text.size() && text[i] == '.') {
        const size_t fractionDigits = digitsFrom(i + 1);
        if (fractionDigits == 0) {
            return false;
        }
        i += 1 + fractionDigits;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        const size_t exponentDigits = digitsFrom(i);
        if (exponentDigits == 0) {
            return false;
        }
        i += exponentDigits;
    }
    return i == text.size();
}

// Whether the JSON reader would find this number beyond the range of a double. It converts
// exactly as the reader does: strtod on the text with '.' changed to the locale's separator.
bool overflowsDouble(std::string_view number) {
    std::string text(number);
    const char separator = *std::localeconv()->decimal_point;
    for (char& c : text) {
        if (c == '.') {
            c = separator;
        }
    }
    return std::isinf(std::strtod(text.c_str(), nullptr));
}

bool isNumberCharacter(char c) {
    return isDigit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// The JSON reader refuses a whole line when any number in it, even one under a key that is
// ignored, is beyond the range of a double. Such a number is well-formed JSON, so it must
// only make the line fail where its value is used ("requestId", "endsAt"). This copy of the
// line has each such number replaced by 0 padded with spaces, and lists the replaced numbers
// by their position among all the numbers of the line, so that the reader can still refuse
// them where they count. Numbers are found outside strings only; a line that is not
// well-formed stays not well-formed, because only complete, well-formed number tokens are
// replaced, by another number.
std::pair<std::string, std::vector<size_t>> withOverflowingNumbersReplaced(std::string text) {
    std::vector<size_t> replaced;
    size_t ordinal = 0;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
            ++i;
            while (i < text.size() && text[i] != '"') {
                i += text[i] == '\\' ? 2 : 1;
            }
            ++i;
        } else if (c == '-' || isDigit(c)) {
            size_t end = i;
            while (end < text.size() && isNumberCharacter(text[end])) {
                ++end;
            }
            const std::string_view number(text.data() + i, end - i);
            if (isJsonNumber(number) && overflowsDouble(number)) {
                text[i] = '0';
                std::fill(text.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                          text.begin() + static_cast<std::ptrdiff_t>(end), ' ');
                replaced.push_back(ordinal);
            }
            ++ordinal;
            i = end;
        } else {
            ++i;
        }
    }
    return {std::move(text), std::move(replaced)};
}

std::mutex& outputMutex() {
    static std::mutex mutex;
    return mutex;
}

// Empty while lines go to standard output.
OutputSink& outputSink() {
    static OutputSink sink;
    return sink;
}

// Lines bound for standard output wait here for the writer thread, so that no thread that
// emits ever waits on the host.
OutputQueue& outputQueue() {
    // Never destroyed: the writer thread waits on it until the very end of the process.
    static OutputQueue* queue = new OutputQueue;
    return *queue;
}

void startWriterOnce() {
    static std::once_flag started;
    std::call_once(started, [] {
        // Detached: it lives as long as the process and holds nothing that needs tearing down.
        std::thread([] {
            OutputQueue& queue = outputQueue();
            while (std::optional<std::string> line = queue.take()) {
                streams::writeToStandardOutput(*line);
                queue.written(line->size());
            }
        }).detach();
    });
}

}  // namespace

std::optional<Command> decodeCommand(std::string_view line) {
    // JSON allows no raw NUL byte anywhere. The parser would take one outside a string for
    // the end of the text and accept whatever follows it, so such lines are refused here.
    if (line.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    std::string text = replacingMalformedUtf8(line);
    // A byte-order mark is not whitespace; the parser would skip it silently.
    if (text.starts_with("\xEF\xBB\xBF")) {
        return std::nullopt;
    }
    CommandReader reader;
    if (Json::sax_parse(text, &reader)) {
        return reader.result();
    }
    if (!reader.failedOnNumberOverflow()) {
        return std::nullopt;
    }
    auto [replacedText, overflowingNumbers] = withOverflowingNumbersReplaced(std::move(text));
    CommandReader retry(std::move(overflowingNumbers));
    if (!Json::sax_parse(replacedText, &retry)) {
        return std::nullopt;
    }
    return retry.result();
}

Message errorMessage(std::string_view text) {
    Message message = Message::object();
    message["type"] = "error";
    message["message"] = std::string(text);
    return message;
}

void emit(const Message& message, OutputKind kind) {
    if (!message.is_object()) {
        return;
    }
    std::string line;
    try {
        // Compact, keys in the order the object keeps them, text as UTF-8; a text that is not
        // valid UTF-8 throws instead of being written.
        line = message.dump(-1, ' ', false, Json::error_handler_t::strict);
    } catch (const std::exception&) {
        return;
    }
    line.push_back('\n');
    const std::lock_guard lock(outputMutex());
    if (const OutputSink& sink = outputSink()) {
        sink(line);
    } else {
        startWriterOnce();
        outputQueue().push(std::move(line), kind);
    }
}

bool waitForOutputRoom(std::chrono::milliseconds timeout) {
    return outputQueue().waitForRoom(timeout);
}

bool flushOutput(std::chrono::milliseconds timeout) {
    return outputQueue().waitUntilWritten(timeout);
}

// An empty sink sends lines to standard output again.
void setOutputSink(OutputSink sink) {
    const std::lock_guard lock(outputMutex());
    outputSink() = std::move(sink);
}

}  // namespace sh
