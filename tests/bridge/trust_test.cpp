// The rules of trust: what counts as one site (public suffix list), which origins the build lists,
// and which local files are the UI page's.
#include "bridge/trust.h"

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

TEST(Trust, WhatCountsAsTheHomePagesSite) {
    TTrustRules rules("/games/wow/launcherui/", ParseOriginList("https://cdn.other.net http://127.0.0.9:8080"));
    struct Case {
        const char* home;
        const char* document;
        bool trusted;
    };
    const Case cases[] = {
        {"http://www.example.com", "http://www.example.com:8080", true},
        {"http://www.example.com", "http://news.example.com", true},
        {"http://www.example.com", "http://example.com", true},
        {"http://www.example.com", "https://www.example.com", false}, // another scheme
        {"http://www.example.com", "http://example.com.evil.net", false},
        {"http://www.example.com", "http://www.example.co", false},
        {"http://a.example.co.uk", "http://b.example.co.uk", true},
        {"http://a.example.co.uk", "http://other.co.uk", false}, // co.uk is a public suffix
        {"https://a.github.io", "https://b.github.io", false},
        {"http://127.0.0.1:8931", "http://127.0.0.1:1234", true},
        {"http://127.0.0.1:8931", "http://127.0.0.2:8931", false}, // addresses match only themselves
        {"http://[::1]:80", "http://[::1]:81", true},
        {"http://localhost:80", "http://localhost:81", true},
        {"http://localhost", "http://other", false},               // single labels match only themselves
        {"http://www.example.com", "https://cdn.other.net", true}, // listed
        {"http://www.example.com", "https://cdn.other.net:8443", false},
        {"http://www.example.com", "https://img.other.net", false},
        {"http://www.example.com", "http://127.0.0.9:8080", true},
    };
    for (const auto& c : cases) {
        rules.SetHomePage(O(c.home));
        EXPECT_EQ(rules.TrustsWebOrigin(O(c.document)), c.trusted) << c.home << " / " << c.document;
    }
    // Before the service has named a home page (or when it named no web page) only the listed
    // origins count.
    rules.SetHomePage(std::nullopt);
    EXPECT_FALSE(rules.TrustsWebOrigin(O("http://www.example.com")));
    EXPECT_TRUE(rules.TrustsWebOrigin(O("https://cdn.other.net")));
    rules.SetHomePage(WebOrigin{"file", "", -1});
    EXPECT_FALSE(rules.TrustsWebOrigin(WebOrigin{"file", "", -1}));
}

TEST(Trust, LocalFilesOnlyInsideTheUiFolder) {
    TTrustRules rules("/games/wow/launcherui/", {});
    for (const char* path : {"/games/wow/launcherui/index.html", "/games/wow/launcherui/a/b.html",
                             "/games/wow/launcherui/./x/../index.html"})
        EXPECT_TRUE(rules.TrustsLocalFile(path)) << path;
    for (const char* path : {"/games/wow/index.html", "/games/wow/launcherui", "/games/wow/launcherui2/index.html",
                             "/games/wow/launcherui/../cfg.html", "launcherui/index.html", "/tmp/index.html"})
        EXPECT_FALSE(rules.TrustsLocalFile(path)) << path;
}

} // namespace
} // namespace tw
