#include "bridge/trust.h"

#include <libpsl.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <filesystem>
#include <sstream>

namespace tw {

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

int EffectivePort(const WebOrigin& o) {
    if (o.port >= 0)
        return o.port;
    return o.scheme == "https" ? 443 : o.scheme == "http" ? 80 : -1;
}

bool IsAddress(const std::string& host) {
    unsigned char buffer[16];
    return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 || ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

const psl_ctx_t* PublicSuffixes() {
    // The system's list when it is installed and newer, else the one built into libpsl.
    static const psl_ctx_t* ctx = [] {
        const psl_ctx_t* latest = psl_latest(nullptr);
        return latest ? latest : psl_builtin();
    }();
    return ctx;
}

// The part of the host that names its site.
std::string SiteOf(std::string host) {
    while (!host.empty() && host.back() == '.')
        host.pop_back();
    if (host.empty() || IsAddress(host) || host.find('.') == std::string::npos)
        return host;
    const char* domain = psl_registrable_domain(PublicSuffixes(), host.c_str());
    return domain ? std::string(domain) : host;
}

} // namespace

std::optional<WebOrigin> ParseOrigin(const std::string& text) {
    const auto sep = text.find("://");
    if (sep == std::string::npos)
        return std::nullopt;
    WebOrigin o;
    o.scheme = Lower(text.substr(0, sep));
    if (o.scheme != "http" && o.scheme != "https")
        return std::nullopt;
    std::string rest = text.substr(sep + 3);
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    std::string hostPart = rest;
    std::optional<std::string> port;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos)
            return std::nullopt;
        hostPart = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty() && after.front() != ':')
            return std::nullopt;
        if (!after.empty())
            port = after.substr(1);
        if (!IsAddress(hostPart))
            return std::nullopt;
    } else if (const auto colon = rest.find(':'); colon != std::string::npos) {
        hostPart = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    if (hostPart.empty() || !std::all_of(hostPart.begin(), hostPart.end(), [](unsigned char c) {
            return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == ':';
        }))
        return std::nullopt;
    o.host = Lower(hostPart);
    if (port) {
        if (port->empty() || port->size() > 5 ||
            !std::all_of(port->begin(), port->end(), [](unsigned char c) { return std::isdigit(c); }))
            return std::nullopt;
        o.port = std::stoi(*port);
        if (o.port > 65535)
            return std::nullopt;
        if (o.port == EffectivePort({o.scheme, o.host, -1}))
            o.port = -1;
    }
    return o;
}

std::vector<WebOrigin> ParseOriginList(const std::string& text) {
    std::vector<WebOrigin> out;
    std::istringstream words(text);
    for (std::string w; words >> w;)
        if (auto o = ParseOrigin(w))
            out.push_back(*o);
    return out;
}

bool SameOrigin(const WebOrigin& a, const WebOrigin& b) {
    return a.scheme == b.scheme && Lower(a.host) == Lower(b.host) && EffectivePort(a) == EffectivePort(b);
}

bool SameSite(const WebOrigin& a, const WebOrigin& b) {
    if (a.scheme != b.scheme || a.host.empty() || b.host.empty())
        return false;
    return SiteOf(Lower(a.host)) == SiteOf(Lower(b.host));
}

bool IsInsideFolder(const std::string& path, const std::string& folder) {
    namespace fs = std::filesystem;
    const fs::path p = fs::path(path).lexically_normal();
    const fs::path f = fs::path(folder).lexically_normal();
    if (!p.is_absolute() || !f.is_absolute())
        return false;
    const fs::path rel = p.lexically_relative(f);
    return !rel.empty() && *rel.begin() != ".." && rel != ".";
}

TTrustRules::TTrustRules(std::string uiFolder, std::vector<WebOrigin> listed)
    : uiFolder_(std::move(uiFolder)), listed_(std::move(listed)) {}

void TTrustRules::SetHomePage(std::optional<WebOrigin> home) {
    if (home && home->scheme != "http" && home->scheme != "https")
        home.reset();
    home_ = std::move(home);
}

bool TTrustRules::TrustsWebOrigin(const WebOrigin& origin) const {
    if (origin.scheme != "http" && origin.scheme != "https")
        return false;
    if (home_ && SameSite(origin, *home_))
        return true;
    return std::any_of(listed_.begin(), listed_.end(), [&](const WebOrigin& l) { return SameOrigin(origin, l); });
}

bool TTrustRules::TrustsLocalFile(const std::string& path) const {
    return !uiFolder_.empty() && IsInsideFolder(path, uiFolder_);
}

} // namespace tw
