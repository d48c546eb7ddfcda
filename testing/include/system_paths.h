// The fixed system paths that the end-to-end suites of the store, the tool
// and the core library work at, inside the test sandbox.
#pragma once

#include <string>

namespace vrex::testing {

inline const std::string kKernelStatusPath = "/sys/kernel/security/vrex/policy_docker/dockerstatus";
inline const std::string kStoreDirectory = "/etc/vrex/container";
inline const std::string kStorePath = kStoreDirectory + "/container.xml";
inline const std::string kSceneDocumentDirectory = "/etc/zorva-scene/scene";
inline const std::string kSceneDocumentPath = kSceneDocumentDirectory + "/zorva_container.json";
// Where the core library's caller check expects the daemon.
inline const std::string kDaemonPath = "/usr/sbin/zorva-daemon";

}  // namespace vrex::testing
