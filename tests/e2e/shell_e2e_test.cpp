// The real launcher in a temporary program folder, under Xvfb with openbox.
#include "e2e.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <netinet/in.h>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

namespace tw::test::e2e {
namespace {

const WindowQuery kMainWindow = WindowQuery::Named("^Tarnwick$", "UIFrameEx");
const WindowQuery kNoticeBox = WindowQuery::Named("^提示");
const WindowQuery kAnyOfOurs = WindowQuery::OfClass("UIFrameEx");
const Rgb kFrame{70, 70, 70};

// A port nobody listens on just now.
int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool Listening(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool open = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return open;
}

class ShellE2E : public ::testing::Test {
protected:
    XSession x;
    ReportServer server;
    LauncherFolder folder;

    // A page in one colour that reports its load with what the browser tells about itself.
    std::string ColourPage(const std::string& colour, const std::string& extra = {}) const {
        return server.PageWithReporter(
            "<script>window.addEventListener('load', function () {"
            "  twReport('load', JSON.stringify({ua: navigator.userAgent, lang: navigator.language,"
            "    w: innerWidth, h: innerHeight}));"
            "});"
            "window.addEventListener('resize', function () {"
            "  twReport('resize', JSON.stringify({w: innerWidth, h: innerHeight}));"
            "});</script>" +
                extra,
            "<style>html,body{margin:0;height:100%;background:" + colour + "}</style>");
    }

