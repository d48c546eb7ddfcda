// Entry checks shared by the rule exports: the caller must be the zorva
// daemon, and the add-on kind must be 0, 1 or 2. Each prints its one line on
// refusal and gives the code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "zorva_scene_container.h"

namespace zorva::scene {

// -4 (after printing the refusal) unless `callerExecutable` names the daemon
// ("/sbin/zorva-daemon" or "/usr/sbin/zorva-daemon"); a null function counts
// as an unknown caller.
std::optional<int32_t> refuseCaller(std::string (*callerExecutable)());

// -14 (after printing the refusal) for a null add-on or a kind outside 0..2.
std::optional<int32_t> refuseAddon(const zorva_scene_addon_info *addon);

}  // namespace zorva::scene
