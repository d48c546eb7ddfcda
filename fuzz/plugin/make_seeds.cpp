// Writes the seed corpus of plugin_request_fuzzer: serialised requests for
// every entry point, good and bad, in the fuzzer's input layout.
//   plugin_fuzz_seeds DIRECTORY
#include <glib.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

int written = 0;

void write(const std::string &dir, const std::string &name, const std::string &bytes) {
    std::string path = dir + "/" + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
    ++written;
}

// A request written in text format, serialised; `type` null: "a{sv}".
void seed(const std::string &dir, const std::string &name, int8_t result, const char *text,
          const char *type = nullptr) {
    GVariant *value = g_variant_ref_sink(g_variant_new_parsed(text));
    std::string bytes;
    bytes += static_cast<char>(type != nullptr ? 1 : 0);
    bytes += static_cast<char>(result);
    if (type != nullptr)
        bytes += std::string(type) + '\0';
    bytes.append(static_cast<const char *>(g_variant_get_data(value)), g_variant_get_size(value));
    g_variant_unref(value);
    write(dir, name, bytes);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: plugin_fuzz_seeds DIRECTORY\n");
        return 2;
    }
    std::string dir = argv[1];
    std::string id(64, 'f');
    std::string longId(65, 'f');
    std::string longPath = "/" + std::string(4095, 'p');
    seed(dir, "get_status", 4, ("{'param1': <'" + id + "'>}").c_str());
    seed(dir, "get_status_failed", -3, ("{'param1': <'" + id + "'>, 'scene': <'s'>}").c_str());
    seed(dir, "set_status", 0, ("{'param1': <'" + id + "'>, 'param2': <2>, 'sync': <true>}").c_str());
    seed(dir, "set_status_u32", -1, "{'param1': <'c'>, 'param2': <uint32 2147483648>}");
    seed(dir, "module_status", 1, "{'param1': <'c'>, 'param2': <uint32 1>, 'param3': <3>, 'scene_switch': <true>}");
    seed(dir, "module_negative", 0, "{'param1': <'c'>, 'param2': <-1>, 'param3': <-1>}");
    seed(dir, "file_rule", -17, "{'param1': <'/usr/bin/x'>, 'param2': <uint32 2>}");
    seed(dir, "net_rule", -4, "{'param1': <'/usr/bin/curl'>, 'scene': <'zorva_container'>, 'sync': <false>}");
    seed(dir, "long_id", 0, ("{'param1': <'" + longId + "'>}").c_str());
    seed(dir, "long_path", 0, ("{'param1': <'" + longPath + "'>, 'param2': <0>}").c_str());
    seed(dir, "wrong_types", 0, "{'param1': <5>, 'param2': <'x'>, 'param3': <true>, 'sync': <'y'>}");
    seed(dir, "boxed_twice", -100, "{'param1': <<'c'>>, 'param2': <<2>>}");
    seed(dir, "duplicate_key", 0, "@a{sv} [{'param1', <'a'>}, {'param1', <'b'>}]", "a{sv}");
    seed(dir, "response_shape", 0, "{'code': <0>, 'message': <'success'>, 'data': <<4>>}");
    seed(dir, "string_type", 0, "'param1'", "s");
    seed(dir, "string_array", 0, "['param1', 'x']", "as");
    seed(dir, "string_dict", 0, "@a{ss} {'param1': 'x'}", "a{ss}");
    seed(dir, "nested_variant", 0, "<{'param1': <'x'>}>", "v");
    write(dir, "empty_dict", std::string("\0\0", 2));
    std::printf("wrote %d seeds to %s\n", written, dir.c_str());
    return 0;
}
