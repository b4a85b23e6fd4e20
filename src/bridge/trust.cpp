#include "bridge/trust.h"

#include <algorithm>
#include <filesystem>

namespace tw {

bool IsInsideFolder(const std::string& path, const std::string& folder) {
    namespace fs = std::filesystem;
    const fs::path p = fs::path(path).lexically_normal();
    const fs::path f = fs::path(folder).lexically_normal();
    if (!p.is_absolute() || !f.is_absolute())
        return false;
    const fs::path rel = p.lexically_relative(f);
    return !rel.empty() && *rel.begin() != ".." && rel != ".";
}

TTrustRules::TTrustRules(std::string uiFolder, std::vector<WebOrigin> listed, bool secureOnly)
    : uiFolder_(std::move(uiFolder)), listed_(std::move(listed)), secureOnly_(secureOnly) {}

void TTrustRules::SetHomePage(std::optional<WebOrigin> home) {
    if (home && ((home->scheme != "http" && home->scheme != "https") || (secureOnly_ && !IsSecureOrigin(*home))))
        home.reset();
    home_ = std::move(home);
}

bool TTrustRules::TrustsWebOrigin(const WebOrigin& origin) const {
    if (origin.scheme != "http" && origin.scheme != "https")
        return false;
    // Anyone between the player and a plain-http server writes its pages.
    if (secureOnly_ && !IsSecureOrigin(origin))
        return false;
    if (home_ && SameOrigin(origin, *home_))
        return true;
    return std::any_of(listed_.begin(), listed_.end(), [&](const WebOrigin& l) { return SameOrigin(origin, l); });
}

bool TTrustRules::TrustsLocalFile(const std::string& path) const {
    return !uiFolder_.empty() && IsInsideFolder(path, uiFolder_);
}

} // namespace tw
