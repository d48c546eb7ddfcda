// Errors of the core library: a kind (or none, for operating-system, file and
// parse errors) and a chain of context messages, outermost first. The chain
// is printed once, at the exported boundary, and its innermost error selects
// the result code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace zorva::scene {

// The library's own error kinds; the value is the index into the code table.
enum class ErrorKind : uint8_t {
    Unknown = 0,
    InvalidArgument = 1,
    InvalidPolicy = 2,
    AddNodeFailed = 3,
    RemoveNodeFailed = 4,
    ModuleNotFound = 5,
    NotFound = 6,
    AlreadyExists = 7,
    SerializeFailed = 8,
    VariableNotFound = 9,
    VariableTypeMismatch = 10,
    ModuleNotChangeable = 11,
    PermissionDenied = 12,
    PolicyGenerateFailed = 13,
    PolicyFileWriteFailed = 14,
    CompileInitFailed = 15,
    DeployFailed = 16,
    CompileSectionFailed = 17,
    SendPolicyFailed = 18,
    DynamicVariableFailed = 19,
    PluginManagerFailed = 20,
};

// Result code of an error whose innermost kind is `kind`.
int32_t codeForKind(ErrorKind kind);

class Error {
public:
    // An error of the library's own kind.
    Error(ErrorKind kind, std::string message);
    // An operating-system, file or parse error (result code 1).
    static Error foreign(std::string message);
    // A failed system call: `what` followed by the text of errno `err`.
    static Error fromErrno(const std::string &what, int err);

    // Wraps the error in an outer context message.
    Error &&context(std::string message) &&;
    Error &context(std::string message) &;

    const std::optional<ErrorKind> &kind() const { return kind_; }
    const std::vector<std::string> &messages() const { return messages_; }
    // The messages joined by ": ", outermost first.
    std::string chain() const;
    // The innermost error's code: the kind table for our kinds, else 1.
    int32_t code() const;

private:
    Error() = default;
    std::optional<ErrorKind> kind_;
    std::vector<std::string> messages_;
};

// A value or an error.
template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T &value() { return std::get<0>(v_); }
    const T &value() const { return std::get<0>(v_); }
    T &operator*() { return value(); }
    T *operator->() { return &value(); }
    Error &error() { return std::get<1>(v_); }
    const Error &error() const { return std::get<1>(v_); }

private:
    std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : e_(std::move(error)) {}

    bool ok() const { return !e_.has_value(); }
    explicit operator bool() const { return ok(); }
    Error &error() { return *e_; }
    const Error &error() const { return *e_; }

private:
    std::optional<Error> e_;
};

using Status = Result<void>;

}  // namespace zorva::scene
