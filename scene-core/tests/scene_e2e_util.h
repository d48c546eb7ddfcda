// The end-to-end suites' common ground inside the test sandbox: the driver
// installed as the daemon, the shipped document in place, and the
// environment that makes the driver load the built core library, the
// interpreter stand-in and (when asked) the built store library.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "system_paths.h"
#include "test_util.h"

namespace scene_e2e {

// Copies the driver to the daemon's path and puts the shipped document and
// an empty store directory in place.
inline void installDaemonAndDocument() {
    namespace fs = std::filesystem;
    using namespace vrex::testing;
    fs::copy_file(envOrEmpty("VREX_TEST_DRIVER"), kDaemonPath, fs::copy_options::overwrite_existing);
    fs::permissions(kDaemonPath, fs::perms(0755));
    fs::create_directories(kSceneDocumentDirectory);
    writeFile(kSceneDocumentPath, readFile(VREX_DEFAULT_SCENE_DOCUMENT));
    fs::create_directories(kStoreDirectory);
}

// LD_LIBRARY_PATH for the driver: the built core library and the interpreter
// stand-in, and the built store library unless withStore is false.
inline std::vector<std::string> libraryEnv(bool withStore = true) {
    std::string path = vrex::testing::envOrEmpty("VREX_TEST_LIBRARY_PATH");
    if (withStore)
        path.append(":").append(vrex::testing::envOrEmpty("VREX_TEST_STORE_DIR"));
    return {"LD_LIBRARY_PATH=" + path};
}

}  // namespace scene_e2e
