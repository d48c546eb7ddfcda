// The network-control list of the scene document: programs in it get no
// network.
#pragma once

#include <cstdint>

#include "common/error.h"

namespace zorva::scene {

inline constexpr const char *kNetctlList = "container.netctl.netctl_list";

// Network control has one list; the mode is not used.
inline Result<const char *> netctlList(uint32_t) { return kNetctlList; }

}  // namespace zorva::scene
