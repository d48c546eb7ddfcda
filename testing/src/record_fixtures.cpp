#include "record_fixtures.h"

#include <cstdio>
#include <cstring>

namespace vrex::testing {

std::string makeId(unsigned long n, char fill) {
    char tail[32];
    std::snprintf(tail, sizeof tail, "%lx", n);
    std::string id(64 - std::strlen(tail), fill);
    return id + tail;
}

_ContainerPolicy makePolicy(const std::string &id, unsigned global, unsigned exec, unsigned net, unsigned file) {
    _ContainerPolicy p;
    std::memset(&p, 0, sizeof p);
    std::memcpy(p.container_id, id.data(), id.size() < 65 ? id.size() : 65);
    p.global_switch = static_cast<uint8_t>(global);
    p.exec_control = static_cast<uint8_t>(exec);
    p.network_control = static_cast<uint8_t>(net);
    p.file_protection = static_cast<uint8_t>(file);
    return p;
}

std::string recordBytes(const std::string &id, int global, int exec, int net, int file) {
    std::string r = id;
    r.resize(65, '\0');
    for (int v : {global, exec, net, file})
        r.push_back(static_cast<char>(v));
    return r;
}

std::string bytesOf(const std::vector<_ContainerPolicy> &records) {
    return bytesOf(records.data(), static_cast<int>(records.size()));
}

std::string bytesOf(const _ContainerPolicy *records, int count) {
    if (records == nullptr || count <= 0)
        return std::string();
    return std::string(reinterpret_cast<const char *>(records), static_cast<size_t>(count) * sizeof(_ContainerPolicy));
}

std::string storeLine(const std::string &id, int global, int exec, int net, int file) {
    return "  <policy id=\"" + id + "\" global=\"" + std::to_string(global) + "\" exec=\"" + std::to_string(exec) +
           "\" net=\"" + std::to_string(net) + "\" file=\"" + std::to_string(file) + "\"/>\n";
}

std::string storeText(const std::vector<_ContainerPolicy> &records) {
    std::string text = kStoreHead;
    for (const auto &r : records)
        text += storeLine(std::string(r.container_id, strnlen(r.container_id, 64)), r.global_switch, r.exec_control,
                          r.network_control, r.file_protection);
    return text + kStoreTail;
}

}  // namespace vrex::testing
