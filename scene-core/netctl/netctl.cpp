// The exported network-control rule operations.
#include "netctl/netctl_lists.h"
#include "policy/linked_interpreter.h"
#include "policy/rule_operation.h"
#include "zorva_scene_container.h"

using namespace zorva::scene;

extern "C" {

int32_t zorva_scene_add_container_policy_by_path_netctl(const char *path, const zorva_scene_addon_info *addon) {
    try {
        return runPathRule(defaultRuleContext(linkedInterpreter()), RuleAction::Add, path, &netctlList, 0, addon);
    } catch (...) {
        return 1;
    }
}

int32_t zorva_scene_remove_container_policy_by_path_netctl(const char *path, const zorva_scene_addon_info *addon) {
    try {
        return runPathRule(defaultRuleContext(linkedInterpreter()), RuleAction::Remove, path, &netctlList, 0, addon);
    } catch (...) {
        return 1;
    }
}

}  // extern "C"