    // A page in one colour that runs the scripts the test serves at /cmd/1, /cmd/2, ... in turn
    // and reports each result as "ran<n>".
    std::string DrivenPage(const std::string& colour) const {
        return ColourPage(
            colour, "<script>var n = 1; (function poll() {"
                    "  fetch('" +
                        server.BaseUrl() +
                        "/cmd/' + n, {cache: 'no-store'})"
                        "    .then(function (r) { if (r.status !== 200) throw 0; return r.text(); })"
                        "    .then(function (code) { var v; try { v = eval(code); } catch (e) { v = 'threw ' + e; }"
                        "      twReport('ran' + n, String(v)); n++; setTimeout(poll, 20); },"
                        "      function () { setTimeout(poll, 50); });"
                        "})();</script>");
    }
    std::string Drive(const std::string& script) {
        const std::string n = std::to_string(++commands_);
        server.Serve("/cmd/" + n, ReportServer::Html(script));
        auto r = server.WaitFor("ran" + n, 20s);
        EXPECT_TRUE(r) << "the page did not run " << script;
        return r ? r->data : std::string();
    }
    int commands_ = 0;

};

TEST_F(ShellE2E, WindowShowsThePageInItsFrameWithTheRuntimeSettings) {
    folder.WritePage(ColourPage("#1e90ff", "<script>setTimeout(function () { document.title = '别的标题';"
                                           " twReport('titled', ''); }, 300);</script>"));
    // Remote debugging stays off whatever the environment asks for.
    const int debugPort = FreePort();
    LauncherFolder::StartOptions o;
    o.env["QTWEBENGINE_REMOTE_DEBUGGING"] = "127.0.0.1:" + std::to_string(debugPort);
    o.env["QTWEBENGINE_CHROMIUM_FLAGS"] = "--disable-gpu --remote-debugging-port=" + std::to_string(debugPort);
    auto launcher = folder.Start(x, o);
    auto load = server.WaitFor("load");
    ASSERT_TRUE(load) << "the page did not load";
    auto window = x.WaitForWindow(kMainWindow);
    ASSERT_TRUE(window);

    EXPECT_NE(x.WindowClass(*window).find("\"UIFrameEx\""), std::string::npos) << x.WindowClass(*window);
    const Geometry g = x.WindowGeometry(*window);
    EXPECT_EQ(g.width, 1052);
    EXPECT_EQ(g.height, 720) << "the minimum outer height wins over the 691-pixel client height";
    EXPECT_EQ(g.x, (x.Width() - g.width) / 2);
    EXPECT_EQ(g.y, (x.Height() - g.height) / 2);
    // The page may have loaded before the browser's window was fitted into the host; it then
    // hears of its size with a resize.
    EXPECT_TRUE(WaitUntil([&] {
        if (load->data.find("\"w\":1050,\"h\":718") != std::string::npos)
            return true;
        const auto resized = server.Reports("resize");
        return !resized.empty() && resized.back().data == "{\"w\":1050,\"h\":718}";
    }, 10s)) << load->data;

    // Browser identity: the engine's Chromium, this platform, the launcher's version.
    const std::regex ua(R"(^Mozilla/5\.0 \(X11; Linux [^)]+\) AppleWebKit/537\.36 \(KHTML, like Gecko\) )"
                        R"(Chrome/\d+\.\d+\.\d+\.\d+ Safari/537\.36 voderozader/2\.0\.10\.219$)");
    const std::string pageUa = load->data.substr(7, load->data.find("\",\"lang\"") - 7);
    EXPECT_TRUE(std::regex_match(pageUa, ua)) << pageUa;
    EXPECT_NE(load->data.find("\"lang\":\"zh-CN\""), std::string::npos) << load->data;
    auto report = server.Requests("/report/load");
    ASSERT_FALSE(report.empty());
    EXPECT_EQ(report.front().headers["user-agent"], pageUa);
    EXPECT_EQ(report.front().headers["accept-language"].rfind("zh-CN", 0), 0u)
        << report.front().headers["accept-language"];

    EXPECT_FALSE(Listening(debugPort)) << "a debugging port is open";
    ASSERT_TRUE(server.WaitFor("titled"));
    EXPECT_EQ(x.WindowName(*window), "Tarnwick") << "a title change must change nothing visible";

    // The frame ring and the page inside it.
    Image shot;
    WaitUntil(
        [&] {
            shot = x.Screenshot(CurrentTestName());
            return Near(shot.At(g.x + g.width / 2, g.y + g.height / 2), {30, 144, 255});
        },
        10s, 200ms);
    for (auto [px, py] : {std::pair{g.x, g.y},
                          {g.x + g.width - 1, g.y},
                          {g.x, g.y + g.height - 1},
                          {g.x + g.width - 1, g.y + g.height - 1},
                          {g.x + 500, g.y},
                          {g.x, g.y + 300},
                          {g.x + g.width - 1, g.y + 300},
                          {g.x + 500, g.y + g.height - 1}})
        EXPECT_EQ(shot.At(px, py), kFrame) << px - g.x << "," << py - g.y << " is " << ToString(shot.At(px, py));
    EXPECT_GT(shot.Share({g.x + 1, g.y + 1, g.width - 2, g.height - 2}, {30, 144, 255}), 0.99)
        << "the page must fill the client area; see " << shot.path;

    EXPECT_EQ(CloseWithAltF4(x, *launcher, *window), 0);
    // The profile lives below the program folder; nothing was logged.
    EXPECT_TRUE(std::filesystem::is_directory(folder.Path() + "launcher-data"));
    EXPECT_TRUE(std::filesystem::is_directory(folder.Path() + "launcher-data/cache"));
    const std::string base = ArtifactDir() + CurrentTestName() + "-launcher-1";
    EXPECT_EQ(ReadBytes(base + ".err"), "");
    EXPECT_EQ(ReadBytes(base + ".out"), "");
}

TEST_F(ShellE2E, ProfileKeepsLastingCookiesAcrossAnOrderlyClose) {
    // The local page goes on to served pages: one sets a lasting cookie, the next a session one.
    auto lasting = ReportServer::Html(
        server.PageWithReporter("<script>location.href = '" + server.BaseUrl() + "/session';</script>"));
    lasting.headers["Set-Cookie"] = "kept=1; Max-Age=86400; Path=/";
    server.Serve("/set", lasting);
    auto session =
        ReportServer::Html(server.PageWithReporter("<script>twReport('session', document.cookie);</script>"));
    session.headers["Set-Cookie"] = "session=1; Path=/";
    server.Serve("/session", session);
    server.Serve("/cookies",
                 ReportServer::Html(server.PageWithReporter("<script>twReport('cookies', document.cookie);</script>")));

    folder.WritePage(server.PageWithReporter("<script>location.href = '" + server.BaseUrl() + "/set';</script>"));
    {
        auto launcher = folder.Start(x);
        auto s = server.WaitFor("session");
        ASSERT_TRUE(s);
        EXPECT_EQ(s->data, "kept=1; session=1");
        auto window = x.WaitForWindow(kMainWindow);
        ASSERT_TRUE(window);
        EXPECT_EQ(CloseWithAltF4(x, *launcher, *window), 0);
    }
    folder.WritePage(server.PageWithReporter("<script>location.href = '" + server.BaseUrl() + "/cookies';</script>"));
    auto again = folder.Start(x);
    auto c = server.WaitFor("cookies");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->data, "kept=1") << "lasting cookies survive a restart, session cookies do not";
    auto request = server.Requests("/cookies");
    ASSERT_FALSE(request.empty());
    EXPECT_EQ(request.front().headers["cookie"], "kept=1");
    ::kill(LauncherFolder::LauncherPid(*again), SIGTERM);
    EXPECT_EQ(again->Wait(30s), 0);
}

TEST_F(ShellE2E, SecondPlainStartEndsAtOnceWhileTwoArgumentsGoOn) {
    folder.WritePage(ColourPage("#ffffff"));
    auto first = folder.Start(x);
    ASSERT_TRUE(server.WaitFor("load"));
    ASSERT_TRUE(x.WaitForWindow(kMainWindow));

    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"one"}}) {
        auto refused = folder.Start(x, args);
        EXPECT_EQ(refused->Wait(20s), 0) << args.size() << " argument(s) must end at once with 0";
    }
    EXPECT_EQ(x.FindWindows(kMainWindow).size(), 1u);
    EXPECT_EQ(server.Reports("load").size(), 1u);
    EXPECT_TRUE(first->Running());

    auto second = folder.Start(x, {"one", "two"});
    ASSERT_TRUE(server.WaitFor("load", 30s, 2)) << "a start with two arguments goes on";
    EXPECT_TRUE(WaitUntil([&] { return x.FindWindows(kMainWindow).size() == 2; }, 10s));

    // The session's end request closes each in order.
    for (auto* p : {first.get(), second.get()}) {
        ::kill(LauncherFolder::LauncherPid(*p), SIGTERM);
        EXPECT_EQ(p->Wait(30s), 0);
    }
    EXPECT_TRUE(x.WaitForNoWindow(kMainWindow, 5s));
    // With every holder gone, a plain start goes on again.
    auto third = folder.Start(x);
    EXPECT_TRUE(server.WaitFor("load", 30s, 3));
    ::kill(LauncherFolder::LauncherPid(*third), SIGTERM);
    EXPECT_EQ(third->Wait(30s), 0);
}

