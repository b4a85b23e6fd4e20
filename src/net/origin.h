#pragma once
// Web origins as the launcher compares them: scheme, host and port of an http or https address.
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
// The origin of an http or https URL ("scheme://host[:port]" and whatever path, query or
// fragment follows); nothing for any other text, a URL with user information included.
std::optional<WebOrigin> OriginOfUrl(const std::string& url);
// The blank-separated origins of the build setting; entries that are no origin are skipped.
std::vector<WebOrigin> ParseOriginList(const std::string& text);

// Same scheme, host and port (a default port written out counts as the default).
bool SameOrigin(const WebOrigin& a, const WebOrigin& b);
// https, or http to a loopback address (127.0.0.0/8, ::1) or to localhost: what travels to it
// cannot be read or changed by anyone else on the network.
bool IsSecureOrigin(const WebOrigin& origin);

} // namespace tw
