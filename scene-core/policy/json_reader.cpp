#include "policy/json_reader.h"

#include <locale.h>
#include <stdlib.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <map>
#include <vector>

#include "common/text.h"

namespace zorva::scene {

namespace {

using Json = nlohmann::ordered_json;

struct SyntaxError {
    size_t at;
    std::string what;
};

// An open object or list. Objects past a few keys get an index of their
// keys, so that a duplicate is found without a search through them all (an
// ordered one: crafted keys cannot make it slow as colliding hashes could).
struct Frame {
    Json *value;
    std::unique_ptr<std::map<std::string, size_t, std::less<>>> index;
};

constexpr size_t kIndexFrom = 16;

class Reader {
public:
    explicit Reader(std::string_view text) : p_(text.data()), begin_(text.data()), end_(text.data() + text.size()) {}

    Json read() {
        // A byte order mark is skipped, as nlohmann does.
        if (end_ - p_ >= 3 && std::string_view(p_, 3) == "\xEF\xBB\xBF")
            p_ += 3;
        skipBlanks();
        Json root;
        readValue(root);
        while (!stack_.empty()) {
            Frame &top = stack_.back();
            skipBlanks();
            if (top.value->is_array()) {
                if (take(']')) {
                    stack_.pop_back();
                    continue;
                }
                if (!top.value->empty())
                    expect(',', "',' or ']'");
                skipBlanks();
                auto &items = top.value->get_ref<Json::array_t &>();
                items.emplace_back();
                readValue(items.back());
            } else {
                if (take('}')) {
                    stack_.pop_back();
                    continue;
                }
                if (!top.value->empty())
                    expect(',', "',' or '}'");
                skipBlanks();
                std::string key = readString();
                skipBlanks();
                expect(':', "':'");
                skipBlanks();
                readValue(slotFor(top, std::move(key)));
            }
        }
        skipBlanks();
        if (p_ != end_)
            fail("end of input");
        return root;
    }

private:
    [[noreturn]] void fail(const std::string &expected) const {
        throw SyntaxError{static_cast<size_t>(p_ - begin_), "expected " + expected};
    }

    void skipBlanks() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t'))
            ++p_;
    }

    bool take(char c) {
        if (p_ < end_ && *p_ == c) {
            ++p_;
            return true;
        }
        return false;
    }

    void expect(char c, const char *what) {
        if (!take(c))
            fail(what);
    }

    // The value slot of `key` in the open object: a new one at the end, or
    // the one of an earlier equal key (whose value is then replaced).
    Json &slotFor(Frame &frame, std::string key) {
        // The object's members as the list they are (its operator[] takes keys).
        auto &members = static_cast<Json::object_t::Container &>(frame.value->get_ref<Json::object_t &>());
        if (frame.index) {
            auto [known, added] = frame.index->try_emplace(key, members.size());
            if (!added)
                return members[known->second].second = Json();
        } else {
            for (auto &member : members)
                if (member.first == key)
                    return member.second = Json();
            if (members.size() + 1 >= kIndexFrom) {
                frame.index = std::make_unique<std::map<std::string, size_t, std::less<>>>();
                for (size_t i = 0; i < members.size(); ++i)
                    frame.index->emplace(members[i].first, i);
                frame.index->emplace(key, members.size());
            }
        }
        // Appended directly: the search above stands for the object's own.
        members.emplace_back(std::move(key), Json());
        return members.back().second;
    }

    void readValue(Json &slot) {
        if (p_ == end_)
            fail("a value");
        switch (*p_) {
        case '{':
        case '[': {
            if (stack_.size() >= kMaxJsonDepth)
                throw SyntaxError{static_cast<size_t>(p_ - begin_),
                                  "nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels"};
            slot = *p_ == '{' ? Json::object() : Json::array();
            ++p_;
            stack_.push_back(Frame{&slot, nullptr});
            return;
        }
        case '"':
            slot = readString();
            return;
        case 't':
            literal("true");
            slot = true;
            return;
        case 'f':
            literal("false");
            slot = false;
            return;
        case 'n':
            literal("null");
            slot = nullptr;
            return;
        default:
            readNumber(slot);
        }
    }

    void literal(std::string_view word) {
        if (static_cast<size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word)
            fail("a value");
        p_ += word.size();
    }

    size_t digits() {
        const char *start = p_;
        while (p_ < end_ && *p_ >= '0' && *p_ <= '9')
            ++p_;
        return static_cast<size_t>(p_ - start);
    }

