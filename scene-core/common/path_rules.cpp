#include "common/path_rules.h"

#include <cstdint>
#include <string>

#include "common/text.h"

namespace zorva::scene {

namespace {

Error invalid(std::string_view path, const std::string &why) {
    return Error(ErrorKind::InvalidArgument, "invalid path \"" + escaped(path) + "\": " + why);
}

// The first control character, or the first byte that is not valid UTF-8.
Status checkCharacters(std::string_view path) {
    const auto *begin = reinterpret_cast<const unsigned char *>(path.data());
    const auto *end = begin + path.size();
    for (const auto *p = begin; p < end;) {
        uint32_t cp;
        size_t n = decodeUtf8(p, end, cp);
        if (n == 0)
            return invalid(path, "not valid UTF-8 at byte " + std::to_string(p - begin));
        if (isControlCodePoint(cp))
            return invalid(path, "control character at byte " + std::to_string(p - begin));
        p += n;
    }
    return {};
}

}  // namespace

Status checkRulePath(std::string_view path) {
    if (path.size() > kMaxRulePathBytes)
        // Not quoted: a line should not carry kilobytes of path.
        return Error(ErrorKind::InvalidArgument, "invalid path: " + std::to_string(path.size()) +
                                                     " bytes, longer than " + std::to_string(kMaxRulePathBytes));
    if (auto chars = checkCharacters(path); !chars)
        return chars;
    if (path.empty() || path.front() != '/')
        return invalid(path, "not absolute");
    if (path == "/")
        return {};
    if (path.back() == '/')
        return invalid(path, "trailing \"/\"");
    for (size_t start = 1; start <= path.size();) {
        size_t slash = path.find('/', start);
        if (slash == std::string_view::npos)
            slash = path.size();
        std::string_view component = path.substr(start, slash - start);
        if (component.empty())
            return invalid(path, "empty component (\"//\")");
        if (component == "." || component == "..")
            return invalid(path, "\"" + std::string(component) + "\" component");
        start = slash + 1;
    }
    return {};
}

}  // namespace zorva::scene
