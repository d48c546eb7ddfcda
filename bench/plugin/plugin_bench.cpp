// The cost of one get-status call through the plug-in (decode the request,
// call the core stand-in, encode the response), beside a reference measured
// in the same run: g_variant_parse plus g_variant_print of the same request.
// Prints nanoseconds and heap allocations per call; allocations are counted
// by replacing malloc and its companions in this program, with GLib's slice
// allocator sent to malloc (G_SLICE=always-malloc) so that none is hidden.
//
//   plugin_bench [CALLS_PER_BATCH]
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <glib.h>

#include "core_standin.h"
#include "zorva_scene_container_plugin.h"
#include "zorva_scene_container_plugin_response.h"

// glibc's own allocator entry points, behind the replacements below.
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);
}

namespace {
std::atomic<uint64_t> allocations{0};
void counted() { allocations.fetch_add(1, std::memory_order_relaxed); }
}  // namespace

#define VREX_EXPORT __attribute__((visibility("default")))
extern "C" {
VREX_EXPORT void *malloc(size_t size) {
    counted();
    return __libc_malloc(size);
}
VREX_EXPORT void *calloc(size_t count, size_t size) {
    counted();
    return __libc_calloc(count, size);
}
VREX_EXPORT void *realloc(void *p, size_t size) {
    counted();
    return __libc_realloc(p, size);
}
VREX_EXPORT void *memalign(size_t alignment, size_t size) {
    counted();
    return __libc_memalign(alignment, size);
}
VREX_EXPORT void *aligned_alloc(size_t alignment, size_t size) {
    counted();
    return __libc_memalign(alignment, size);
}
VREX_EXPORT int posix_memalign(void **out, size_t alignment, size_t size) {
    counted();
    void *p = __libc_memalign(alignment, size);
    if (p == nullptr)
        return ENOMEM;
    *out = p;
    return 0;
}
VREX_EXPORT void free(void *p) { __libc_free(p); }
}

namespace {

using Clock = std::chrono::steady_clock;
using namespace zorva::plugin::testing;

struct Figure {
    double nsPerCall;
    double allocationsPerCall;
};

// Runs `body` `calls` times per batch over several batches: the median time
// per call, and the allocations per call (the same in every batch).
template <typename Body>
Figure measure(int calls, Body &&body) {
    std::vector<double> ns;
    double allocs = 0;
    for (int batch = 0; batch < 7; ++batch) {
        uint64_t before = allocations.load();
        auto t0 = Clock::now();
        for (int i = 0; i < calls; ++i)
            body();
        auto t1 = Clock::now();
        allocs = static_cast<double>(allocations.load() - before) / calls;
        ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() / calls);
    }
    std::sort(ns.begin(), ns.end());
    return Figure{ns[ns.size() / 2], allocs};
}

}  // namespace

