// The rules of trust: which origins count as the home page's, which ones the build lists, which
// ones a build with a signing key refuses, and which local files are the UI page's.
#include "bridge/trust.h"
#include "platform/fs.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace tw {
namespace {

WebOrigin O(const std::string& text) {
    auto o = ParseOrigin(text);
    EXPECT_TRUE(o) << text;
    return o.value_or(WebOrigin{});
}

TEST(Trust, OriginsOfTheBuildSetting) {
    struct Case {
        const char* text;
        bool valid;
        const char* host;
        int port;
    };
    const Case cases[] = {
        {"https://Shop.Example.COM", true, "shop.example.com", -1},
        {"http://a.example.com:8080/", true, "a.example.com", 8080},
        {"https://a.example.com:443", true, "a.example.com", -1},
        {"http://[::1]:81", true, "::1", 81},
        {"http://[0:0:0:0:0:0:0:1]", true, "0:0:0:0:0:0:0:1", -1},
        {"http://[::ffff:127.0.0.1]", true, "::ffff:127.0.0.1", -1},
        {"http://[1:2:3:4:5:6:7:8:9]", false, "", 0},
        {"http://[1::2::3]", false, "", 0},
        {"http://[12345::1]", false, "", 0},
        {"ftp://a.example.com", false, "", 0},
        {"file:///tmp", false, "", 0},
        {"http://a.example.com/path", false, "", 0},
        {"http://a.example.com:", false, "", 0},
        {"http://a.example.com:99999", false, "", 0},
        {"http://user@a.example.com", false, "", 0},
        {"http://", false, "", 0},
        {"a.example.com", false, "", 0},
    };
    for (const auto& c : cases) {
        auto o = ParseOrigin(c.text);
        ASSERT_EQ(o.has_value(), c.valid) << c.text;
        if (o) {
            EXPECT_EQ(o->host, c.host) << c.text;
            EXPECT_EQ(o->port, c.port) << c.text;
        }
    }
    EXPECT_EQ(ParseOriginList("  https://a.example.com\thttp://b.example.com:81 junk \n").size(), 2u);
}

TEST(Trust, OnlyTheHomePagesOriginAndTheListedOnes) {
    struct Case {
        const char* home;
        const char* document;
        bool trusted;
        bool trustedWithKey; // a build that checks signatures
    };
    const Case cases[] = {
        {"https://www.example.com", "https://www.example.com:443", true, true},
        {"https://www.example.com", "https://www.example.com:8443", false, false}, // another port
        {"https://www.example.com", "https://news.example.com", false, false},     // another host of the site
        {"https://www.example.com", "https://example.com", false, false},
        {"https://www.example.com", "http://www.example.com", false, false}, // another scheme
        {"https://www.example.com", "https://example.com.evil.net", false, false},
        {"http://www.example.com", "http://www.example.com", true, false}, // anyone's on the way
        {"http://127.0.0.1:8931", "http://127.0.0.1:8931", true, true},
        {"http://127.0.0.1:8931", "http://127.0.0.1:1234", false, false}, // another program on the address
        {"http://[::1]:80", "http://[::1]", true, true},
        {"http://localhost:81", "http://localhost:81", true, true},
        {"http://10.0.0.5", "http://10.0.0.5", true, false},
        {"https://www.example.com", "https://cdn.other.net", true, true}, // listed
        {"https://www.example.com", "https://cdn.other.net:8443", false, false},
        {"https://www.example.com", "https://img.other.net", false, false},
        {"https://www.example.com", "http://127.0.0.9:8080", true, true},
        {"https://www.example.com", "http://plain.other.net", true, false}, // listed, but plain http
    };
    for (bool keyed : {false, true}) {
        TTrustRules rules("/games/wow/launcherui/",
                          ParseOriginList("https://cdn.other.net http://127.0.0.9:8080 http://plain.other.net"), keyed);
        for (const auto& c : cases) {
            rules.SetHomePage(O(c.home));
            EXPECT_EQ(rules.TrustsWebOrigin(O(c.document)), keyed ? c.trustedWithKey : c.trusted)
                << c.home << " / " << c.document << (keyed ? " (keyed)" : "");
        }
        // Before the service has named a home page (or when it named no web page) only the listed
        // origins count.
        rules.SetHomePage(std::nullopt);
        EXPECT_FALSE(rules.TrustsWebOrigin(O("https://www.example.com")));
        EXPECT_TRUE(rules.TrustsWebOrigin(O("https://cdn.other.net")));
        rules.SetHomePage(WebOrigin{"file", "", -1});
        EXPECT_FALSE(rules.TrustsWebOrigin(WebOrigin{"file", "", -1}));
    }
}

TEST(Trust, LocalFilesOnlyInsideTheUiFolder) {
    // Written with '/', made this system's absolute paths (a drive in front on Windows).
    auto P = [](std::string path) {
        if (platform::kPathSeparator == '\\') {
            std::replace(path.begin(), path.end(), '/', '\\');
            if (path.starts_with('\\'))
                path = "C:" + path;
        }
        return path;
    };
    TTrustRules rules(P("/games/wow/launcherui/"), {});
    for (const char* path : {"/games/wow/launcherui/index.html", "/games/wow/launcherui/a/b.html",
                             "/games/wow/launcherui/./x/../index.html"})
        EXPECT_TRUE(rules.TrustsLocalFile(P(path))) << path;
    for (const char* path : {"/games/wow/index.html", "/games/wow/launcherui", "/games/wow/launcherui2/index.html",
                             "/games/wow/launcherui/../cfg.html", "launcherui/index.html", "/tmp/index.html"})
        EXPECT_FALSE(rules.TrustsLocalFile(P(path))) << path;
}

} // namespace
} // namespace tw