    // As nlohmann reads numbers: a whole number is an unsigned or (when
    // negative) a signed 64-bit integer while it fits, else a double; a
    // fraction or exponent makes a double, which must be finite.
    void readNumber(Json &slot) {
        const char *start = p_;
        bool negative = take('-');
        if (take('0')) {
        } else if (digits() == 0) {
            fail("a value");
        }
        bool whole = true;
        if (take('.')) {
            whole = false;
            if (digits() == 0)
                fail("a digit after '.'");
        }
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
            whole = false;
            ++p_;
            if (!take('+'))
                take('-');
            if (digits() == 0)
                fail("a digit in the exponent");
        }
        if (whole) {
            if (negative) {
                int64_t v;
                auto r = std::from_chars(start, p_, v);
                if (r.ec == std::errc() && r.ptr == p_) {
                    slot = v;
                    return;
                }
            } else {
                uint64_t v;
                auto r = std::from_chars(start, p_, v);
                if (r.ec == std::errc() && r.ptr == p_) {
                    slot = v;
                    return;
                }
            }
        }
        double v = 0;
        auto r = std::from_chars(start, p_, v);
        if (r.ec == std::errc::result_out_of_range) {
            // Too small rounds to zero, as strtod has it; too large is refused.
            static const locale_t c = ::newlocale(LC_ALL_MASK, "C", nullptr);
            std::string token(start, p_);
            v = c ? ::strtod_l(token.c_str(), nullptr, c) : HUGE_VAL;
        } else if (r.ec != std::errc() || r.ptr != p_) {
            v = HUGE_VAL;
        }
        if (!std::isfinite(v))
            throw SyntaxError{static_cast<size_t>(start - begin_), "number out of range"};
        slot = v;
    }

    unsigned hex4() {
        if (end_ - p_ < 4)
            fail("four hexadecimal digits");
        unsigned v = 0;
        for (int i = 0; i < 4; ++i) {
            char c = *p_++;
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                v |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                v |= static_cast<unsigned>(c - 'A' + 10);
            else
                fail("four hexadecimal digits");
        }
        return v;
    }

    static void appendUtf8(std::string &out, uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    void escape(std::string &out) {
        if (p_ == end_)
            fail("an escape");
        char c = *p_++;
        switch (c) {
        case '"':
        case '\\':
        case '/':
            out += c;
            return;
        case 'b':
            out += '\b';
            return;
        case 'f':
            out += '\f';
            return;
        case 'n':
            out += '\n';
            return;
        case 'r':
            out += '\r';
            return;
        case 't':
            out += '\t';
            return;
        case 'u':
            break;
        default:
            --p_;
            fail("an escape");
        }
        uint32_t cp = hex4();
        if (cp >= 0xDC00 && cp <= 0xDFFF)
            fail("a high surrogate before a low one");
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (!(take('\\') && take('u')))
                fail("a low surrogate after a high one");
            uint32_t low = hex4();
            if (low < 0xDC00 || low > 0xDFFF)
                fail("a low surrogate after a high one");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        appendUtf8(out, cp);
    }

    std::string readString() {
        if (!take('"'))
            fail("a string");
        std::string out;
        for (;;) {
            const char *run = p_;
            while (run < end_ && static_cast<unsigned char>(*run) >= 0x20 && static_cast<unsigned char>(*run) < 0x80 &&
                   *run != '"' && *run != '\\')
                ++run;
            out.append(p_, run);
            p_ = run;
            if (p_ == end_)
                fail("'\"' to end the string");
            unsigned char c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                ++p_;
                return out;
            }
            if (c == '\\') {
                ++p_;
                escape(out);
            } else if (c < 0x20) {
                fail("a control character to be escaped");
            } else {
                uint32_t cp;
                size_t n = decodeUtf8(reinterpret_cast<const unsigned char *>(p_),
                                      reinterpret_cast<const unsigned char *>(end_), cp);
                if (n == 0)
                    fail("valid UTF-8");
                out.append(p_, n);
                p_ += n;
            }
        }
    }

    const char *p_;
    const char *begin_;
    const char *end_;
    std::vector<Frame> stack_;
};

}  // namespace

Result<nlohmann::ordered_json> readJson(std::string_view text) {
    try {
        return Reader(text).read();
    } catch (const SyntaxError &e) {
        return Error::foreign("syntax error at byte " + std::to_string(e.at) + ": " + e.what);
    }
}

}  // namespace zorva::scene
