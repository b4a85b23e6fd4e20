// The shell decisions both windows share: which local document a file address names, who may
// call, what a late document is told again, and the closing handshake.
#include "bridge/pageCalls.h"
#include "shell/shellCore.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(ShellCore, FileAddressesNameOnlyThePathTheyShow) {
    struct Case {
        const char* url;
        std::optional<std::string> path;
    } cases[] = {
        {"file:///C:/Games/Tarnwick/launcherui/index.html", "C:/Games/Tarnwick/launcherui/index.html"},
        {"file:///opt/t/launcherui/a%20b.html?x=1#top", "/opt/t/launcherui/a b.html"},
        {"FILE:///opt/t/launcherui/index.html", "/opt/t/launcherui/index.html"},
        {"file:///opt/t/launcherui/..%2F..%2Fevil.html", std::nullopt}, // an encoded separator
        {"file:///opt/t/launcherui/..%5cevil.html", std::nullopt},
        {"file://host/share/launcherui/index.html", std::nullopt},      // another machine
        {"https://example.com/index.html", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(LocalPathOfFileUrl(c.url), c.path) << c.url;

    TPageCalls calls("/opt/t/", "https://listed.example", false);
    struct Trust {
        const char* main;
        const char* frame;
        bool trusted;
    } trust[] = {
        {"file:///opt/t/launcherui/index.html", "file:///opt/t/launcherui/inner.html", true},
        {"file:///opt/t/launcherui/index.html", "https://listed.example/x", true},
        {"file:///opt/t/launcherui/../cfg.ini", "file:///opt/t/launcherui/../cfg.ini", false},
        {"file:///opt/t/launcherui/index.html", "https://other.example/", false},
        {"https://other.example/", "file:///opt/t/launcherui/index.html", false},
    };
    for (const Trust& t : trust)
        EXPECT_EQ(calls.TrustsCaller(t.main, t.frame), t.trusted) << t.main << " " << t.frame;
    // A call from a foreign frame is not handed on, and its channel is the default.
    const std::string call = R"({"name":"native_get_channel","args":[]})";
    EXPECT_EQ(calls.Answer("https://other.example/", "https://other.example/", call).result, "x001");
    EXPECT_FALSE(calls.Answer("https://other.example/", "https://other.example/",
                              R"({"name":"native_start_game","args":[]})").accept);
}

TEST(ShellCore, ALateDocumentIsToldWhatItMissedAndTheCloseWaitsForTheBrowser) {
    TPageNotices n;
    EXPECT_FALSE(n.AnySent());
    n.Send(TPageNotices::StartGame, "window.lblstartgame()");
    n.Taken(TPageNotices::StartGame, 7.0);
    n.Send(TPageNotices::Status, "window.lblmsg(\"x\")");
    n.Taken(TPageNotices::Status, std::nullopt); // the page had no lblmsg yet
    EXPECT_EQ(n.Missed(7.0), std::vector<TPageNotices::Kind>{TPageNotices::Status});
    EXPECT_EQ(n.Missed(8.0), (std::vector<TPageNotices::Kind>{TPageNotices::Status, TPageNotices::StartGame}));

    TCloseHandshake withBrowser;
    auto a = withBrowser.Query(true);
    EXPECT_TRUE(a.closeBrowser && !a.close);
    a = withBrowser.Query(true);
    EXPECT_TRUE(!a.closeBrowser && !a.close);
    withBrowser.BrowserGone();
    EXPECT_TRUE(withBrowser.Query(true).close);
    TCloseHandshake without; // nothing would ever report its end
    EXPECT_TRUE(without.Query(false).close);
}

} // namespace
} // namespace tw
