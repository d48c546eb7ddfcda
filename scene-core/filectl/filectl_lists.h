// The three file-control lists of the scene document, chosen by mode.
#pragma once

#include <cstdint>
#include <string>

#include "common/error.h"

namespace zorva::scene {

inline constexpr const char *kFilectlAccessList = "container.filectl.filectl_list";
inline constexpr const char *kFilectlWriteList = "container.filectl.filectl_write_list";
inline constexpr const char *kFilectlUnlinkList = "container.filectl.filectl_unlink_list";

// Mode 0: no access at all; 1: no write; 2: no unlink. Any other mode is an
// invalid argument.
inline Result<const char *> filectlListForMode(uint32_t mode) {
    switch (mode) {
    case 0:
        return kFilectlAccessList;
    case 1:
        return kFilectlWriteList;
    case 2:
        return kFilectlUnlinkList;
    default:
        return Error(ErrorKind::InvalidArgument, "invalid file-control mode " + std::to_string(mode));
    }
}

}  // namespace zorva::scene
