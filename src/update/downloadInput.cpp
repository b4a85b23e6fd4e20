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

bool IsAllowedAria2Option(std::string_view name) {
    static constexpr std::array<std::string_view, 17> kAllowed = {
        "max-connection-per-server",  "split",              "min-split-size",     "max-concurrent-downloads",
        "timeout",                    "connect-timeout",    "max-tries",          "retry-wait",
        "max-file-not-found",         "max-resume-failure-tries", "lowest-speed-limit",
        "max-overall-download-limit", "max-download-limit", "file-allocation",    "disk-cache",
        "continue",                   "auto-save-interval"};
    for (std::string_view n : kAllowed)
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
        const std::string_view name = StripControls(line.substr(0, line.find('=')));
        if (!line.starts_with('#') && !name.empty() && !IsAllowedAria2Option(name))
            out += '#';
        out += line;
    }
    return out;
}

std::string LauncherAria2Settings(const std::string& secret) {
    return "\n# The launcher's own settings.\n"
           "follow-metalink=false\n"
           "follow-torrent=false\n"
           "enable-dht=false\n"
           "enable-dht6=false\n"
           "enable-peer-exchange=false\n"
           "bt-enable-lpd=false\n"
           "auto-file-renaming=false\n"
           "rpc-secret=" +
           secret + "\n";
}

} // namespace tw
