#include "error.h"

#include <array>

#include "sysutil/io.h"

namespace zorva::scene {

namespace {
// Codes of kinds 0 to 20, shared with the rule and deployment operations.
constexpr std::array<int32_t, 21> kKindCodes = {-100, -1, -100, -8, -8,  -100, -3,  -2,  -100, -3,  -100,
                                                -100, -4, -5,   -6, -13, -10,  -17, -15, -16,  -100};
}  // namespace

int32_t codeForKind(ErrorKind kind) {
    auto index = static_cast<size_t>(kind);
    return index < kKindCodes.size() ? kKindCodes[index] : -100;
}

Error::Error(ErrorKind kind, std::string message) : kind_(kind) { messages_.push_back(std::move(message)); }

Error Error::foreign(std::string message) {
    Error e;
    e.messages_.push_back(std::move(message));
    return e;
}

Error Error::fromErrno(const std::string &what, int err) {
    return Error::foreign(vrex::sys::errorText(err)).context(what);
}

Error &&Error::context(std::string message) && {
    messages_.insert(messages_.begin(), std::move(message));
    return std::move(*this);
}

Error &Error::context(std::string message) & {
    messages_.insert(messages_.begin(), std::move(message));
    return *this;
}

std::string Error::chain() const {
    std::string out;
    for (const auto &m : messages_) {
        if (!out.empty())
            out += ": ";
        out += m;
    }
    return out;
}

int32_t Error::code() const { return kind_ ? codeForKind(*kind_) : 1; }

}  // namespace zorva::scene