TEST_F(ShellE2E, MissingPageShowsTheNetworkErrorBoxThenEnds) {
    auto launcher = folder.Start(x);
    auto box = x.WaitForWindow(kNoticeBox);
    ASSERT_TRUE(box) << "no 提示 box";
    x.Screenshot(CurrentTestName());
    EXPECT_TRUE(launcher->Running()) << "the box waits for the user";
    x.KeyTo(*box, "Return");
    EXPECT_EQ(launcher->Wait(30s), 0);
    EXPECT_TRUE(x.FindWindows(kAnyOfOurs).empty());
}

TEST_F(ShellE2E, HttpErrorStatusIsALoadedPageButARefusedConnectionIsALoadError) {
    server.Serve("/missing", ReportServer::Html(server.PageWithReporter(
                                                    "<script>twReport('404', ''); setTimeout(function () {"
                                                    " twReport('still', ''); location.href = 'http://127.0.0.1:9/';"
                                                    " }, 1500);</script>"),
                                                404));
    folder.WritePage(server.PageWithReporter("<script>location.href = '" + server.BaseUrl() + "/missing';</script>"));
    auto launcher = folder.Start(x);
    ASSERT_TRUE(server.WaitFor("404"));
    ASSERT_TRUE(server.WaitFor("still"));
    EXPECT_TRUE(launcher->Running());
    // The refused connection that follows is a load error.
    auto box = x.WaitForWindow(kNoticeBox);
    ASSERT_TRUE(box);
    EXPECT_EQ(server.Reports("404").size(), 1u) << "the 404 page must not have raised the box";
    x.KeyTo(*box, "Return");
    EXPECT_EQ(launcher->Wait(30s), 0);
}

TEST_F(ShellE2E, PopUpsOpenNoWindow) {
    folder.WritePage(ColourPage("#ffffff",
                                "<a id=l href='about:blank' target='_blank'>x</a><script>"
                                "window.addEventListener('load', function () {"
                                "  var w = window.open('about:blank', '_blank', 'width=300,height=300');"
                                "  document.getElementById('l').click();"
                                "  document.getElementById('l').dispatchEvent(new MouseEvent('click', {button: 1}));"
                                "  setTimeout(function () { twReport('opened', String(w === null)); }, 1000);"
                                "});</script>"));
    auto launcher = folder.Start(x);
    auto opened = server.WaitFor("opened");
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->data, "true") << "window.open must answer null";
    EXPECT_EQ(x.FindWindows(kAnyOfOurs).size(), 1u) << "only the main window";
    auto window = x.WaitForWindow(kMainWindow);
    ASSERT_TRUE(window);
    EXPECT_EQ(CloseWithAltF4(x, *launcher, *window), 0);
}

