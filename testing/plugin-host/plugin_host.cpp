// Test support: loads the container plug-in as the scene plugin manager does
// (dlopen with RTLD_NOW | RTLD_LOCAL), calls one entry point with a request
// given in GVariant text format and prints the response in text format.
// Copied to /usr/sbin/zorva-daemon inside the test sandbox, so that the core
// library's caller check accepts it. Never installed.
//
// Exit status: 0 the response was printed; 1 the plug-in could not be
// loaded, or its response breaks the contract (null, not a non-floating
// "a{sv}"); 2 a bad command line or request text.
#include <dlfcn.h>
#include <glib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <variant>

#include "host_args.h"
#include "zorva_scene_container_plugin.h"

using namespace zorva::plugin_host;

namespace {

// Standard input, bounded so that a runaway pipe cannot exhaust memory.
bool readStandardInput(std::string &text) {
    constexpr size_t kMaxRequest = 64u << 20;
    char buf[65536];
    ssize_t n;
    while ((n = read(0, buf, sizeof buf)) != 0) {
        if (n < 0)
            return false;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > kMaxRequest)
            return false;
    }
    return true;
}

int run(const HostOptions &options) {
    GVariant *request = nullptr;
    if (!options.nullRequest) {
        std::string text;
        if (options.request)
            text = *options.request;
        else if (!readStandardInput(text)) {
            std::fprintf(stderr, "zorva-plugin-host: cannot read the request from standard input\n");
            return 2;
        }
        GError *error = nullptr;
        request = g_variant_parse(nullptr, text.data(), text.data() + text.size(), nullptr, &error);
        if (request == nullptr) {
            std::fprintf(stderr, "zorva-plugin-host: bad request: %s\n", error->message);
            g_error_free(error);
            return 2;
        }
    }

    void *plugin = dlopen(options.plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) {
        std::fprintf(stderr, "zorva-plugin-host: cannot load the plug-in: %s\n", dlerror());
        if (request != nullptr)
            g_variant_unref(request);
        return 1;
    }
    auto entry = reinterpret_cast<zorva_scene_plugin_entry>(dlsym(plugin, options.entry.c_str()));
    int status = 0;
    if (entry == nullptr) {
        std::fprintf(stderr, "zorva-plugin-host: the plug-in has no %s\n", options.entry.c_str());
        status = 1;
    } else {
        GVariant *response = entry(request);
        if (response == nullptr) {
            std::fprintf(stderr, "zorva-plugin-host: null response\n");
            status = 1;
        } else {
            gchar *text = g_variant_print(response, TRUE);
            std::printf("%s\n", text);
            g_free(text);
            if (!g_variant_is_of_type(response, G_VARIANT_TYPE_VARDICT) || g_variant_is_floating(response)) {
                std::fprintf(stderr, "zorva-plugin-host: the response is not a non-floating a{sv}\n");
                status = 1;
            }
            g_variant_unref(response);
        }
    }
    // The request was only lent to the plug-in: releasing it here is the
    // last reference (a plug-in that released it too would fault now).
    if (request != nullptr)
        g_variant_unref(request);
    dlclose(plugin);
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    auto parsed = parseHostArguments(argc, argv);
    if (auto *message = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "zorva-plugin-host: %s\n%s", message->c_str(), kUsage);
        return 2;
    }
    int status = run(std::get<HostOptions>(parsed));
    std::fflush(stdout);
    return status;
}