int main(int argc, char **argv) {
    // GLib reads G_SLICE once, at its first allocation: set it and start again.
    const char *slice = std::getenv("G_SLICE");
    if (slice == nullptr || std::strcmp(slice, "always-malloc") != 0) {
        setenv("G_SLICE", "always-malloc", 1);
        execv("/proc/self/exe", argv);
        std::perror("plugin_bench: execv");
        return 1;
    }
    const int calls = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 20000;

    const std::string text =
        "{'param1': <'" + std::string(64, 'c') + "'>, 'scene': <'zorva_container'>, 'sync': <false>}";
    GVariant *parsed = g_variant_parse(nullptr, text.c_str(), nullptr, nullptr, nullptr);
    if (parsed == nullptr) {
        std::fprintf(stderr, "plugin_bench: the request does not parse\n");
        return 1;
    }
    // The plugin manager hands the plug-in what it deserialised from another
    // process: an untrusted value over bytes, made afresh for every call.
    GBytes *bytes = g_variant_get_data_as_bytes(parsed);
    const size_t serialisedSize = g_bytes_get_size(bytes);
    g_variant_unref(parsed);

    resetCore();
    setCoreResult(2);
    setCoreRecording(false);
    // Check the answer once before timing it.
    {
        GVariant *request = g_variant_new_from_bytes(G_VARIANT_TYPE_VARDICT, bytes, FALSE);
        GVariant *response = zorva_scene_plugin_container_get_status(request);
        gchar *printed = g_variant_print(response, TRUE);
        bool right = std::strcmp(printed, "{'code': <0>, 'message': <'success'>, 'data': <2>}") == 0;
        if (!right)
            std::fprintf(stderr, "plugin_bench: unexpected response %s\n", printed);
        g_free(printed);
        g_variant_unref(response);
        g_variant_unref(g_variant_ref_sink(request));
        if (!right || coreCallCount() != 1)
            return 1;
    }

    // GLib frees a type's description with the last value of that type, so
    // a lone benchmark loop rebuilds them on every call ("cold"). A running
    // daemon keeps values of these types alive ("warm"): measure both.
    struct Row {
        Figure fromBytes, encode, plugin, reference;
    } rows[2];
    for (int warm = 0; warm < 2; ++warm) {
        GVariant *keep[2] = {nullptr, nullptr};
        if (warm == 1) {
            keep[0] = g_variant_ref_sink(g_variant_new_from_bytes(G_VARIANT_TYPE_VARDICT, bytes, FALSE));
            keep[1] = zorva_scene_plugin_container_get_status(keep[0]);
        }
        rows[warm].fromBytes = measure(calls, [&] {
            GVariant *request = g_variant_new_from_bytes(G_VARIANT_TYPE_VARDICT, bytes, FALSE);
            g_variant_unref(g_variant_ref_sink(request));
        });
        rows[warm].encode = measure(calls, [&] { g_variant_unref(encode_plugin_response(0, "success", 2)); });
        rows[warm].plugin = measure(calls, [&] {
            GVariant *request = g_variant_new_from_bytes(G_VARIANT_TYPE_VARDICT, bytes, FALSE);
            g_variant_unref(zorva_scene_plugin_container_get_status(request));
            g_variant_unref(g_variant_ref_sink(request));
        });
        rows[warm].reference = measure(calls, [&] {
            GVariant *value = g_variant_parse(nullptr, text.c_str(), nullptr, nullptr, nullptr);
            g_free(g_variant_print(value, TRUE));
            g_variant_unref(value);
        });
        for (GVariant *value : keep) {
            if (value != nullptr)
                g_variant_unref(value);
        }
    }
    if (coreCallCount() != 2 + 2 * 7ull * calls) {
        std::fprintf(stderr, "plugin_bench: the core stand-in was not called once per call\n");
        return 1;
    }
    g_bytes_unref(bytes);

    std::printf("request: %s (%zu bytes serialised); %d calls per batch, median of 7 batches\n", text.c_str(),
                serialisedSize, calls);
    for (int warm = 0; warm < 2; ++warm) {
        const Row &r = rows[warm];
        std::printf("%s\n", warm == 0 ? "cold (no other value of these types alive):"
                                      : "warm (a request and a response kept alive, as in a running daemon):");
        std::printf(
            "  get status through the plug-in, from the request's bytes:  %7.0f ns/call %6.1f allocations/call\n",
            r.plugin.nsPerCall, r.plugin.allocationsPerCall);
        std::printf(
            "    of which making the request from its bytes:              %7.0f ns/call %6.1f allocations/call\n",
            r.fromBytes.nsPerCall, r.fromBytes.allocationsPerCall);
        std::printf(
            "    decode, call and encode:                                 %7.0f ns/call %6.1f allocations/call\n",
            r.plugin.nsPerCall - r.fromBytes.nsPerCall, r.plugin.allocationsPerCall - r.fromBytes.allocationsPerCall);
        std::printf(
            "      of which encoding the response:                        %7.0f ns/call %6.1f allocations/call\n",
            r.encode.nsPerCall, r.encode.allocationsPerCall);
        std::printf(
            "  reference: g_variant_parse + g_variant_print of the request: %5.0f ns/call %6.1f allocations/call\n",
            r.reference.nsPerCall, r.reference.allocationsPerCall);
        std::printf("  plug-in call / reference: %.2f\n", r.plugin.nsPerCall / r.reference.nsPerCall);
    }
    return 0;
}
