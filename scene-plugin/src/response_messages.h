// The one table from result codes to the messages of plug-in responses.
#pragma once

#include <cstdint>

namespace zorva::plugin {

// "success" for 0; a message for each core library code from -1 to -17;
// "unknow error" for -100 and every other code.
const char *messageForCode(int32_t code) noexcept;

// Messages of requests that cannot be decoded (code -1, nothing called).
inline constexpr const char *kInvalidFormat = "invalid data format";
inline constexpr const char *kInvalidParameter = "invalid data parameter";
inline constexpr const char *kInvalidStatus = "invalid status data parameter";
inline constexpr const char *kInvalidModule = "invalid module data parameter";
inline constexpr const char *kInvalidContainerId = "invalid containerid data parameter";
inline constexpr int32_t kDecodeFailureCode = -1;

}  // namespace zorva::plugin