TEST_F(ShellE2E, ContextMenuOnlyInEditableFields) {
    folder.WritePage(ColourPage("#ffffff", "<input id=f style='position:absolute;left:100px;top:100px;"
                                           "width:300px;height:40px' value='文字'>"
                                           "<p style='position:absolute;left:100px;top:300px;margin:0;"
                                           "font-size:30px'>普通的页面文字</p>"));
    auto launcher = folder.Start(x);
    ASSERT_TRUE(server.WaitFor("load"));
    auto window = x.WaitForWindow(kMainWindow);
    ASSERT_TRUE(window);
    const Geometry g = x.WindowGeometry(*window);

    x.Click(g.x + 600, g.y + 400, 3); // plain page content
    EXPECT_FALSE(WaitUntil([&] { return x.FindWindows(kAnyOfOurs).size() > 1; }, 1500ms)) << "no menu on plain content";
    x.MoveMouse(g.x + 1 + 150, g.y + 1 + 318); // selected plain text
    x.RunStatus("xdotool click --repeat 3 --delay 80 1");
    x.Click(g.x + 1 + 150, g.y + 1 + 318, 3);
    EXPECT_FALSE(WaitUntil([&] { return x.FindWindows(kAnyOfOurs).size() > 1; }, 1500ms)) << "no menu on a selection";
    x.Screenshot(CurrentTestName() + "-plain-selection");

    x.Click(g.x + 1 + 250, g.y + 1 + 120, 3); // inside the field
    EXPECT_TRUE(WaitUntil([&] { return x.FindWindows(kAnyOfOurs).size() > 1; }, 10s)) << "the edit menu";
    x.Screenshot(CurrentTestName());
    x.Key("Escape");
    EXPECT_TRUE(WaitUntil([&] { return x.FindWindows(kAnyOfOurs).size() == 1; }, 10s));

    // With a selection in the field the menu is there too.
    x.MoveMouse(g.x + 1 + 110, g.y + 1 + 120);
    x.RunStatus("xdotool click --repeat 2 --delay 80 1");
    x.Click(g.x + 1 + 110, g.y + 1 + 120, 3);
    EXPECT_TRUE(WaitUntil([&] { return x.FindWindows(kAnyOfOurs).size() > 1; }, 10s)) << "the edit menu";
    x.Screenshot(CurrentTestName() + "-selection");
    x.Key("Escape");
    EXPECT_TRUE(WaitUntil([&] { return x.FindWindows(kAnyOfOurs).size() == 1; }, 10s));
    EXPECT_EQ(CloseWithAltF4(x, *launcher, *window), 0);
}

TEST_F(ShellE2E, MissingEngineFilesGiveAnErrorBoxAndNoWindow) {
    folder.WritePage(ColourPage("#ffffff"));
    LauncherFolder::StartOptions o;
    o.env["QTWEBENGINEPROCESS_PATH"] = folder.Path() + "no-such-engine/QtWebEngineProcess";
    auto launcher = folder.Start(x, o);
    auto box = x.WaitForWindow(kNoticeBox);
    ASSERT_TRUE(box);
    x.Screenshot(CurrentTestName());
    EXPECT_TRUE(x.FindWindows(kMainWindow).empty());
    x.KeyTo(*box, "Return");
    EXPECT_EQ(launcher->Wait(30s), 0);
    EXPECT_TRUE(server.Reports("load").empty());
}

TEST_F(ShellE2E, MaximisedTheClientAreaIsTheWorkAreaAndRestoredTheFrameIsBack) {
    const Rgb page{46, 139, 87};
    folder.WritePage(DrivenPage("#2e8b57"));
    auto launcher = folder.Start(x);
    ASSERT_TRUE(server.WaitFor("load"));
    auto window = x.WaitForWindow(kMainWindow);
    ASSERT_TRUE(window);
    const Geometry normal = x.WindowGeometry(*window);

    Drive("native_system_cmd('maxwindows')");
    EXPECT_TRUE(WaitUntil(
        [&] {
            const Geometry g = x.WindowGeometry(*window);
            return g.x == 0 && g.y == 0 && g.width == x.Width() && g.height == x.Height();
        },
        10s));
    EXPECT_TRUE(WaitUntil([&] { return Drive("innerWidth + 'x' + innerHeight") == "1280x1024"; }, 10s))
        << "the page must cover the whole work area, with no frame ring left";
    Image shot;
    WaitUntil(
        [&] {
            shot = x.Screenshot(CurrentTestName() + "-maximised");
            return Near(shot.At(0, 0), page) && Near(shot.At(x.Width() - 1, x.Height() - 1), page);
        },
        10s, 200ms);
    EXPECT_TRUE(Near(shot.At(0, 0), page)) << ToString(shot.At(0, 0));
    EXPECT_TRUE(Near(shot.At(x.Width() - 1, x.Height() - 1), page));

    Drive("native_system_cmd('maxwindows')");
    EXPECT_TRUE(WaitUntil([&] { return x.WindowGeometry(*window).width == normal.width; }, 10s));
    EXPECT_TRUE(WaitUntil([&] { return Drive("innerWidth + 'x' + innerHeight") == "1050x718"; }, 10s));
    const Geometry g = x.WindowGeometry(*window);
    WaitUntil(
        [&] {
            shot = x.Screenshot(CurrentTestName() + "-restored");
            return shot.At(g.x, g.y) == kFrame && shot.At(g.x + g.width - 1, g.y + g.height - 1) == kFrame;
        },
        10s, 200ms);
    EXPECT_EQ(shot.At(g.x, g.y), kFrame);
    EXPECT_EQ(shot.At(g.x + g.width - 1, g.y + g.height - 1), kFrame);
    EXPECT_EQ(CloseWithAltF4(x, *launcher, *window), 0);
}

