#pragma once
// Which documents may use the page's native functions. Trusted are the local UI page, every
// document of the same site as the home page that the service named, and the origins the build
// lists (TARNWICK_TRUSTED_ORIGINS). The shell asks with what the browser engine reports about
// the calling frame; nothing a page's script says takes part in the decision.
#include <optional>
#include <string>
#include <vector>

namespace tw {

// A web origin: scheme and host in lower case (the host in its ASCII form, an IPv6 address
// without brackets), and the port, or -1 for the scheme's default.
struct WebOrigin {
    std::string scheme;
    std::string host;
    int port = -1;
};

// "scheme://host[:port][/]" for http and https; nothing for any other text.
std::optional<WebOrigin> ParseOrigin(const std::string& text);
// The blank-separated origins of the build setting; entries that are no origin are skipped.
std::vector<WebOrigin> ParseOriginList(const std::string& text);

// Same scheme, host and port (a default port written out counts as the default).
bool SameOrigin(const WebOrigin& a, const WebOrigin& b);
// Same scheme and registrable domain by the public suffix list. A host that is an IP address or
// a single label, or that is itself a public suffix, is a site of its own.
bool SameSite(const WebOrigin& a, const WebOrigin& b);

// True when `path` names something inside `folder` (both absolute; compared after removing "."
// and ".." parts, without following links).
bool IsInsideFolder(const std::string& path, const std::string& folder);

class TTrustRules {
public:
    // `uiFolder`: the program folder's launcherui/ (absolute). `listed`: the build's extra origins.
    TTrustRules(std::string uiFolder, std::vector<WebOrigin> listed);

    // The home page the service named; a URL that is no http or https address trusts no site.
    void SetHomePage(std::optional<WebOrigin> home);

    // A web document from `origin`.
    bool TrustsWebOrigin(const WebOrigin& origin) const;
    // A local document at `path` (the local UI page and its neighbours).
    bool TrustsLocalFile(const std::string& path) const;

private:
    std::string uiFolder_;
    std::vector<WebOrigin> listed_;
    std::optional<WebOrigin> home_;
};

} // namespace tw
