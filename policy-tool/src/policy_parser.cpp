#include "policy_parser.h"

#include <cstdint>
#include <optional>

#include "container_record.h"

namespace policy_tool {
namespace {

using vrex::record::kContainerIdLength;

constexpr std::string_view kFormatMessage = "Invalid policy format. Expected: id:global:exec:net:file\n";
constexpr std::size_t kFieldCount = 5;

// A switch is a whole decimal number from 0 to 255: no sign, no blanks, no
// trailing text. Reading "4x" as 4 or "abc" as 0 would let a typo switch a
// container's protection off without a word.
std::optional<std::uint8_t> parse_switch(std::string_view text) {
    if (text.empty())
        return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 255)
            return std::nullopt;
    }
    return static_cast<std::uint8_t>(value);
}

std::string invalid_switch(std::string_view text) {
    std::string message = "Invalid switch value: ";
    message.append(text);
    message += '\n';
    return message;
}

// Parses one "id:global:exec:net:file"; returns the error text, or an empty
// string with the record filled in.
std::string parse_one(std::string_view text, _ContainerPolicy &record) {
    if (text.empty())
        return std::string(kFormatMessage);

    // Split exactly at every ':' (empty fields are kept, so "::::" is five
    // empty fields, not none).
    std::string_view fields[kFieldCount];
    std::size_t count = 0;
    std::size_t start = 0;
    while (true) {
        std::size_t colon = text.find(':', start);
        std::string_view field =
            text.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start);
        if (count < kFieldCount)
            fields[count] = field;
        ++count;
        if (colon == std::string_view::npos)
            break;
        start = colon + 1;
    }

    std::string_view id = fields[0];
    if (id.size() != kContainerIdLength)
        return "Container ID must be " + std::to_string(kContainerIdLength) + " characters\n";
    if (!vrex::record::allHexDigits(id)) {
        std::string message = "Container ID must be hexadecimal: ";
        message.append(id);
        message += '\n';
        return message;
    }

    std::uint8_t switches[kFieldCount - 1] = {};
    for (std::size_t i = 1; i < kFieldCount && i < count; ++i) {
        std::optional<std::uint8_t> value = parse_switch(fields[i]);
        if (!value)
            return invalid_switch(fields[i]);
        switches[i - 1] = *value;
    }
    if (count != kFieldCount)
        return std::string(kFormatMessage);

    record = vrex::record::makeRecord(id, switches[0], switches[1], switches[2], switches[3]);
    return {};
}

}  // namespace

SpecResult parse_policy_arg(std::string_view spec) {
    SpecResult result;
    if (spec.size() > kMaxSpecLength) {
        result.error = "Policy spec too long: " + std::to_string(spec.size()) + " bytes (at most " +
                       std::to_string(kMaxSpecLength) + ")\n";
        return result;
    }
    std::size_t start = 0;
    while (true) {
        std::size_t semicolon = spec.find(';', start);
        std::string_view text =
            spec.substr(start, semicolon == std::string_view::npos ? std::string_view::npos : semicolon - start);
        _ContainerPolicy record;
        std::string error = parse_one(text, record);
        if (!error.empty()) {
            result.policies.clear();
            result.error = std::move(error);
            return result;
        }
        result.policies.push_back(record);
        if (semicolon == std::string_view::npos)
            break;
        start = semicolon + 1;
    }
    return result;
}

}  // namespace policy_tool
