// The built libvault_store.so as other programs see it: its name, SONAME,
// and a dynamic symbol table holding exactly the vault_store_* interface.
#include <dlfcn.h>

#include <set>
#include <sstream>
#include <string>

#include "test_util.h"

using vrex::testing::runProcess;

namespace {

const std::set<std::string> kInterface = {
    "vault_store_save",          "vault_store_load",      "vault_store_get_default_path", "vault_store_exists",
    "vault_store_init",          "vault_store_cleanup",   "vault_store_add_policy",       "vault_store_remove_policy",
    "vault_store_find_policy",   "vault_store_clear_all", "vault_store_load_to_array",    "vault_store_array_free",
    "vault_store_sync_to_kernel"};

}  // namespace

TEST(LibraryInterface, ExportsExactlyTheStoreFunctions) {
    auto nm = runProcess({"nm", "-D", "--defined-only", VAULT_STORE_LIBRARY});
    ASSERT_EQ(nm.exitCode, 0) << nm.err;
    std::set<std::string> exported;
    std::istringstream lines(nm.out);
    std::string addr, type, name;
    while (lines >> addr >> type >> name)
        exported.insert(name);
    EXPECT_EQ(exported, kInterface);
}

TEST(LibraryInterface, NameAndSonameCarryNoVersion) {
    std::string path = VAULT_STORE_LIBRARY;
    EXPECT_EQ(path.substr(path.rfind('/') + 1), "libvault_store.so");
    auto elf = runProcess({"readelf", "-d", VAULT_STORE_LIBRARY});
    ASSERT_EQ(elf.exitCode, 0) << elf.err;
    EXPECT_NE(elf.out.find("Library soname: [libvault_store.so]"), std::string::npos) << elf.out;
}

TEST(LibraryInterface, LoadsByPathAndResolvesEveryFunction) {
    void *lib = dlopen(VAULT_STORE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    for (const auto &name : kInterface)
        EXPECT_NE(dlsym(lib, name.c_str()), nullptr) << name;
    auto path = reinterpret_cast<const char *(*)()>(dlsym(lib, "vault_store_get_default_path"));
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path(), "/etc/vrex/container/container.xml");
    dlclose(lib);
}
