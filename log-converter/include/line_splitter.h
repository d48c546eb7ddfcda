// Cutting the audit log into lines, for the follower and for batch mode alike:
// one limit on a line's length and one warning for a line over it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vrex {

// The longest line the daemon keeps. A longer one is dropped whole: holding
// it would let one hostile line take any amount of memory.
inline constexpr std::size_t kMaxLineBytes = 10485760;

// The diagnostic log's WARN text for a line over limit bytes in source.
std::string overlongLineWarning(std::size_t limit, std::string_view source);

// Cuts a byte stream into lines. Keeps an unterminated tail until its newline
// arrives; a line longer than maxLine is dropped (reported once, when it
// passes the limit) and the stream resumes after its newline.
class LineSplitter {
public:
    explicit LineSplitter(std::size_t maxLine = kMaxLineBytes) : maxLine_(maxLine) {}

    // Calls onLine(std::string_view) for every line completed by data, and
    // onDrop() for every line that passes the limit. A line lying whole in
    // data is handed on in place, without a copy.
    template <class OnLine, class OnDrop>
    void feed(std::string_view data, OnLine &&onLine, OnDrop &&onDrop);

    // The end of the input: hands on the unterminated tail as a last line
    // (unless it was dropped) and starts over.
    template <class OnLine>
    void finish(OnLine &&onLine);

    // Bytes fed that belong to no complete line yet (kept or being skipped).
    std::uint64_t pending() const { return pending_; }
    void reset();
    // Ignores everything up to and including the next newline, without
    // counting it as a dropped line (used when starting inside a line).
    void skipToNextLine();

private:
    // Feeds bytes that hold no newline.
    template <class OnDrop>
    void keepPart(std::string_view data, OnDrop &&onDrop);
    // rest, up to a newline, ends the line begun in earlier data.
    template <class OnLine, class OnDrop>
    void finishHeldLine(std::string_view rest, OnLine &&onLine, OnDrop &&onDrop);

    std::size_t maxLine_;
    std::string tail_;
    bool discarding_ = false;
    std::uint64_t pending_ = 0;
};

template <class OnLine, class OnDrop>
void LineSplitter::feed(std::string_view data, OnLine &&onLine, OnDrop &&onDrop) {
    auto nextNewline = [&data] { return static_cast<const char *>(std::memchr(data.data(), '\n', data.size())); };
    const char *newline = nextNewline();
    if (!newline) {
        keepPart(data, onDrop);
        return;
    }
    // The line begun in earlier data (held, or being skipped) ends here.
    if (discarding_ || !tail_.empty()) {
        const std::size_t length = static_cast<std::size_t>(newline - data.data());
        finishHeldLine(data.substr(0, length), onLine, onDrop);
        data.remove_prefix(length + 1);
        newline = nextNewline();
    }
    pending_ = 0;
    // Lines lying whole in data, handed on in place.
    const std::size_t maxLine = maxLine_;
    for (; newline; newline = nextNewline()) {
        const std::size_t length = static_cast<std::size_t>(newline - data.data());
        if (length > maxLine)
            onDrop();
        else
            onLine(std::string_view(data.data(), length));
        data.remove_prefix(length + 1);
    }
    if (!data.empty())
        keepPart(data, onDrop);
}

template <class OnLine, class OnDrop>
void LineSplitter::finishHeldLine(std::string_view rest, OnLine &&onLine, OnDrop &&onDrop) {
    if (discarding_) {
        discarding_ = false;  // dropped (or skipped) when it began
    } else if (tail_.size() + rest.size() > maxLine_) {
        onDrop();
        tail_.clear();
    } else {
        tail_.append(rest);
        onLine(std::string_view(tail_));
        tail_.clear();
    }
}

template <class OnDrop>
void LineSplitter::keepPart(std::string_view data, OnDrop &&onDrop) {
    if (discarding_) {
        pending_ += data.size();
    } else if (tail_.size() + data.size() > maxLine_) {
        discarding_ = true;
        pending_ = tail_.size() + data.size();
        std::string().swap(tail_);
        onDrop();
    } else {
        tail_.append(data);
        pending_ = tail_.size();
    }
}

template <class OnLine>
void LineSplitter::finish(OnLine &&onLine) {
    if (!discarding_ && pending_ > 0)
        onLine(std::string_view(tail_));
    reset();
}

}  // namespace vrex
