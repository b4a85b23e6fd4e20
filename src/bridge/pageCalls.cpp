#include "bridge/pageCalls.h"

#include "base/inifile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>

namespace tw {

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

} // namespace

std::optional<PageMessage> ParseNativeCall(const std::string& json) {
    const nlohmann::json call = nlohmann::json::parse(json, nullptr, false);
    if (!call.is_object() || !call.contains("name") || !call["name"].is_string())
        return std::nullopt;
    PageMessage m;
    m.name = call["name"].get<std::string>();
    if (call.contains("args") && call["args"].is_array()) {
        for (const auto& v : call["args"]) {
            if (m.args.size() == 5) // the page's script sends at most five; the rest is not ours
                break;
            if (v.is_string())
                m.args.emplace_back(v.get<std::string>());
            else if (v.is_boolean())
                m.args.emplace_back(v.get<bool>());
            else if (v.is_number())
                m.args.emplace_back(v.get<double>());
            else
                m.args.emplace_back(std::monostate{});
        }
    }
    return m;
}

std::optional<std::string> LocalPathOfFileUrl(const std::string& url) {
    constexpr std::string_view kPrefix = "file:///";
    if (url.size() <= kPrefix.size() || Lower(url.substr(0, kPrefix.size())) != kPrefix)
        return std::nullopt;
    std::string rest = url.substr(kPrefix.size() - 1); // from the path's first "/"
    rest = rest.substr(0, rest.find_first_of("?#"));
    // An encoded separator would name a file other than the one the path seems to name.
    const std::string lower = Lower(rest);
    if (lower.find("%2f") != std::string::npos || lower.find("%5c") != std::string::npos ||
        rest.find('\\') != std::string::npos)
        return std::nullopt;
    std::string path;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%' && i + 2 < rest.size() && HexDigit(rest[i + 1]) >= 0 && HexDigit(rest[i + 2]) >= 0) {
            path += static_cast<char>(HexDigit(rest[i + 1]) * 16 + HexDigit(rest[i + 2]));
            i += 2;
        } else {
            path += rest[i];
        }
    }
    // "/C:/..." names a drive.
    if (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[1])) && path[2] == ':')
        path.erase(0, 1);
    return path;
}

TPageCalls::TPageCalls(std::string programFolder, const std::string& trustedOrigins, bool secureOnly, bool foldCase)
    : programFolder_(std::move(programFolder)), foldCase_(foldCase),
      rules_([&] {
          std::string ui = programFolder_ + "launcherui/";
          std::replace(ui.begin(), ui.end(), '\\', '/');
          return foldCase ? Lower(ui) : ui;
      }(), ParseOriginList(trustedOrigins), secureOnly) {}

void TPageCalls::SetHomePage(const std::string& url) {
    rules_.SetHomePage(OriginOfUrl(url));
}

bool TPageCalls::TrustsDocument(const std::string& url) const {
    if (auto path = LocalPathOfFileUrl(url))
        return rules_.TrustsLocalFile(foldCase_ ? Lower(*path) : *path);
    const auto origin = OriginOfUrl(url);
    return origin && rules_.TrustsWebOrigin(*origin);
}

bool TPageCalls::TrustsCaller(const std::string& mainUrl, const std::string& frameUrl) const {
    // The main document decides for every frame in it: a foreign page around a trusted frame
    // gets nothing, and a trusted page lends nothing to a foreign frame.
    return TrustsDocument(mainUrl) && TrustsDocument(frameUrl);
}

CallAnswer TPageCalls::Answer(const std::string& mainUrl, const std::string& frameUrl, const std::string& json) const {
    CallAnswer answer;
    auto call = ParseNativeCall(json);
    if (!call)
        return answer;
    const bool trusted = TrustsCaller(mainUrl, frameUrl);
    if (call->name == "native_get_channel") {
        answer.result = trusted ? ChannelId() : "x001";
        return answer;
    }
    if (trusted)
        answer.accept = std::move(call);
    return answer;
}

std::string TPageCalls::ChannelId() const {
    return ReadProfileString(programFolder_ + "cfg.ini", "channel", "ID", "x001");
}

} // namespace tw
