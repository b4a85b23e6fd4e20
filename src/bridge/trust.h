#pragma once
// Which documents may use the page's native functions. Trusted are the local UI page, documents of
// exactly the home page's origin (scheme, host and port) as the service named it, and the origins
// the build lists (TARNWICK_TRUSTED_ORIGINS). A build that checks the service's signatures trusts
// only origins that no one on the network can speak for: https, or http on this machine's own
// loopback address. The shell asks with what the browser engine reports about the calling frame;
// nothing a page's script says takes part in the decision.
#include "net/origin.h"

#include <optional>
#include <string>
#include <vector>

namespace tw {

// True when `path` names something inside `folder` (both absolute; compared after removing "."
// and ".." parts, without following links).
bool IsInsideFolder(const std::string& path, const std::string& folder);

class TTrustRules {
public:
    // `uiFolder`: the program folder's launcherui/ (absolute). `listed`: the build's extra origins.
    // `secureOnly`: trust no origin that IsSecureOrigin refuses (a build with a signing key).
    TTrustRules(std::string uiFolder, std::vector<WebOrigin> listed, bool secureOnly = false);

    // The home page the service named; a URL that is no http or https address (or, with
    // `secureOnly`, no secure one) trusts nothing.
    void SetHomePage(std::optional<WebOrigin> home);
    bool SecureOnly() const { return secureOnly_; }

    // A web document from `origin`.
    bool TrustsWebOrigin(const WebOrigin& origin) const;
    // A local document at `path` (the local UI page and its neighbours).
    bool TrustsLocalFile(const std::string& path) const;

private:
    std::string uiFolder_;
    std::vector<WebOrigin> listed_;
    bool secureOnly_ = false;
    std::optional<WebOrigin> home_;
};

} // namespace tw
