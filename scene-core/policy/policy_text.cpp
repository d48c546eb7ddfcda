#include "policy/policy_text.h"

#include <unordered_set>

#include "common/text.h"

namespace zorva::scene {

namespace {

constexpr const char *kGenerateFailed = "failed to generate the policy text";

bool isSectionNameStep(std::string_view type) {
    if (type.empty() || type.size() > kMaxModuleTypeBytes)
        return false;
    for (char c : type) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

class ModelBuilder {
public:
    explicit ModelBuilder(std::vector<bool> *dynamic) : dynamic_(dynamic) {}

    Status add(const Module &module, const std::string &parentName, bool topLevel) {
        if (!isSectionNameStep(module.type))
            return Error(ErrorKind::PolicyGenerateFailed, "module type \"" + escaped(module.type) +
                                                              "\" is not a name ([A-Za-z0-9_-], at most " +
                                                              std::to_string(kMaxModuleTypeBytes) + " bytes)")
                .context(kGenerateFailed);
        std::string name = parentName.empty() ? module.type : parentName + "." + module.type;
        if (!names_.insert(name).second)
            return Error(ErrorKind::PolicyGenerateFailed, "two modules make the section \"" + name + "\"")
                .context(kGenerateFailed);
        PolicySection section;
        section.name = name;
        section.enabled = module.enabled;
        section.interactive = module.interactive;
        section.addon = module.addon;
        section.variables.reserve(module.variables.size());
        for (const auto &var : module.variables)
            if (var.value.kind() != VariableKind::Container)
                section.variables.push_back(var);
        section.rules = module.rules;
        model_.sections.push_back(std::move(section));
        if (dynamic_)
            dynamic_->push_back(module.enable_dyn_changed);
        // The "root" wrapper is not named in its descendants' names.
        const std::string childParent = topLevel && module.type == kRootModuleType ? std::string() : name;
        for (const auto &child : module.modules)
            if (auto added = add(child, childParent, false); !added)
                return added;
        return {};
    }

    PolicyTextModel &model() { return model_; }

private:
    PolicyTextModel model_;
    std::unordered_set<std::string> names_;
    std::vector<bool> *dynamic_;
};

const char *boolWord(bool v) { return v ? "true" : "false"; }

void appendQuoted(std::string &out, std::string_view value) {
    out += '"';
    appendEscaped(out, value);
    out += '"';
}

void appendField(std::string &out, const char *key, std::string_view value) {
    out += ' ';
    out += key;
    out += '=';
    appendQuoted(out, value);
}

void appendWord(std::string &out, const char *key, std::string_view word) {
    out += ' ';
    out += key;
    out += '=';
    out += word;
}

void appendStringList(std::string &out, const std::vector<std::string> &items) {
    out += '[';
    for (size_t i = 0; i < items.size(); ++i) {
        if (i != 0)
            out += ", ";
        appendQuoted(out, items[i]);
    }
    out += ']';
}

void appendListValue(std::string &out, const VariableTypes &value) {
    if (const auto *uids = value.uidList()) {
        out += '[';
        for (size_t i = 0; i < uids->size(); ++i) {
            if (i != 0)
                out += ", ";
            out += std::to_string((*uids)[i]);
        }
        out += ']';
    } else if (const auto *strings = value.stringList()) {
        appendStringList(out, *strings);
    } else {
        out += "[]";  // container entries never reach the text
    }
}

void appendHeader(std::string &out, const PolicyHeader &h) {
    out += "scene ";
    appendQuoted(out, h.scene);
    appendWord(out, "enabled", boolWord(h.enabled));
    appendField(out, "addon", h.addon);
    appendWord(out, "priority", std::to_string(h.priority));
    appendWord(out, "audit", boolWord(h.audit));
    appendWord(out, "interactive", interactiveName(h.interactive));
    appendWord(out, "third_party", boolWord(h.third_party));
    appendWord(out, "version", std::to_string(h.version));
    out += '\n';
}

void appendRule(std::string &out, const PolicyRule &rule) {
    out += "  rule";
    if (rule.name)
        appendField(out, "name", *rule.name);
    appendField(out, "operation", rule.operation);
    appendField(out, "user", rule.user);
    appendField(out, "subject", rule.subject);
    appendField(out, "object", rule.object);
    appendField(out, "object_type", rule.object_type);
    out += " permission=";
    appendStringList(out, rule.permission);
    appendField(out, "func", rule.func);
    appendField(out, "eval_func", rule.eval_func);
    out += '\n';
}

void appendSection(std::string &out, const PolicySection &s) {
    out += "section ";
    appendQuoted(out, s.name);
    appendWord(out, "enabled", boolWord(s.enabled));
    appendWord(out, "interactive", interactiveName(s.interactive));
    appendField(out, "addon", s.addon);
    out += '\n';
    for (const auto &var : s.variables) {
        out += "  variable ";
        appendQuoted(out, var.name);
        out += ' ';
        out += variableKindName(var.value.kind());
        out += ' ';
        appendListValue(out, var.value);
        out += '\n';
    }
    for (const auto &rule : s.rules)
        appendRule(out, rule);
    out += "end ";
    appendQuoted(out, s.name);
    out += '\n';
}

}  // namespace

Result<PolicyTextModel> policyTextModel(const Policy &policy, std::vector<bool> *dynamic) {
    ModelBuilder builder(dynamic);
    PolicyHeader &h = builder.model().header;
    h.scene = policy.scene;
    h.enabled = policy.enabled;
    h.addon = policy.addon;
    h.priority = policy.priority;
    h.audit = policy.audit;
    h.interactive = policy.interactive;
    h.third_party = policy.third_party;
    h.version = policy.version;
    for (const auto &top : policy.modules)
        if (auto added = builder.add(top, std::string(), true); !added)
            return std::move(added.error());
    return std::move(builder.model());
}

PolicyText renderPolicyText(PolicyTextModel model) {
    PolicyText out;
    std::string &text = out.text;
    // Roughly its size, so that the text is not copied as it grows.
    size_t estimate = 1024;
    for (const auto &section : model.sections) {
        estimate += 256 + section.name.size() * 2 + section.rules.size() * 512;
        for (const auto &var : section.variables) {
            estimate += 64 + var.name.size();
            if (const auto *strings = var.value.stringList())
                for (const auto &s : *strings)
                    estimate += s.size() + 8;
            if (const auto *uids = var.value.uidList())
                estimate += uids->size() * 12;
        }
    }
    text.reserve(estimate);
    text += "zorva-policy 1\n";
    text += "# generated from the scene policy document; changes made here are overwritten\n";
    out.headerLine.begin = text.size();
    appendHeader(text, model.header);
    out.headerLine.end = text.size();
    out.sectionSpans.reserve(model.sections.size());
    for (const auto &section : model.sections) {
        TextSpan span{text.size(), 0};
        appendSection(text, section);
        span.end = text.size();
        out.sectionSpans.push_back(span);
    }
    out.model = std::move(model);
    return out;
}

Result<PolicyText> generatePolicyText(const Policy &policy, std::vector<bool> *dynamic) {
    auto model = policyTextModel(policy, dynamic);
    if (!model)
        return std::move(model.error());
    return renderPolicyText(std::move(model.value()));
}

std::string renderListValue(const VariableTypes &value) {
    std::string out;
    appendListValue(out, value);
    return out;
}

}  // namespace zorva::scene
