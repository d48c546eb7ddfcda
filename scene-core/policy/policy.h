// The scene policy document: its types, their JSON form, and the lookups and
// changes that the exported operations make on it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/error.h"

namespace zorva::scene {

using Json = nlohmann::ordered_json;

enum class Interactive : uint8_t { Disabled = 0, Authorize = 1, Notice = 2 };

// The value's name as documents and the policy text write it ("authorize").
const char *interactiveName(Interactive v);

struct PolicyRule {
    std::optional<std::string> name;
    std::string operation;
    std::string user;
    std::string subject;
    std::string object;
    std::string object_type;
    std::vector<std::string> permission;
    std::string func;
    std::string eval_func;
    bool operator==(const PolicyRule &) const = default;
};

// A container's own switch and the states of its three controls.
struct Container {
    int32_t status = 0;
    int32_t exectl = 0;
    int32_t netctl = 0;
    int32_t filectl = 0;
    bool operator==(const Container &) const = default;
};

// The variant names, in the order of their numeric index.
enum class VariableKind : uint8_t { Uid, Username, Kmod, Path, Package, Func, PathPackage, Container };

// The variant's name as documents write it ("path" for Path).
const char *variableKindName(VariableKind kind);

// A tagged union: the kind names the variant, the payload matches it (a uid
// list for Uid, a container for Container, a string list for the others).
class VariableTypes {
public:
    // An empty path list.
    VariableTypes() : kind_(VariableKind::Path), payload_(std::vector<std::string>{}) {}
    static VariableTypes uids(std::vector<uint32_t> values);
    static VariableTypes strings(VariableKind kind, std::vector<std::string> values);
    static VariableTypes container(Container value);

    VariableKind kind() const { return kind_; }
    bool isStringList() const { return std::holds_alternative<std::vector<std::string>>(payload_); }
    const std::vector<uint32_t> *uidList() const { return std::get_if<std::vector<uint32_t>>(&payload_); }
    const std::vector<std::string> *stringList() const { return std::get_if<std::vector<std::string>>(&payload_); }
    std::vector<std::string> *stringList() { return std::get_if<std::vector<std::string>>(&payload_); }
    const Container *containerValue() const { return std::get_if<Container>(&payload_); }
    Container *containerValue() { return std::get_if<Container>(&payload_); }
    bool operator==(const VariableTypes &) const = default;

private:
    VariableTypes(VariableKind kind, std::variant<std::vector<uint32_t>, std::vector<std::string>, Container> p)
        : kind_(kind), payload_(std::move(p)) {}
    VariableKind kind_;
    std::variant<std::vector<uint32_t>, std::vector<std::string>, Container> payload_;
};

struct Variable {
    std::string name;
    VariableTypes value;
    bool operator==(const Variable &) const = default;
};

struct Module {
    std::string type;
    bool enabled = false;
    Interactive interactive = Interactive::Disabled;
    std::vector<Module> modules;
    std::vector<PolicyRule> rules;
    std::vector<Variable> variables;
    std::string addon;
    // Read from the document, never written back.
    bool enable_dyn_changed = false;
    bool section_changed = false;
    bool operator==(const Module &) const = default;
};

struct Policy {
    std::string scene;
    bool enabled = false;
    std::string addon;
    int32_t priority = 0;
    bool audit = false;
    Interactive interactive = Interactive::Disabled;
    bool third_party = false;
    int32_t version = 0;
    std::vector<Module> modules;
    bool operator==(const Policy &) const = default;
};

// Module trees deeper than this are refused on load, so that a hostile
// document cannot exhaust the stack of the recursive conversions.
inline constexpr int kMaxModuleDepth = 128;

void to_json(Json &j, const Interactive &v);
void from_json(const Json &j, Interactive &v);
void to_json(Json &j, const PolicyRule &v);
void from_json(const Json &j, PolicyRule &v);
void to_json(Json &j, const Container &v);
void from_json(const Json &j, Container &v);
void to_json(Json &j, const VariableTypes &v);
void from_json(const Json &j, VariableTypes &v);
void to_json(Json &j, const Variable &v);
void from_json(const Json &j, Variable &v);
void to_json(Json &j, const Module &v);
void from_json(const Json &j, Module &v);
void to_json(Json &j, const Policy &v);
void from_json(const Json &j, Policy &v);

// Parses document bytes into a policy.
Result<Policy> parsePolicy(std::string_view bytes);
// Serialises a policy: pretty-printed, two blanks per level, final newline.
Result<std::string> dumpPolicy(const Policy &policy);

// The root module: the top-level module of type "root" (the shipped
// document's wrapper), else the first top-level module, so that a document
// whose top-level module is "container" itself works as well.
Result<Module *> findRootModule(Policy &policy);
// The first module of the given type in the tree below (and including) the
// root module, then in the trees of the other top-level modules.
Result<Module *> findModule(Policy &policy, std::string_view type);
// A variable by dotted name: module types from the root module (its own type
// may be named first or left out) down, then the variable's name
// ("container.filectl.filectl_list").
Result<Variable *> findVariable(Policy &policy, std::string_view dottedName);
// Replaces the string list of the named variable by `values`.
Status updateStringList(Policy &policy, std::string_view dottedName, std::vector<std::string> values);
// The container state stored under `id` in the container module `module`:
// the first variable with that name; not found when absent or of another kind.
Result<Container> readContainerState(const Module &module, std::string_view id);

inline constexpr const char *kRootModuleType = "root";
inline constexpr const char *kContainerModuleType = "container";

}  // namespace zorva::scene
