// The shipped plug-in loads as the plugin manager loads it, with RTLD_NOW:
// every symbol it needs is bound at once (a missing one fails the load, not
// a later call). Each listed export is found, and an entry point answers
// through the real core library, which refuses this test as a caller.
#include <dlfcn.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"
#include "zorva_scene_container_plugin.h"

namespace {

struct Library {
    void *handle;
    explicit Library(const char *path) : handle(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}
    ~Library() {
        if (handle != nullptr)
            dlclose(handle);
    }
};

std::vector<std::string> listedExports() {
    std::vector<std::string> names;
    std::ifstream in(VREX_PLUGIN_EXPORTS);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] != '#')
            names.push_back(line);
    }
    return names;
}

std::string printed(GVariant *response) {
    if (response == nullptr)
        return "(null)";
    gchar *text = g_variant_print(response, TRUE);
    std::string out = text;
    g_free(text);
    g_variant_unref(response);
    return out;
}

TEST(ShippedPlugin, LoadsWithEverySymbolBoundAndAnswersThroughTheCoreLibrary) {
    Library plugin(VREX_SHIPPED_PLUGIN);
    ASSERT_NE(plugin.handle, nullptr) << dlerror();
    const auto names = listedExports();
    ASSERT_EQ(names.size(), 15u);
    for (const auto &name : names)
        EXPECT_NE(dlsym(plugin.handle, name.c_str()), nullptr) << name;

    auto getStatus =
        reinterpret_cast<zorva_scene_plugin_entry>(dlsym(plugin.handle, "zorva_scene_plugin_container_get_status"));
    ASSERT_NE(getStatus, nullptr);
    EXPECT_EQ(printed(getStatus(nullptr)), "{'code': <-1>, 'message': <'invalid data format'>}");
    GVariant *request = g_variant_ref_sink(g_variant_new_parsed("{'param1': <'c1'>}"));
    vrex::testing::CaptureOutput out;
    std::string answer = printed(getStatus(request));
    g_variant_unref(request);
    EXPECT_EQ(answer, "{'code': <-4>, 'message': <'permission denied: only the zorva daemon may use the container "
                      "module'>}");
    EXPECT_EQ(out.out().find("permission denied: caller "), 0u) << out.out();
}

}  // namespace
