#pragma once
// The page's calls as any browser engine delivers them, and who may make them. A shell passes the
// addresses its engine reports for the window's main document and for the calling frame's
// document (never what the page says about itself) and the call's text as the page's native
// functions sent it: {"name": ..., "args": [...]}.
#include "bridge/dispatch.h"
#include "bridge/trust.h"

#include <optional>
#include <string>

namespace tw {

// The marker that the page's native functions give a prompt carrying a call.
inline constexpr const char* kNativeCallMarker = "\x01tarnwick-native";

// The call in `json`, at most five arguments kept; nothing when it is no call.
std::optional<PageMessage> ParseNativeCall(const std::string& json);

// The local path a file: URL names ("file:///C:/a/b" gives "C:/a/b", "file:///a/b" gives "/a/b"),
// percent-decoded; nothing for other URLs, a URL with a host, or an encoded separator.
std::optional<std::string> LocalPathOfFileUrl(const std::string& url);

struct CallAnswer {
    std::string result;                // what the page's function returns (native_get_channel)
    std::optional<PageMessage> accept; // the call to carry out, when trusted
};

class TPageCalls {
public:
    // `programFolder` (with its trailing separator) holds cfg.ini and launcherui/.
    // `foldCase`: local paths compare without regard to case (Windows).
    TPageCalls(std::string programFolder, const std::string& trustedOrigins, bool secureOnly,
               bool foldCase = false);

    void SetHomePage(const std::string& url);
    // A document at `url`: the local UI page (and its neighbours), or a trusted web origin.
    bool TrustsDocument(const std::string& url) const;
    // A frame showing `frameUrl` inside a window whose main document is `mainUrl`.
    bool TrustsCaller(const std::string& mainUrl, const std::string& frameUrl) const;

    // Answers one call. native_get_channel gets cfg.ini's channel for a trusted caller and "x001"
    // for any other; every other name is handed back for the dispatch only when trusted.
    CallAnswer Answer(const std::string& mainUrl, const std::string& frameUrl, const std::string& json) const;

    // The channel ID: key "ID" of section "channel" of cfg.ini, read anew on every call.
    std::string ChannelId() const;

private:
    std::string programFolder_;
    bool foldCase_;
    TTrustRules rules_;
};

} // namespace tw
