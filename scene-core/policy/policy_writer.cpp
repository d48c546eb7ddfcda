#include "policy/policy_writer.h"

#include "common/text.h"

namespace zorva::scene {

namespace {

// A string that is not valid UTF-8; caught by writePolicyJson.
struct InvalidText {
    size_t at;
    unsigned char byte;
};

class JsonWriter {
public:
    explicit JsonWriter(std::string &out) : out_(out) {}

    // Members of an object or items of a list: open, then each one, then close.
    void open(char bracket) {
        out_ += bracket;
        ++depth_;
        first_ = true;
    }
    // An empty list or object closes at once: "[]", "{}".
    void close(char bracket) {
        --depth_;
        if (!first_)
            newline();
        out_ += bracket;
        first_ = false;
    }
    void key(std::string_view name) {
        item();
        out_ += '"';
        out_ += name;
        out_ += "\": ";
    }
    void item() {
        if (!first_)
            out_ += ',';
        newline();
        first_ = false;
    }

    void string(std::string_view text) {
        out_ += '"';
        escape(text);
        out_ += '"';
    }
    void boolean(bool v) { out_ += v ? "true" : "false"; }
    void number(long long v) { out_ += std::to_string(v); }

private:
    void newline() {
        out_ += '\n';
        out_.append(static_cast<size_t>(depth_) * 2, ' ');
    }

    // As nlohmann escapes: the two-character forms, \u00xx for the other
    // control bytes below 0x20, everything else (valid UTF-8) as it is.
    void escape(std::string_view text) {
        const auto *p = reinterpret_cast<const unsigned char *>(text.data());
        const auto *end = p + text.size();
        const auto *begin = p;
        while (p < end) {
            const auto *run = p;
            while (run < end && *run >= 0x20 && *run < 0x80 && *run != '"' && *run != '\\')
                ++run;
            out_.append(reinterpret_cast<const char *>(p), static_cast<size_t>(run - p));
            p = run;
            if (p == end)
                break;
            unsigned char c = *p;
            if (c >= 0x80) {
                uint32_t cp;
                size_t n = decodeUtf8(p, end, cp);
                if (n == 0)
                    throw InvalidText{static_cast<size_t>(p - begin), c};
                out_.append(reinterpret_cast<const char *>(p), n);
                p += n;
                continue;
            }
            ++p;
            switch (c) {
            case '"':
                out_ += "\\\"";
                break;
            case '\\':
                out_ += "\\\\";
                break;
            case '\b':
                out_ += "\\b";
                break;
            case '\f':
                out_ += "\\f";
                break;
            case '\n':
                out_ += "\\n";
                break;
            case '\r':
                out_ += "\\r";
                break;
            case '\t':
                out_ += "\\t";
                break;
            default: {
                static constexpr char kHex[] = "0123456789abcdef";
                out_ += "\\u00";
                out_ += kHex[c >> 4];
                out_ += kHex[c & 0xF];
            }
            }
        }
    }

    std::string &out_;
    int depth_ = 0;
    bool first_ = true;
};

void writeStrings(JsonWriter &w, const std::vector<std::string> &items) {
    w.open('[');
    for (const auto &s : items) {
        w.item();
        w.string(s);
    }
    w.close(']');
}

void writeRule(JsonWriter &w, const PolicyRule &r) {
    w.open('{');
    if (r.name) {
        w.key("name");
        w.string(*r.name);
    }
    w.key("operation");
    w.string(r.operation);
    w.key("user");
    w.string(r.user);
    w.key("subject");
    w.string(r.subject);
    w.key("object");
    w.string(r.object);
    w.key("object_type");
    w.string(r.object_type);
    w.key("permission");
    writeStrings(w, r.permission);
    w.key("func");
    w.string(r.func);
    w.key("eval_func");
    w.string(r.eval_func);
    w.close('}');
}

void writeValue(JsonWriter &w, const VariableTypes &v) {
    w.open('{');
    w.key("type");
    w.string(variableKindName(v.kind()));
    if (const auto *uids = v.uidList()) {
        w.key("value");
        w.open('[');
        for (uint32_t uid : *uids) {
            w.item();
            w.number(uid);
        }
        w.close(']');
    } else if (const auto *strings = v.stringList()) {
        w.key("value");
        writeStrings(w, *strings);
    } else if (const auto *c = v.containerValue()) {
        w.key("value");
        w.open('{');
        w.key("status");
        w.number(c->status);
        w.key("exectl");
        w.number(c->exectl);
        w.key("netctl");
        w.number(c->netctl);
        w.key("filectl");
        w.number(c->filectl);
        w.close('}');
    }
    w.close('}');
}

void writeModule(JsonWriter &w, const Module &m) {
    w.open('{');
    w.key("type");
    w.string(m.type);
    w.key("enabled");
    w.boolean(m.enabled);
    w.key("interactive");
    w.string(interactiveName(m.interactive));
    w.key("modules");
    w.open('[');
    for (const auto &child : m.modules) {
        w.item();
        writeModule(w, child);
    }
    w.close(']');
    w.key("rules");
    w.open('[');
    for (const auto &rule : m.rules) {
        w.item();
        writeRule(w, rule);
    }
    w.close(']');
    w.key("variables");
    w.open('[');
    for (const auto &var : m.variables) {
        w.item();
        w.open('{');
        w.key("name");
        w.string(var.name);
        w.key("value");
        writeValue(w, var.value);
        w.close('}');
    }
    w.close(']');
    w.key("addon");
    w.string(m.addon);
    w.close('}');
}

// Roughly the size of the text: each string with its quotes, indentation
// and line end. Reserving it spares the copies of a growing buffer.
size_t estimatedSize(const Module &m) {
    size_t size = 512 + m.addon.size();
    for (const auto &child : m.modules)
        size += estimatedSize(child);
    for (const auto &rule : m.rules)
        size += 512 + rule.operation.size() + rule.subject.size() + rule.object.size() + rule.permission.size() * 32;
    for (const auto &var : m.variables) {
        size += 256 + var.name.size();
        if (const auto *strings = var.value.stringList())
            for (const auto &s : *strings)
                size += s.size() + 40;
        if (const auto *uids = var.value.uidList())
            size += uids->size() * 40;
    }
    return size;
}

}  // namespace

Result<std::string> writePolicyJson(const Policy &policy) {
    std::string out;
    size_t estimate = 1024;
    for (const auto &m : policy.modules)
        estimate += estimatedSize(m);
    out.reserve(estimate);
    JsonWriter w(out);
    try {
        w.open('{');
        w.key("scene");
        w.string(policy.scene);
        w.key("enabled");
        w.boolean(policy.enabled);
        w.key("addon");
        w.string(policy.addon);
        w.key("priority");
        w.number(policy.priority);
        w.key("audit");
        w.boolean(policy.audit);
        w.key("interactive");
        w.string(interactiveName(policy.interactive));
        w.key("third_party");
        w.boolean(policy.third_party);
        w.key("version");
        w.number(policy.version);
        w.key("modules");
        w.open('[');
        for (const auto &m : policy.modules) {
            w.item();
            writeModule(w, m);
        }
        w.close(']');
        w.close('}');
    } catch (const InvalidText &bad) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        return Error::foreign("invalid UTF-8 byte at index " + std::to_string(bad.at) + ": 0x" + kHex[bad.byte >> 4] +
                              kHex[bad.byte & 0xF])
            .context("when serializing policy to json");
    }
    out += '\n';
    return out;
}

}  // namespace zorva::scene
