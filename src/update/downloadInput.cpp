#include "update/downloadInput.h"

#include "base/safePath.h"
#include "base/text.h"
#include "net/http.h"

#include <array>

namespace tw {

namespace {

std::string_view StripControls(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 0x20)
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 0x20)
        text.remove_suffix(1);
    return text;
}

} // namespace

bool HasControlCharacter(std::string_view text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F)
            return true;
    return false;
}

bool IsFetchableEntry(const std::string& url, const std::string& filename) {
    return !HasControlCharacter(url) && !HasControlCharacter(filename) && IsHttpUrl(url) &&
           IsContainedRelativePath(filename);
}

bool IsNeutralisedAria2Option(std::string_view name) {
    static constexpr std::array<std::string_view, 10> kNamed = {"dir",
                                                                "input-file",
                                                                "save-session",
                                                                "log",
                                                                "save-cookies",
                                                                "server-stat-of",
                                                                "dht-file-path",
                                                                "dht-file-path6",
                                                                "rpc-listen-all",
                                                                "rpc-allow-origin-all"};
    if (name.size() > 3 && StartsWithNoCase(name, "on-"))
        return true;
    for (std::string_view n : kNamed)
        if (EqualsNoCase(name, n))
            return true;
    return false;
}

std::string NeutraliseAria2Conf(std::string_view conf) {
    std::string out;
    out.reserve(conf.size() + 64);
    while (!conf.empty()) {
        const std::size_t end = conf.find('\n');
        const std::string_view line = conf.substr(0, end == std::string_view::npos ? conf.size() : end + 1);
        conf.remove_prefix(line.size());
        const std::size_t eq = line.find('=');
        if (!line.starts_with('#') && eq != std::string_view::npos &&
            IsNeutralisedAria2Option(StripControls(line.substr(0, eq))))
            out += '#';
        out += line;
    }
    return out;
}

} // namespace tw
