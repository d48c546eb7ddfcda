// The parser of the policy text: the exact inverse of renderPolicyText.
#include <charconv>
#include <limits>
#include <unordered_set>

#include "common/text.h"
#include "policy/policy_text.h"

namespace zorva::scene {

namespace {

// A parse failure inside a line; turned into an Error with the line number.
struct Refusal {
    std::string what;
};

// A cursor over one line (without its newline).
class LineReader {
public:
    explicit LineReader(std::string_view line) : rest_(line) {}

    bool atEnd() const { return rest_.empty(); }

    bool take(std::string_view literal) {
        if (!rest_.starts_with(literal))
            return false;
        rest_.remove_prefix(literal.size());
        return true;
    }

    void expect(std::string_view literal) {
        if (!take(literal))
            throw Refusal{"expected \"" + std::string(literal) + "\""};
    }

    void expectEnd() {
        if (!atEnd())
            throw Refusal{"unexpected text at the end of the line"};
    }

    std::string quoted() {
        expect("\"");
        std::string out;
        for (;;) {
            // Plain bytes are taken a run at a time.
            size_t run = 0;
            while (run < rest_.size() && isPlain(static_cast<unsigned char>(rest_[run])))
                ++run;
            out.append(rest_.substr(0, run));
            rest_.remove_prefix(run);
            if (rest_.empty())
                throw Refusal{"unterminated string"};
            unsigned char c = static_cast<unsigned char>(rest_.front());
            rest_.remove_prefix(1);
            if (c == '"')
                return out;
            if (c == '\\') {
                escape(out);
                continue;
            }
            throw Refusal{"control byte in a string"};
        }
    }

    bool boolean() {
        if (take("true"))
            return true;
        if (take("false"))
            return false;
        throw Refusal{"expected true or false"};
    }

    Interactive interactive() {
        if (take("disabled"))
            return Interactive::Disabled;
        if (take("authorize"))
            return Interactive::Authorize;
        if (take("notice"))
            return Interactive::Notice;
        throw Refusal{"expected disabled, authorize or notice"};
    }

    // A decimal integer in canonical form: no sign but "-", no leading zero.
    template <typename T>
    T integer() {
        size_t n = 0;
        if (n < rest_.size() && rest_[n] == '-')
            ++n;
        size_t digits = n;
        while (n < rest_.size() && rest_[n] >= '0' && rest_[n] <= '9')
            ++n;
        std::string_view token = rest_.substr(0, n);
        bool canonical = n > digits && (rest_[digits] != '0' || n == digits + 1) && token != "-0";
        T value{};
        auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
        if (!canonical || ec != std::errc() || end != token.data() + token.size())
            throw Refusal{"expected an integer"};
        rest_.remove_prefix(n);
        return value;
    }

    std::vector<std::string> stringList() {
        std::vector<std::string> out;
        expect("[");
        if (take("]"))
            return out;
        for (;;) {
            out.push_back(quoted());
            if (take("]"))
                return out;
            expect(", ");
        }
    }

    std::vector<uint32_t> uidList() {
        std::vector<uint32_t> out;
        expect("[");
        if (take("]"))
            return out;
        for (;;) {
            out.push_back(integer<uint32_t>());
            if (take("]"))
                return out;
            expect(", ");
        }
    }

    std::string word() {
        size_t n = 0;
        while (n < rest_.size() && rest_[n] != ' ')
            ++n;
        std::string out(rest_.substr(0, n));
        rest_.remove_prefix(n);
        return out;
    }

private:
    static bool isPlain(unsigned char c) { return c >= 0x20 && c != 0x7F && c != '"' && c != '\\'; }

    static int hexDigit(char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;  // lower case only, as written
    }

    uint32_t hex(size_t digits) {
        if (rest_.size() < digits)
            throw Refusal{"short escape"};
        uint32_t v = 0;
        for (size_t i = 0; i < digits; ++i) {
            int d = hexDigit(rest_[i]);
            if (d < 0)
                throw Refusal{"bad escape"};
            v = (v << 4) | static_cast<uint32_t>(d);
        }
        rest_.remove_prefix(digits);
        return v;
    }

    static void appendUtf8(std::string &out, uint32_t cp) {
        if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
        } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        }
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }

