// The policy text: the scene document turned into the line-oriented form
// that the policy interpreter compiles (README.md beside this file describes
// it). One section per module, in document order; every value quoted and
// escaped, so that no value can add, end or change a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "policy/policy.h"

namespace zorva::scene {

// The scene's own settings (the document root but its modules).
struct PolicyHeader {
    std::string scene;
    bool enabled = false;
    std::string addon;
    int32_t priority = 0;
    bool audit = false;
    Interactive interactive = Interactive::Disabled;
    bool third_party = false;
    int32_t version = 0;
    bool operator==(const PolicyHeader &) const = default;
};

// One module: its name (see sectionNames), settings, variables and rules.
// Container entries are not part of it: the status operations hand them to
// the kernel through the status record.
struct PolicySection {
    std::string name;
    bool enabled = false;
    Interactive interactive = Interactive::Disabled;
    std::string addon;
    std::vector<Variable> variables;
    std::vector<PolicyRule> rules;
    bool operator==(const PolicySection &) const = default;
};

struct PolicyTextModel {
    PolicyHeader header;
    std::vector<PolicySection> sections;
    bool operator==(const PolicyTextModel &) const = default;
};

// Where a line or a section lies in a text.
struct TextSpan {
    size_t begin = 0;
    size_t end = 0;
};

// A policy text with its model and where each part of the model lies in it:
// either rendered from a document or parsed from a file.
struct PolicyText {
    PolicyTextModel model;
    std::string text;
    TextSpan headerLine;                 // the "scene" line and its newline
    std::vector<TextSpan> sectionSpans;  // from "section" to "end" and its newline
    std::string_view headerText() const { return span(headerLine); }
    std::string_view sectionText(size_t i) const { return span(sectionSpans[i]); }

private:
    std::string_view span(TextSpan s) const { return std::string_view(text).substr(s.begin, s.end - s.begin); }
};

// Module types become section names only when they match [A-Za-z0-9_-]+ and
// are at most this long: a name must not hold the "." that joins names.
inline constexpr size_t kMaxModuleTypeBytes = 255;

// The model of `policy`. A module's section is named by the types from its
// top-level module down, joined by "."; the top-level module of type "root"
// (the shipped document's wrapper) is named "root" and left out of its
// descendants' names, so that they read as the variables' dotted names do
// ("container.filectl"). Refused (policy generation failure): a module type
// that is not a name, two modules of the same section name.
// `dynamic`, when given, receives each section's enable_dyn_changed.
Result<PolicyTextModel> policyTextModel(const Policy &policy, std::vector<bool> *dynamic = nullptr);

// The text of a model; rendering never fails.
PolicyText renderPolicyText(PolicyTextModel model);

// policyTextModel, then renderPolicyText.
Result<PolicyText> generatePolicyText(const Policy &policy, std::vector<bool> *dynamic = nullptr);

// A list variable's value as the text writes it: ["a", "b"], or [1, 2] for
// uids. What modifyDynamicVariable receives.
std::string renderListValue(const VariableTypes &value);

// Parses a policy text. Anything but the exact form renderPolicyText writes
// (comment lines at the top level aside) is refused with the line number.
// The text is kept in the result (taken over, not copied).
Result<PolicyText> parsePolicyText(std::string text);

}  // namespace zorva::scene
