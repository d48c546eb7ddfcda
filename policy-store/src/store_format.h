// The store file's text: the fixed lines around the records, the policy line
// that save writes, and the line scanner that load runs over the bytes,
// incrementally, as they are read.
#pragma once

#include <cstddef>
#include <string_view>

#include "vault_store.h"

namespace vault {

// The declaration and the opening root element, and the closing one.
inline constexpr std::string_view kStoreHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<container_policies>\n";
inline constexpr std::string_view kStoreTail = "</container_policies>\n";
// The longest policy line: three digits for every switch.
inline constexpr size_t kMaxPolicyLine = 14 + 64 + 10 + 3 + 8 + 3 + 7 + 3 + 8 + 3 + 4;

// Writes the record's line to out (room for kMaxPolicyLine bytes), exactly as
// "  <policy id=\"%s\" global=\"%u\" exec=\"%u\" net=\"%u\" file=\"%u\"/>\n";
// returns its length.
size_t formatPolicyLine(const _ContainerPolicy &rec, char *out);

// Copies the value of attribute `name` of `line` into out (at most
// out_size - 1 bytes, NUL-terminated); false when absent or empty.
bool parse_attr(const char *line, const char *name, char *out, size_t out_size);

// Turns store file bytes into records, fed in pieces of any size: lines are
// cut exactly as they would be in one piece. A line ends at a newline (runs
// of newlines are one separator); a NUL byte ends the text of its line.
// Identifiers breaking the rule are reported on standard error unless quiet.
//
// It also counts the "<policy" elements that did not become records, because
// a save would drop them: those on lines the scanner ignores, all but the
// first on a line (and any after a NUL byte), those skipped for their
// identifier, and those whose tag is not closed ("/>" or "</policy>") on
// their own line; such an element is not loaded either, since its attributes
// on later lines would be read as missing.
class StoreParser {
public:
    explicit StoreParser(bool quiet = false) : quiet_(quiet) {}
    ~StoreParser();
    StoreParser(const StoreParser &) = delete;
    StoreParser &operator=(const StoreParser &) = delete;

    // Makes room for as many records as `textSize` bytes can hold (within a
    // cap), so that a large store is not copied by repeated doubling. 0, or
    // -1 when memory runs out (reported).
    int reserveFor(size_t textSize);
    // Parses every line these bytes complete and keeps the unfinished rest
    // for the next call. 0, or -1 when memory runs out (reported).
    int feed(const char *data, size_t size);
    // Parses the unfinished last line, if any: the end of the input.
    int finish();

    int count() const { return count_; }
    // The "<policy" elements met so far that did not become records.
    size_t unread() const { return unread_; }
    // Hands the records over: a malloc'd array, nullptr when there are none.
    _ContainerPolicy *take();

private:
    int parseLine(const char *line, size_t len);
    int append(const _ContainerPolicy &rec);
    // The array is full (or was never made): room for more, or the limit reported.
    int makeRoom();
    // Room for `capacity` records; a failure is reported under `label`.
    int growTo(size_t capacity, const char *label);
    int keepPartial(const char *data, size_t size);

    bool quiet_;
    _ContainerPolicy *records_ = nullptr;
    size_t capacity_ = 0;
    int count_ = 0;
    size_t unread_ = 0;
    char *partial_ = nullptr;  // the unfinished line carried to the next feed
    size_t partialLen_ = 0;
    size_t partialCapacity_ = 0;
};

}  // namespace vault