    void escape(std::string &out) {
        if (rest_.empty())
            throw Refusal{"unterminated string"};
        char c = rest_.front();
        rest_.remove_prefix(1);
        switch (c) {
        case '"':
        case '\\':
            out += c;
            return;
        case 'n':
            out += '\n';
            return;
        case 't':
            out += '\t';
            return;
        case 'r':
            out += '\r';
            return;
        case 'x':
            out += static_cast<char>(hex(2));
            return;
        case 'u': {
            // Only the characters the writer escapes this way.
            uint32_t cp = hex(4);
            if (!((cp >= 0x80 && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029))
                throw Refusal{"bad escape"};
            appendUtf8(out, cp);
            return;
        }
        default:
            throw Refusal{"bad escape"};
        }
    }

    std::string_view rest_;
};

VariableTypes parseValue(LineReader &line) {
    std::string kind = line.word();
    line.expect(" ");
    if (kind == "uid")
        return VariableTypes::uids(line.uidList());
    for (auto k : {VariableKind::Username, VariableKind::Kmod, VariableKind::Path, VariableKind::Package,
                   VariableKind::Func, VariableKind::PathPackage})
        if (kind == variableKindName(k))
            return VariableTypes::strings(k, line.stringList());
    throw Refusal{"unknown variable type"};
}

PolicyRule parseRule(LineReader &line) {
    PolicyRule rule;
    if (line.take(" name="))
        rule.name = line.quoted();
    line.expect(" operation=");
    rule.operation = line.quoted();
    line.expect(" user=");
    rule.user = line.quoted();
    line.expect(" subject=");
    rule.subject = line.quoted();
    line.expect(" object=");
    rule.object = line.quoted();
    line.expect(" object_type=");
    rule.object_type = line.quoted();
    line.expect(" permission=");
    rule.permission = line.stringList();
    line.expect(" func=");
    rule.func = line.quoted();
    line.expect(" eval_func=");
    rule.eval_func = line.quoted();
    return rule;
}

PolicyHeader parseHeader(LineReader &line) {
    PolicyHeader h;
    line.expect("scene ");
    h.scene = line.quoted();
    line.expect(" enabled=");
    h.enabled = line.boolean();
    line.expect(" addon=");
    h.addon = line.quoted();
    line.expect(" priority=");
    h.priority = line.integer<int32_t>();
    line.expect(" audit=");
    h.audit = line.boolean();
    line.expect(" interactive=");
    h.interactive = line.interactive();
    line.expect(" third_party=");
    h.third_party = line.boolean();
    line.expect(" version=");
    h.version = line.integer<int32_t>();
    line.expectEnd();
    return h;
}

PolicySection parseSectionLine(LineReader &line) {
    PolicySection s;
    line.expect("section ");
    s.name = line.quoted();
    line.expect(" enabled=");
    s.enabled = line.boolean();
    line.expect(" interactive=");
    s.interactive = line.interactive();
    line.expect(" addon=");
    s.addon = line.quoted();
    line.expectEnd();
    return s;
}

// Walks the text line by line: the magic line, comments and the scene line
// at the top level, then sections.
class TextParser {
public:
    explicit TextParser(std::string_view text) : text_(text) {}

    PolicyText parse() {
        PolicyText out;
        std::string_view line;
        if (!nextLine(line) || line != "zorva-policy 1")
            throw Refusal{"not a zorva policy text of format 1"};
        bool haveHeader = false;
        std::unordered_set<std::string> names;
        while (nextLine(line)) {
            if (line.starts_with("#"))
                continue;
            LineReader reader(line);
            if (!haveHeader) {
                out.model.header = parseHeader(reader);
                out.headerLine = {lineBegin_, pos_};
                haveHeader = true;
                continue;
            }
            TextSpan span{lineBegin_, 0};
            PolicySection section = parseSectionLine(reader);
            parseSectionBody(section);
            span.end = pos_;
            if (!names.insert(section.name).second)
                throw Refusal{"section \"" + escaped(section.name) + "\" appears twice"};
            out.model.sections.push_back(std::move(section));
            out.sectionSpans.push_back(span);
        }
        if (!haveHeader)
            throw Refusal{"no scene line"};
        return out;
    }

    size_t lineNumber() const { return lineNumber_; }

private:
    void parseSectionBody(PolicySection &section) {
        std::string_view line;
        while (nextLine(line)) {
            LineReader reader(line);
            if (reader.take("  variable ")) {
                if (!section.rules.empty())
                    throw Refusal{"a variable after the rules"};
                Variable var;
                var.name = reader.quoted();
                reader.expect(" ");
                var.value = parseValue(reader);
                reader.expectEnd();
                section.variables.push_back(std::move(var));
            } else if (reader.take("  rule")) {
                section.rules.push_back(parseRule(reader));
                reader.expectEnd();
            } else {
                reader.expect("end ");
                if (reader.quoted() != section.name)
                    throw Refusal{"\"end\" names another section"};
                reader.expectEnd();
                return;
            }
        }
        throw Refusal{"section \"" + escaped(section.name) + "\" has no end"};
    }

    bool nextLine(std::string_view &line) {
        if (pos_ == text_.size())
            return false;
        size_t nl = text_.find('\n', pos_);
        ++lineNumber_;
        if (nl == std::string_view::npos)
            throw Refusal{"the last line has no newline"};
        lineBegin_ = pos_;
        line = text_.substr(pos_, nl - pos_);
        pos_ = nl + 1;
        return true;
    }

    std::string_view text_;
    size_t pos_ = 0;
    size_t lineBegin_ = 0;
    size_t lineNumber_ = 0;
};

}  // namespace

Result<PolicyText> parsePolicyText(std::string text) {
    TextParser parser(text);
    try {
        PolicyText out = parser.parse();
        out.text = std::move(text);
        return out;
    } catch (const Refusal &r) {
        return Error::foreign("line " + std::to_string(parser.lineNumber()) + ": " + r.what)
            .context("not a policy text of this library");
    }
}

}  // namespace zorva::scene
