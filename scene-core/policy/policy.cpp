#include "policy.h"

#include "policy/json_reader.h"
#include "policy/policy_writer.h"

#include <limits>
#include <new>
#include <stdexcept>

namespace zorva::scene {

namespace {

// A document that does not match the types. Thrown inside the conversions
// and turned into an Error by parsePolicy.
class ShapeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

constexpr const char *kNoVariant = "data did not match any variant of untagged enum VariableTypes";

const Json &member(const Json &j, const char *key) {
    if (!j.is_object())
        throw ShapeError(std::string("invalid type: ") + j.type_name() + ", expected an object holding `" + key + "`");
    auto it = j.find(key);
    if (it == j.end())
        throw ShapeError(std::string("missing field `") + key + "`");
    return *it;
}

[[noreturn]] void wrongType(const char *key, const Json &v, const char *expected) {
    throw ShapeError(std::string("invalid type for `") + key + "`: " + v.type_name() + ", expected " + expected);
}

std::string readString(const Json &j, const char *key) {
    const Json &v = member(j, key);
    if (!v.is_string())
        wrongType(key, v, "a string");
    return v.get<std::string>();
}

bool readBool(const Json &j, const char *key) {
    const Json &v = member(j, key);
    if (!v.is_boolean())
        wrongType(key, v, "a boolean");
    return v.get<bool>();
}

// Absent means false.
bool readOptionalBool(const Json &j, const char *key) {
    auto it = j.find(key);
    if (it == j.end())
        return false;
    if (!it->is_boolean())
        wrongType(key, *it, "a boolean");
    return it->get<bool>();
}

// Integers must be whole numbers within 32 bits: no silent truncation.
bool toInt32(const Json &v, int32_t &out) {
    if (v.is_number_unsigned()) {
        auto u = v.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
            return false;
        out = static_cast<int32_t>(u);
        return true;
    }
    if (v.is_number_integer()) {
        auto s = v.get<int64_t>();
        if (s < std::numeric_limits<int32_t>::min() || s > std::numeric_limits<int32_t>::max())
            return false;
        out = static_cast<int32_t>(s);
        return true;
    }
    return false;
}

int32_t readInt32(const Json &j, const char *key) {
    const Json &v = member(j, key);
    int32_t out = 0;
    if (!toInt32(v, out))
        wrongType(key, v, "a 32-bit integer");
    return out;
}

std::vector<std::string> stringListOf(const Json &v, const char *key) {
    if (!v.is_array())
        wrongType(key, v, "a list of strings");
    std::vector<std::string> out;
    out.reserve(v.size());
    for (const auto &item : v) {
        if (!item.is_string())
            wrongType(key, item, "a string in the list");
        out.push_back(item.get<std::string>());
    }
    return out;
}

std::vector<std::string> readStringList(const Json &j, const char *key) { return stringListOf(member(j, key), key); }

template <typename T>
std::vector<T> readList(const Json &j, const char *key) {
    const Json &v = member(j, key);
    if (!v.is_array())
        wrongType(key, v, "a list");
    std::vector<T> out;
    out.reserve(v.size());
    for (const auto &item : v)
        out.push_back(item.template get<T>());
    return out;
}

// Depth of the Module conversion in progress on this thread.
thread_local int moduleDepth = 0;

struct DepthGuard {
    DepthGuard() {
        if (++moduleDepth > kMaxModuleDepth) {
            --moduleDepth;
            throw ShapeError("module tree deeper than " + std::to_string(kMaxModuleDepth) + " levels");
        }
    }
    ~DepthGuard() { --moduleDepth; }
    DepthGuard(const DepthGuard &) = delete;
    DepthGuard &operator=(const DepthGuard &) = delete;
};

constexpr const char *kVariantNames[] = {"uid",     "username", "kmod",         "path",
                                         "package", "func",     "path_package", "container"};

}  // namespace

const char *variableKindName(VariableKind kind) {
    auto index = static_cast<size_t>(kind);
    return index < std::size(kVariantNames) ? kVariantNames[index] : "";
}

VariableTypes VariableTypes::uids(std::vector<uint32_t> values) { return {VariableKind::Uid, std::move(values)}; }

VariableTypes VariableTypes::strings(VariableKind kind, std::vector<std::string> values) {
    if (kind == VariableKind::Uid || kind == VariableKind::Container)
        throw std::invalid_argument("not a string-list variant");
    return {kind, std::move(values)};
}

VariableTypes VariableTypes::container(Container value) { return {VariableKind::Container, value}; }

const char *interactiveName(Interactive v) {
    switch (v) {
    case Interactive::Authorize:
        return "authorize";
    case Interactive::Notice:
        return "notice";
    case Interactive::Disabled:
        break;
    }
    return "disabled";
}

void to_json(Json &j, const Interactive &v) { j = interactiveName(v); }

void from_json(const Json &j, Interactive &v) {
    if (!j.is_string())
        throw ShapeError(std::string("invalid interactive value : invalid type: ") + j.type_name() +
                         ", expected string representation of interactive enum");
    const auto &text = j.get_ref<const std::string &>();
    if (text == "disabled")
        v = Interactive::Disabled;
    else if (text == "authorize")
        v = Interactive::Authorize;
    else if (text == "notice")
        v = Interactive::Notice;
    else
        throw ShapeError("failed to convert to Interactive :invalid value \"" + text + "\"");
}

void to_json(Json &j, const PolicyRule &v) {
    j = Json::object();
    if (v.name)
        j["name"] = *v.name;
    j["operation"] = v.operation;
    j["user"] = v.user;
    j["subject"] = v.subject;
    j["object"] = v.object;
    j["object_type"] = v.object_type;
    j["permission"] = v.permission;
    j["func"] = v.func;
    j["eval_func"] = v.eval_func;
}

void from_json(const Json &j, PolicyRule &v) {
    if (!j.is_object())
        throw ShapeError(std::string("invalid type: ") + j.type_name() + ", expected a rule object");
    auto name = j.find("name");
    if (name != j.end() && !name->is_null()) {
        if (!name->is_string())
            wrongType("name", *name, "a string");
        v.name = name->get<std::string>();
    } else {
        v.name.reset();
    }
    v.operation = readString(j, "operation");
    v.user = readString(j, "user");
    v.subject = readString(j, "subject");
    v.object = readString(j, "object");
    v.object_type = readString(j, "object_type");
    v.permission = readStringList(j, "permission");
    v.func = readString(j, "func");
    v.eval_func = readString(j, "eval_func");
}

void to_json(Json &j, const Container &v) {
    j = Json::object();
    j["status"] = v.status;
    j["exectl"] = v.exectl;
    j["netctl"] = v.netctl;
    j["filectl"] = v.filectl;
}

void from_json(const Json &j, Container &v) {
    v.status = readInt32(j, "status");
    v.exectl = readInt32(j, "exectl");
    v.netctl = readInt32(j, "netctl");
    v.filectl = readInt32(j, "filectl");
}

void to_json(Json &j, const VariableTypes &v) {
    j = Json::object();
    j["type"] = kVariantNames[static_cast<size_t>(v.kind())];
    if (const auto *uids = v.uidList())
        j["value"] = *uids;
    else if (const auto *strings = v.stringList())
        j["value"] = *strings;
    else if (const auto *c = v.containerValue())
        j["value"] = *c;
}

void from_json(const Json &j, VariableTypes &v) {
    if (!j.is_object())
        throw ShapeError(kNoVariant);
    auto type = j.find("type");
    auto value = j.find("value");
    if (type == j.end() || value == j.end() || !type->is_string())
        throw ShapeError(kNoVariant);
    const auto &name = type->get_ref<const std::string &>();
    size_t index = 0;
    while (index < std::size(kVariantNames) && name != kVariantNames[index])
        ++index;
    if (index == std::size(kVariantNames))
        throw ShapeError(kNoVariant);
    auto kind = static_cast<VariableKind>(index);
    try {
        if (kind == VariableKind::Uid) {
            if (!value->is_array())
                throw ShapeError(kNoVariant);
            std::vector<uint32_t> uids;
            uids.reserve(value->size());
            for (const auto &item : *value) {
                // Only whole numbers from 0 to 2^32-1; nlohmann keeps non-negative literals unsigned.
                if (!item.is_number_unsigned() || item.get<uint64_t>() > std::numeric_limits<uint32_t>::max())
                    throw ShapeError(kNoVariant);
                uids.push_back(static_cast<uint32_t>(item.get<uint64_t>()));
            }
            v = VariableTypes::uids(std::move(uids));
        } else if (kind == VariableKind::Container) {
            v = VariableTypes::container(value->get<Container>());
        } else {
            v = VariableTypes::strings(kind, stringListOf(*value, "value"));
        }
    } catch (const ShapeError &) {
        throw ShapeError(kNoVariant);
    }
}

void to_json(Json &j, const Variable &v) {
    j = Json::object();
    j["name"] = v.name;
    j["value"] = v.value;
}

void from_json(const Json &j, Variable &v) {
    v.name = readString(j, "name");
    v.value = member(j, "value").get<VariableTypes>();
}

void to_json(Json &j, const Module &v) {
    j = Json::object();
    j["type"] = v.type;
    j["enabled"] = v.enabled;
    j["interactive"] = v.interactive;
    j["modules"] = v.modules;
    j["rules"] = v.rules;
    j["variables"] = v.variables;
    j["addon"] = v.addon;
}

void from_json(const Json &j, Module &v) {
    DepthGuard guard;
    v.type = readString(j, "type");
    v.enabled = readBool(j, "enabled");
    v.interactive = member(j, "interactive").get<Interactive>();
    v.modules = readList<Module>(j, "modules");
    v.rules = readList<PolicyRule>(j, "rules");
    v.variables = readList<Variable>(j, "variables");
    v.addon = readString(j, "addon");
    v.enable_dyn_changed = readOptionalBool(j, "enable_dyn_changed");
    v.section_changed = readOptionalBool(j, "section_changed");
}

void to_json(Json &j, const Policy &v) {
    j = Json::object();
    j["scene"] = v.scene;
    j["enabled"] = v.enabled;
    j["addon"] = v.addon;
    j["priority"] = v.priority;
    j["audit"] = v.audit;
    j["interactive"] = v.interactive;
    j["third_party"] = v.third_party;
    j["version"] = v.version;
    j["modules"] = v.modules;
}

void from_json(const Json &j, Policy &v) {
    v.scene = readString(j, "scene");
    v.enabled = readBool(j, "enabled");
    v.addon = readString(j, "addon");
    v.priority = readInt32(j, "priority");
    v.audit = readBool(j, "audit");
    v.interactive = member(j, "interactive").get<Interactive>();
    v.third_party = readBool(j, "third_party");
    v.version = readInt32(j, "version");
    v.modules = readList<Module>(j, "modules");
}

Result<Policy> parsePolicy(std::string_view bytes) {
    constexpr const char *kContext = "when deserializing loaded json bytes to policy";
    try {
        auto tree = readJson(bytes);
        if (!tree)
            return std::move(tree.error()).context(kContext);
        return tree.value().get<Policy>();
    } catch (const ShapeError &e) {
        return Error::foreign(e.what()).context(kContext);
    } catch (const Json::exception &e) {
        return Error::foreign(e.what()).context(kContext);
    } catch (const std::bad_alloc &) {
        return Error::foreign("out of memory").context(kContext);
    }
}

Result<std::string> dumpPolicy(const Policy &policy) { return writePolicyJson(policy); }

Result<Module *> findRootModule(Policy &policy) {
    for (auto &m : policy.modules)
        if (m.type == kRootModuleType)
            return &m;
    // A document without the "root" wrapper: its first module is the root.
    if (!policy.modules.empty())
        return &policy.modules.front();
    return Error(ErrorKind::ModuleNotFound, "root module not found");
}

namespace {
Module *searchTree(Module &m, std::string_view type) {
    if (m.type == type)
        return &m;
    for (auto &child : m.modules)
        if (Module *found = searchTree(child, type))
            return found;
    return nullptr;
}
}  // namespace

Result<Module *> findModule(Policy &policy, std::string_view type) {
    auto root = findRootModule(policy);
    if (!root)
        return std::move(root.error());
    if (Module *found = searchTree(*root.value(), type))
        return found;
    for (auto &top : policy.modules)
        if (&top != root.value())
            if (Module *found = searchTree(top, type))
                return found;
    if (type == kContainerModuleType)
        return Error(ErrorKind::ModuleNotFound, "Container module not found in policy");
    return Error(ErrorKind::ModuleNotFound, "module " + std::string(type) + " not found in policy");
}

Result<Variable *> findVariable(Policy &policy, std::string_view dottedName) {
    auto root = findRootModule(policy);
    if (!root)
        return std::move(root.error());
    Module *module = root.value();
    std::string_view rest = dottedName;
    bool stepped = false;  // a bare name names no module
    // The name may start at the root module's own type; otherwise it starts
    // at the root's children (the shipped "root" wrapper is not named).
    if (auto dot = rest.find('.'); dot != std::string_view::npos && rest.substr(0, dot) == module->type) {
        rest.remove_prefix(dot + 1);
        stepped = true;
    }
    for (auto dot = rest.find('.'); dot != std::string_view::npos; dot = rest.find('.')) {
        std::string_view step = rest.substr(0, dot);
        rest.remove_prefix(dot + 1);
        Module *next = nullptr;
        for (auto &child : module->modules) {
            if (child.type == step) {
                next = &child;
                break;
            }
        }
        if (next == nullptr)
            return Error(ErrorKind::VariableNotFound, "variable name not found");
        module = next;
        stepped = true;
    }
    if (!stepped)
        return Error(ErrorKind::VariableNotFound, "variable name not found");
    for (auto &var : module->variables)
        if (var.name == rest)
            return &var;
    return Error(ErrorKind::VariableNotFound, "variable name not found");
}

Status updateStringList(Policy &policy, std::string_view dottedName, std::vector<std::string> values) {
    constexpr const char *kContext = "when updating str list data";
    auto var = findVariable(policy, dottedName);
    if (!var)
        return std::move(var.error()).context(kContext);
    auto *list = var.value()->value.stringList();
    if (list == nullptr)
        return Error(ErrorKind::VariableTypeMismatch, "variable " + std::string(dottedName) + " is not a string list")
            .context(kContext);
    *list = std::move(values);
    return {};
}

Result<Container> readContainerState(const Module &module, std::string_view id) {
    for (const auto &var : module.variables) {
        if (var.name != id)
            continue;
        if (const Container *c = var.value.containerValue())
            return *c;
        break;  // the first entry of that name decides
    }
    return Error(ErrorKind::NotFound, "container " + std::string(id) + " not found");
}

}  // namespace zorva::scene
