// Container records and the store file text built independently of the code
// under test, for the suites of the store, the tool and the core library.
#pragma once

#include <string>
#include <vector>

#include "vault_store.h"

namespace vrex::testing {

// The store file's lines around its records.
inline const std::string kStoreHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<container_policies>\n";
inline const std::string kStoreTail = "</container_policies>\n";

// A valid 64-character identifier derived from n (lower-case hexadecimal),
// padded on the left with `fill`.
std::string makeId(unsigned long n, char fill = '0');

// A record with `id` (cut to 65 bytes, NUL-padded) and the four switches.
_ContainerPolicy makePolicy(const std::string &id, unsigned global, unsigned exec, unsigned net, unsigned file);

// The 69 bytes of one record as the kernel receives them: the id NUL-padded
// to 65 bytes, then the four switch bytes.
std::string recordBytes(const std::string &id, int global, int exec, int net, int file);
std::string bytesOf(const std::vector<_ContainerPolicy> &records);
std::string bytesOf(const _ContainerPolicy *records, int count);

// The store's line for one record, and the whole file for these records.
std::string storeLine(const std::string &id, int global, int exec, int net, int file);
std::string storeText(const std::vector<_ContainerPolicy> &records);

}  // namespace vrex::testing