TEST_F(ShellE2E, DraggingTheFrameSizesTheWindowDownToItsMinimum) {
    folder.WritePage(ColourPage("#ffffff"));
    auto launcher = folder.Start(x);
    ASSERT_TRUE(server.WaitFor("load"));
    auto window = x.WaitForWindow(kMainWindow);
    ASSERT_TRUE(window);
    const Geometry g = x.WindowGeometry(*window);
    auto drag = [&](int fromX, int fromY, int dx, int dy) {
        x.Run("xdotool mousemove " + std::to_string(fromX) + " " + std::to_string(fromY) +
              " mousedown 1 sleep 0.3 mousemove_relative -- " + std::to_string(dx) + " " + std::to_string(dy) +
              " sleep 0.3 mouseup 1");
    };
    // The right edge (its frame pixel) grows the window; the bottom right corner shrinks it, but
    // never below 1024 x 720.
    drag(g.x + g.width - 1, g.y + g.height / 2, 100, 0);
    EXPECT_TRUE(WaitUntil([&] { return x.WindowGeometry(*window).width >= g.width + 80; }, 5s))
        << x.WindowGeometry(*window).width;
    const Geometry wide = x.WindowGeometry(*window);
    EXPECT_EQ(wide.height, g.height);
    EXPECT_EQ(wide.x, g.x);
    drag(wide.x + wide.width - 1, wide.y + wide.height - 1, -400, -300);
    EXPECT_TRUE(WaitUntil([&] { return x.WindowGeometry(*window).width < wide.width; }, 5s));
    const Geometry small = x.WindowGeometry(*window);
    EXPECT_EQ(small.width, 1024);
    EXPECT_EQ(small.height, 720);
    // The top left corner sizes from the other side: the window's far corner stays put.
    drag(small.x, small.y, -50, -40);
    EXPECT_TRUE(WaitUntil([&] { return x.WindowGeometry(*window).width > small.width; }, 5s));
    const Geometry grown = x.WindowGeometry(*window);
    EXPECT_EQ(grown.x + grown.width, small.x + small.width);
    EXPECT_EQ(grown.y + grown.height, small.y + small.height);
    EXPECT_GT(grown.height, small.height);
    // A button released before the window manager took over the sizing leaves it sizing, with the
    // keyboard held: Escape ends that (and is nothing to the page otherwise), so Alt+F4 arrives.
    x.Key("Escape");
    EXPECT_EQ(CloseWithAltF4(x, *launcher, *window), 0);
}

TEST_F(ShellE2E, DemoPageRenders) {
    folder.CopyDemoPage();
    auto launcher = folder.Start(x);
    auto window = x.WaitForWindow(kMainWindow);
    ASSERT_TRUE(window);
    const Geometry g = x.WindowGeometry(*window);
    // The demo's title bar is a dark band across the top; its start button is warm gold.
    Image shot;
    const bool rendered = WaitUntil(
        [&] {
            shot = x.Screenshot("demo-page");
            return shot.Share({g.x + 1, g.y + 1, g.width - 2, 30}, {0x14, 0x1a, 0x2e}, 24) > 0.5;
        },
        20s, 250ms);
    EXPECT_TRUE(rendered) << "see " << shot.path;
    EXPECT_EQ(shot.At(g.x, g.y), kFrame);
    EXPECT_EQ(CloseWithAltF4(x, *launcher, *window), 0);
}

} // namespace
} // namespace tw::test::e2e
