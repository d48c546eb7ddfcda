// The exported file-control rule operations.
#include "filectl/filectl_lists.h"
#include "policy/linked_interpreter.h"
#include "policy/rule_operation.h"
#include "zorva_scene_container.h"

using namespace zorva::scene;

extern "C" {

int32_t zorva_scene_add_container_policy_by_path_filectl(const char *path, uint32_t mode,
                                                         const zorva_scene_addon_info *addon) {
    try {
        return runPathRule(defaultRuleContext(linkedInterpreter()), RuleAction::Add, path, &filectlListForMode, mode,
                           addon);
    } catch (...) {
        return 1;
    }
}

int32_t zorva_scene_remove_container_policy_by_path_filectl(const char *path, uint32_t mode,
                                                            const zorva_scene_addon_info *addon) {
    try {
        return runPathRule(defaultRuleContext(linkedInterpreter()), RuleAction::Remove, path, &filectlListForMode, mode,
                           addon);
    } catch (...) {
        return 1;
    }
}

}  // extern "C"
