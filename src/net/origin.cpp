#include "net/origin.h"

#include <algorithm>
#include <cctype>
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

// Four decimal parts of 0 to 255; the first one in `first`.
bool IsIpv4(const std::string& host, int* first = nullptr) {
    std::istringstream in(host);
    std::string part;
    int parts = 0;
    while (std::getline(in, part, '.')) {
        if (part.empty() || part.size() > 3 || !std::all_of(part.begin(), part.end(), ::isdigit) ||
            std::stoi(part) > 255)
            return false;
        if (parts == 0 && first)
            *first = std::stoi(part);
        ++parts;
    }
    return parts == 4 && host.back() != '.';
}

// Groups of one to four hex digits separated by single colons; the last may be an IPv4 address
// (two groups). How many there are is counted into `groups`.
bool Ipv6Groups(const std::string& text, bool last, int& groups) {
    if (text.empty())
        return true;
    std::size_t i = 0;
    for (;;) {
        const auto end = std::min(text.find(':', i), text.size());
        const std::string group = text.substr(i, end - i);
        if (last && end == text.size() && IsIpv4(group)) {
            groups += 2;
        } else {
            if (group.empty() || group.size() > 4 || !std::all_of(group.begin(), group.end(), ::isxdigit))
                return false;
            ++groups;
        }
        if (end == text.size())
            return true;
        i = end + 1;
    }
}

// Eight groups, or fewer around one "::" that stands for the missing ones.
bool IsIpv6(const std::string& host) {
    if (host.find(':') == std::string::npos)
        return false;
    int groups = 0;
    const auto gap = host.find("::");
    if (gap == std::string::npos)
        return Ipv6Groups(host, true, groups) && groups == 8;
    const std::string right = host.substr(gap + 2);
    return right.find("::") == std::string::npos && Ipv6Groups(host.substr(0, gap), false, groups) &&
           Ipv6Groups(right, true, groups) && groups < 8;
}

bool IsLoopbackHost(const std::string& host) {
    int first = 0;
    if (IsIpv4(host, &first))
        return first == 127;
    if (IsIpv6(host)) {
        // ::1 in any of its spellings: every group zero but the last, which is one.
        std::string digits;
        for (char c : host)
            if (c != ':' && c != '0')
                digits += c;
        return digits == "1" && host.back() == '1' && host.find('.') == std::string::npos;
    }
    return host == "localhost" || (host.size() > 10 && host.ends_with(".localhost"));
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
        if (!IsIpv6(Lower(hostPart)))
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

std::optional<WebOrigin> OriginOfUrl(const std::string& url) {
    const auto sep = url.find("://");
    if (sep == std::string::npos)
        return std::nullopt;
    const auto end = url.find_first_of("/?#", sep + 3);
    return ParseOrigin(end == std::string::npos ? url : url.substr(0, end));
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

bool IsSecureOrigin(const WebOrigin& origin) {
    return origin.scheme == "https" || (origin.scheme == "http" && IsLoopbackHost(Lower(origin.host)));
}

} // namespace tw
