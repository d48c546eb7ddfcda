// Entry checks shared by every export: the caller must be the zorva
// daemon, and the add-on kind must be 0, 1 or 2. Each prints its one line on
// refusal and gives the code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "zorva_scene_container.h"

namespace zorva::scene {

// The daemon's executable as the kernel names it: one of the two paths, or,
// once a package upgrade has replaced the file under the running daemon, the
// same path followed by " (deleted)".
bool isDaemonExecutable(std::string_view exe);

// -4 (after printing the refusal) unless `callerExecutable` names the daemon
// (see isDaemonExecutable); a null function counts as an unknown caller.
std::optional<int32_t> refuseCaller(std::string (*callerExecutable)());

// -14 (after printing the refusal) for a null add-on or a kind outside 0..2.
std::optional<int32_t> refuseAddon(const zorva_scene_addon_info *addon);

}  // namespace zorva::scene
