// Records and expected file text shared by the store's test suites.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "vault_store.h"

namespace vault_test {

// A valid 64-character identifier derived from n (lower-case hexadecimal).
inline std::string makeId(unsigned long n, char fill = '0') {
    char tail[32];
    std::snprintf(tail, sizeof tail, "%lx", n);
    std::string id(64 - std::strlen(tail), fill);
    return id + tail;
}

inline _ContainerPolicy makePolicy(const std::string &id, unsigned g, unsigned e, unsigned n, unsigned f) {
    _ContainerPolicy p;
    std::memset(&p, 0, sizeof p);
    std::memcpy(p.container_id, id.data(), id.size() < 65 ? id.size() : 65);
    p.global_switch = static_cast<uint8_t>(g);
    p.exec_control = static_cast<uint8_t>(e);
    p.network_control = static_cast<uint8_t>(n);
    p.file_protection = static_cast<uint8_t>(f);
    return p;
}

// The file text a store holding these records must have, built with the
// line format of the file directly.
inline std::string storeText(const std::vector<_ContainerPolicy> &records) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<container_policies>\n";
    for (const auto &r : records) {
        char line[256];
        std::snprintf(line, sizeof line, "  <%s %s=\"%s\" %s=\"%u\" %s=\"%u\" %s=\"%u\" %s=\"%u\"/>\n", "policy", "id",
                      std::string(r.container_id, 64).c_str(), "global", r.global_switch, "exec", r.exec_control, "net",
                      r.network_control, "file", r.file_protection);
        text += line;
    }
    return text + "</container_policies>\n";
}

inline std::string bytesOf(const std::vector<_ContainerPolicy> &records) {
    return std::string(reinterpret_cast<const char *>(records.data()), records.size() * sizeof(_ContainerPolicy));
}

inline std::string bytesOf(const _ContainerPolicy *records, int count) {
    if (records == nullptr || count <= 0)
        return std::string();
    return std::string(reinterpret_cast<const char *>(records), static_cast<size_t>(count) * sizeof(_ContainerPolicy));
}

}  // namespace vault_test
