// The page bridge in the real launcher: a page that the test drives command by command (it polls
// the report server for its next script) calls the native functions, and the test looks at what
// happened to the window, the program folder and the processes.
#include "e2e.h"
#include "platform/fs.h"
#include "reference_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>

namespace tw::test::e2e {
namespace {

namespace fs = std::filesystem;

const WindowQuery kMainWindow = WindowQuery::Named("^Tarnwick$", "UIFrameEx");
const WindowQuery kNoticeBox = WindowQuery::Named("^提示$");
const WindowQuery kErrorBox = WindowQuery::Named("^Tarnwick$", "");

class BridgeE2E : public ::testing::Test {
protected:
    XSession x;
    ReportServer server;
    LauncherFolder folder;
    int next_ = 1;

    // A page that runs the scripts the test serves at /cmd/1, /cmd/2, ... one after the other and
    // reports each result, and that reports every notification it gets.
    std::string DrivenPage(const std::string& extraBody = {}) const {
        return server.PageWithReporter(
            extraBody + "<div id='bar' style='height:60px;background:#333' "
                        "onmousedown=\"native_system_cmd('movewindows')\"></div><script>"
                        "window.lblmsg = function (t) { twReport('lblmsg', t); };"
                        "window.lblstartgame = function () { twReport('lblstartgame', ''); };"
                        "window.lbldownaddon = function (o) { twReport('lbldownaddon', JSON.stringify(o)); };"
                        "window.lbladdonend = function () { twReport('lbladdonend', ''); };"
                        "twReport('loaded', typeof native_start_game + ' ' + location.protocol);"
                        "var n = 1;"
                        "function poll() {"
                        "  fetch('" + server.BaseUrl() + "/cmd/' + n, {cache: 'no-store'})"
                        "    .then(function (r) { if (r.status !== 200) throw 0; return r.text(); })"
                        "    .then(function (code) {"
                        "        var result; try { result = eval(code); } catch (e) { result = 'threw ' + e; }"
                        "        twReport('ran' + n, String(result)); n++; setTimeout(poll, 20); },"
                        "      function () { setTimeout(poll, 50); });"
                        "}"
                        "poll();</script>");
    }

    // Runs `script` in the page; its result as text.
    std::string Run(const std::string& script) {
        const int n = next_++;
        server.Serve("/cmd/" + std::to_string(n), ReportServer::Html(script));
        auto r = server.WaitFor("ran" + std::to_string(n), 20s);
        EXPECT_TRUE(r) << "the page did not run: " << script;
        return r ? r->data : "";
    }

    std::string P(const std::string& relative) const { return folder.Path() + relative; }

    // A game stand-in: each start appends its command line and copies the realm list it saw.
    void WriteFakeGame() const {
        WriteBytes(P("wow.exe"), "#!/bin/sh\ncd \"$(dirname \"$0\")\"\nn=$(ls seen-*.wtf 2>/dev/null | wc -l)\n"
                                 "cp realmlist.wtf \"seen-$n.wtf\"\necho \"$0 $*\" >> starts.log\n");
        ::chmod(P("wow.exe").c_str(), 0755);
    }
    std::size_t Starts() const {
        std::string log = ReadBytes(P("starts.log"));
        return static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n'));
    }
};

TEST_F(BridgeE2E, PageCommandsReachTheWindowAndTheGameFolder) {
    // Trees for the delete commands, with read-only, hidden and nested entries, and a link from
    // inside the cache to a folder outside the program folder.
    TempFolder outside;
    WriteBytes(outside / "keep.txt", "keep");
    for (const char* f : {"Cache/WDB/zhCN/a.wdb", "Cache/.hidden", "Errors/crash.txt", "Logs/x.log",
                          "WTF/Account/ME/macros.txt", "WTF/Config.wtf", "Interface/AddOns/Bag/Bag.toc", "Fonts/f.ttf"})
        WriteBytes(P(f), f);
    ::chmod(P("Cache/WDB/zhCN/a.wdb").c_str(), 0444);
    ::chmod(P("Cache/WDB/zhCN").c_str(), 0555);
    fs::create_directory_symlink(outside.Path(), P("Cache/outside"));
    // A desktop opener that records what it is handed.
    WriteBytes(P("bin/xdg-open"), "#!/bin/sh\necho \"$1\" >> '" + P("opened.log") + "'\n");
    ::chmod(P("bin/xdg-open").c_str(), 0755);
    WriteBytes(P("launcherui/sub.html"),
               "<script>native_open_url('http://from.frame/' + native_get_channel()); native_start_game();</script>");

    folder.WritePage(DrivenPage());
    LauncherFolder::StartOptions options;
    options.env["PATH"] = P("bin") + ":" + std::string(std::getenv("PATH"));
    auto launcher = folder.Start(x, options);
    ASSERT_TRUE(server.WaitFor("loaded"));
    EXPECT_EQ(server.Reports("loaded")[0].data, "function file:");
    auto window = x.WaitForWindow(kMainWindow);
    ASSERT_TRUE(window);

    // The channel ID, read anew on every call.
    EXPECT_EQ(Run("native_get_channel()"), "x001");
    WriteBytes(P("cfg.ini"), "\xEF\xBB\xBF[ Channel ]\r\n  id  =  \"c042\"  \r\n");
    EXPECT_EQ(Run("native_get_channel()"), "c042");
    WriteBytes(P("cfg.ini"), "[channel]\r\nID=\r\n");
    EXPECT_EQ(Run("native_get_channel()"), "");
    EXPECT_EQ(Run("[typeof native_system_cmd(), native_system_cmd(5), native_down_addon(), native_open_url(),"
                  " native_start_game.length, Object.keys(window).filter(k => /^native_/.test(k)).length].join()"),
              "undefined,,,,0,8")
        << "undefined everywhere, eight enumerable functions";

    // Window commands: maximise, restore, wrong case, minimise.
    const Geometry normal = x.WindowGeometry(*window);
    Run("native_system_cmd('maxwindows')");
    EXPECT_TRUE(WaitUntil([&] { return x.WindowGeometry(*window).width == x.Width(); }, 10s));
    Run("native_system_cmd('maxwindows')");
    EXPECT_TRUE(WaitUntil([&] { return x.WindowGeometry(*window).width == normal.width; }, 10s));
    Run("native_system_cmd('MaxWindows'); native_system_cmd('resize')");
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(x.WindowGeometry(*window).width, normal.width);
    // Dragging the page's own title bar moves the window while the button is held.
    const Geometry before = x.WindowGeometry(*window);
    x.Run("xdotool mousemove " + std::to_string(before.x + 400) + " " + std::to_string(before.y + 30) +
          " mousedown 1 sleep 0.5 mousemove_relative -- 120 80 sleep 0.3 mousemove_relative -- 40 20 sleep 0.3 mouseup 1");
    EXPECT_TRUE(WaitUntil([&] { return x.WindowGeometry(*window).x >= before.x + 100; }, 5s))
        << x.WindowGeometry(*window).x << " was " << before.x;
    Run("native_system_cmd('minwindows')");
    EXPECT_TRUE(WaitUntil([&] { return !x.IsViewable(*window); }, 10s));
    x.Activate(*window);
    EXPECT_TRUE(WaitUntil([&] { return x.IsViewable(*window); }, 10s));

    // The delete commands: only their folders go, links are removed as links.
    Run("native_clear_cache()");
    EXPECT_TRUE(WaitUntil([&] { return !Exists(P("Cache")) && !Exists(P("Errors")) && !Exists(P("Logs")); }, 10s));
    EXPECT_EQ(ReadBytes(outside / "keep.txt"), "keep");
    Run("native_clear_user_cache(); native_clear_fonts()");
    EXPECT_TRUE(WaitUntil([&] { return !Exists(P("Interface/AddOns")) && !Exists(P("Fonts")); }, 10s));
    EXPECT_FALSE(Exists(P("WTF/Account")));
    EXPECT_TRUE(Exists(P("WTF/Config.wtf")));
    EXPECT_TRUE(Exists(P("Interface")));

    // Starting the game without a client: the notice box, nothing written.
    WriteBytes(P("realmlist.wtf"), "SET realmlist \"old\"\r\nSET patchlist \"old\"\r\n");
    Run("native_start_game()");
    auto box = x.WaitForWindow(kNoticeBox, 15s);
    ASSERT_TRUE(box) << "no 提示 box for a missing client";
    x.Screenshot(CurrentTestName() + "-no-client");
    x.KeyTo(*box, "Return");
    EXPECT_TRUE(x.WaitForNoWindow(kNoticeBox, 10s));
    EXPECT_EQ(ReadBytes(P("realmlist.wtf")), "SET realmlist \"old\"\r\nSET patchlist \"old\"\r\n");

    // A read-only realm list: the error's text in a box, the game not started.
    WriteFakeGame();
    fs::create_directories(P("Data/zhCN"));
    ASSERT_TRUE(platform::SetReadOnly(P("realmlist.wtf"), true));
    Run("native_start_game()");
    std::optional<std::string> error;
    ASSERT_TRUE(WaitUntil([&] {
        for (const auto& w : x.FindWindows(WindowQuery::Named(".*")))
            if (w != *window && x.WindowName(w) == "Tarnwick" && x.IsViewable(w)) {
                error = w;
                return true;
            }
        return false;
    }, 15s)) << "no error box for a read-only realm list";
    x.Screenshot(CurrentTestName() + "-read-only");
    x.KeyTo(*error, "Return");
    EXPECT_EQ(Starts(), 0u);
    ASSERT_TRUE(platform::SetReadOnly(P("realmlist.wtf"), false));

    // Two starts, two games, each by its full path, the realm list rewritten in both places
    // (no host from the service in this run: empty quotes).
    Run("native_start_game(); native_start_game('ignored', 1)");
    EXPECT_TRUE(WaitUntil([&] { return Starts() == 2; }, 15s)) << ReadBytes(P("starts.log"));
    EXPECT_EQ(ReadBytes(P("starts.log")), P("wow.exe") + " \n" + P("wow.exe") + " \n");
    EXPECT_EQ(ReadBytes(P("realmlist.wtf")), "SET realmlist \"\"\r\n");
    EXPECT_EQ(ReadBytes(P("Data/zhCN/realmlist.wtf")), "SET realmlist \"\"\r\n");

    // Links: only web addresses reach the desktop; a sub-frame's calls go through the top frame.
    Run("native_open_url('http://example.com/a?b=1'); native_open_url('file:///etc/passwd');"
        " native_open_url('/bin/sh'); native_open_url('" + P("wow.exe") + "'); native_open_url('javascript:alert(1)');"
        " native_open_url('HTTPS://example.com/b'); native_open_url(''); 1");
    Run("var f = document.createElement('iframe'); f.src = 'sub.html'; document.body.appendChild(f); 1");
    EXPECT_TRUE(WaitUntil([&] {
        const std::string log = ReadBytes(P("opened.log"));
        return std::count(log.begin(), log.end(), '\n') >= 3;
    }, 15s)) << ReadBytes(P("opened.log"));
    EXPECT_TRUE(WaitUntil([&] { return Starts() == 3; }, 15s)) << "the frame's start";
    // Each opener runs on its own, so their lines may come in any order.
    std::vector<std::string> opened;
    std::istringstream lines(ReadBytes(P("opened.log")));
    for (std::string line; std::getline(lines, line);)
        opened.push_back(line);
    std::sort(opened.begin(), opened.end());
    EXPECT_EQ(opened, (std::vector<std::string>{"HTTPS://example.com/b", "http://example.com/a?b=1", "http://from.frame/"}));

    // After a reload the functions are there again.
    Run("setTimeout(function () { location.reload(); }, 50); 1");
    ASSERT_TRUE(server.WaitFor("loaded", 20s, 2));
    EXPECT_EQ(server.Reports("loaded")[1].data, "function file:");
    x.Screenshot(CurrentTestName());

    // exitapp: the window hides at once and the launcher ends after the browser has gone.
    next_ = 1;
    server.Serve("/cmd/1", ReportServer::Html("native_system_cmd('exitapp')"));
    EXPECT_TRUE(x.WaitForNoWindow(kMainWindow, 15s));
    EXPECT_EQ(launcher->Wait(30s), 0);
}

TEST_F(BridgeE2E, TheServiceHostAndTheWorkersNotificationsReachThePage) {
    // The reference service names a home page on the report server and a host with blanks, a
    // quote and a line break; the client is installed (wow.exe), there are no patches.
    TempFolder root("tarnwick-e2e-service");
    server.Serve("/home", ReportServer::Html(DrivenPage()));
    WriteBytes(root / "service.json", nlohmann::json{{"homepage", server.BaseUrl() + "/home"},
                                                     {"wowhost", "  10.0.0.5\"\r\nSET patchlist \"evil  "}}
                                          .dump());
    tw::test::ReferenceService service(root.Path());
    WriteFakeGame();
    folder.WritePage(DrivenPage());
    LauncherFolder::StartOptions options;
    options.env["TARNWICK_SERVICE_URL"] = service.Endpoint();
    options.env["TARNWICK_DOWNLOAD_HOST"] = service.Base();
    auto launcher = folder.Start(x, options);

    ASSERT_TRUE(server.WaitFor("lblstartgame", 60s));
    // The home page replaces the local page (which, on a slow machine, may not have loaded yet).
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const auto& r : server.Reports("loaded"))
                if (r.data == "function http:")
                    return true;
            return false;
        },
        20s))
        << "the home page replaced the local page";
    // The texts come in the worker's order. A page that has loaded is handed the current text
    // again, and a text sent while the home page was on its way is lost with the page it went
    // to, so the home page may see a text twice or miss one; it always ends on the last.
    const std::vector<std::string> said{"正在初始化……", "正在效验登录器版本...", "正在检测游戏补丁文件...",
                                        "效验补丁文件，请耐心等待..."};
    ASSERT_TRUE(WaitUntil(
        [&] {
            auto texts = server.Reports("lblmsg");
            return !texts.empty() && texts.back().data == said.back();
        },
        20s));
    std::vector<std::string> texts;
    for (const auto& r : server.Reports("lblmsg"))
        texts.push_back(r.data);
    auto next = said.begin();
    for (const auto& t : texts) {
        next = std::find(next, said.end(), t);
        ASSERT_NE(next, said.end()) << "out of order or unknown: " << t;
    }

    // The game starts against the service's host, which cannot add a line of its own.
    Run("native_start_game()");
    EXPECT_TRUE(WaitUntil([&] { return Starts() == 1; }, 15s));
    EXPECT_EQ(ReadBytes(P("seen-0.wtf")), "SET realmlist \"10.0.0.5SET patchlist evil\"\r\n");
    x.Screenshot(CurrentTestName());
}

TEST_F(BridgeE2E, OnlyTrustedDocumentsMakeTheLauncherAct) {
    // The home page (named by the service) holds a frame of another host (127.0.0.2) that calls
    // every forwarding function and forges the old relay message and a raw call, and a frame of
    // its own host on another port (any other program of the machine) that clears the fonts. Then
    // the window goes to the other host and comes back. Only the trusted documents' commands may
    // take effect.
    ReportServer foreign("127.0.0.2");
    ReportServer otherPort;
    TempFolder root("tarnwick-e2e-service");
    const std::string home = server.BaseUrl() + "/home";
    WriteBytes(root / "service.json", nlohmann::json{{"homepage", home}, {"wowhost", "127.0.0.1"}}.dump());
    tw::test::ReferenceService service(root.Path());
    WriteFakeGame();
    for (const char* f : {"Cache/a.wdb", "WTF/Account/ME/macros.txt", "Interface/AddOns/Bag/Bag.toc", "Fonts/f.ttf"})
        WriteBytes(P(f), f);
    WriteBytes(P("cfg.ini"), "[channel]\r\nID=c7\r\n");
    WriteBytes(P("bin/xdg-open"), "#!/bin/sh\necho \"$1\" >> '" + P("opened.log") + "'\n");
    ::chmod(P("bin/xdg-open").c_str(), 0755);

    // Every forwarding function, the old relay's message to the top frame, and a marked prompt
    // of its own; then the results and the channel the document was given.
    auto hostile = [&](const std::string& kind) {
        return server.PageWithReporter(
            "<script>var r = [native_clear_user_cache(), native_clear_cache(), native_down_addon('" +
            foreign.BaseUrl() + "/evil.zip', 'evil.zip', 'D41D8CD98F00B204E9800998ECF8427E', 1, 1), native_open_url('" +
            foreign.BaseUrl() +
            "/opened'), native_start_game(), native_system_cmd('minwindows'),"
            " native_system_cmd('exitapp')].map(String).join();"
            "top.postMessage({kind: '\\u0001tarnwick-native-call', name: 'native_clear_user_cache', args: []}, '*');"
            "var p; try { p = prompt('\\u0001tarnwick-native', JSON.stringify({name: 'native_start_game', args: []})); "
            "}"
            " catch (e) { p = 'threw'; }"
            "twReport('" +
            kind + "', r + ' ' + native_get_channel() + ' ' + p);</script>");
    };
    foreign.Serve("/evil", ReportServer::Html(hostile("evil")));
    // The foreign page also listens for the launcher's notifications: it must hear none.
    foreign.Serve("/top", ReportServer::Html(
                              hostile("top") +
                              "<script>window.lblmsg = function (t) { twReport('foreign-notified', t); };"
                              "window.lblstartgame = function () { twReport('foreign-notified', 'start'); };"
                              "setTimeout(function () { location.href = '" + home + "?back'; }, 1000);</script>"));
    otherPort.Serve("/fonts", ReportServer::Html(server.PageWithReporter(
                                 "<script>native_clear_fonts(); twReport('fonts', native_get_channel());</script>")));
    server.Serve(
        "/home",
        ReportServer::Html(server.PageWithReporter(
            "<script>window.lblmsg = function (t) { twReport('lblmsg', t); };"
            "window.lblstartgame = function () { twReport('lblstartgame', location.search); };"
            "twReport('home', location.search + ' ' + native_get_channel());"
            "if (location.search === '?back') { native_clear_cache(); native_open_url('http://sentinel.test/2'); }"
            "else document.write(\"<iframe src='" +
            foreign.BaseUrl() + "/evil'></iframe><iframe src='" + otherPort.BaseUrl() +
            "/fonts'></iframe>\");"
            "(function poll() { fetch('/go' + location.search.replace('?', '-')).then(function (r) { return r.status "
            "=== 200 ? r.text() : null; })"
            ".then(function (c) { if (c) eval(c); else setTimeout(poll, 100); }, function () { setTimeout(poll, 100); "
            "}); })();"
            "</script>")));

    folder.WritePage(server.PageWithReporter("<p>local</p>"));
    LauncherFolder::StartOptions options;
    options.env["PATH"] = P("bin") + ":" + std::string(std::getenv("PATH"));
    options.env["TARNWICK_SERVICE_URL"] = service.Endpoint();
    options.env["TARNWICK_DOWNLOAD_HOST"] = service.Base();
    auto launcher = folder.Start(x, options);
    auto window = x.WaitForWindow(kMainWindow);
    ASSERT_TRUE(window);

    auto evil = server.WaitFor("evil", 60s);
    ASSERT_TRUE(evil);
    EXPECT_EQ(evil->data, "undefined,undefined,undefined,undefined,undefined,undefined,undefined x001 ");
    auto fonts = server.WaitFor("fonts", 30s);
    ASSERT_TRUE(fonts);
    EXPECT_EQ(fonts->data, "x001") << "another port is another origin";
    x.Screenshot(CurrentTestName() + "-frames");

    // Off to the other site and back: the foreign top page gets nothing, the home page acts again
    // and, once loaded, is told again that the game may be started.
    ASSERT_TRUE(server.WaitFor("lblstartgame", 60s)) << "the worker has finished";
    server.Serve("/go", ReportServer::Html("native_open_url('http://sentinel.test/1'); location.href = '" +
                                           foreign.BaseUrl() + "/top';"));
    auto top = server.WaitFor("top", 30s);
    ASSERT_TRUE(top);
    EXPECT_EQ(top->data, "undefined,undefined,undefined,undefined,undefined,undefined,undefined x001 ");
    ASSERT_TRUE(server.WaitFor("home", 30s, 2));
    EXPECT_EQ(server.Reports("home")[0].data, " c7");
    EXPECT_EQ(server.Reports("home")[1].data, "?back c7");
    EXPECT_TRUE(WaitUntil([&] { return !Exists(P("Cache")); }, 15s)) << "back on the home page, its commands act";
    EXPECT_TRUE(server.WaitFor("lblstartgame", 20s, 2));
    EXPECT_EQ(server.Reports("lblstartgame").back().data, "?back");
    EXPECT_TRUE(server.Reports("foreign-notified").empty()) << server.Reports("foreign-notified")[0].data;

    // Commands are handled in order: once the second sentinel is open, nothing else is coming.
    EXPECT_TRUE(WaitUntil([&] { return ReadBytes(P("opened.log")).find("/2") != std::string::npos; }, 15s));
    EXPECT_EQ(ReadBytes(P("opened.log")), "http://sentinel.test/1\nhttp://sentinel.test/2\n") << "no foreign link";
    EXPECT_TRUE(Exists(P("WTF/Account/ME/macros.txt")));
    EXPECT_TRUE(Exists(P("Interface/AddOns/Bag/Bag.toc")));
    EXPECT_TRUE(Exists(P("Fonts/f.ttf")));
    EXPECT_TRUE(foreign.Requests("/evil.zip").empty()) << "no archive fetched";
    EXPECT_EQ(Starts(), 0u) << "the game did not start";
    EXPECT_TRUE(launcher->Running());
    EXPECT_TRUE(x.IsViewable(*window)) << "neither minimised nor closed";
    x.Screenshot(CurrentTestName());
    EXPECT_EQ(CloseWithAltF4(x, *launcher, *window), 0);
}

TEST_F(BridgeE2E, AHomePageThatIsNoWebPageLeavesTheLocalPageInPlace) {
    // An empty answer would blank the window (no start or close button left); a local file named
    // by the network would be shown. The local page stays and hears the whole sequence.
    WriteFakeGame();
    for (const std::string home : {"", "file:///etc/passwd"}) {
        TempFolder root("tarnwick-e2e-service");
        WriteBytes(root / "service.json", nlohmann::json{{"homepage", home}}.dump());
        tw::test::ReferenceService service(root.Path());
        const std::string doc = home.empty() ? "empty" : "file";
        folder.WritePage(server.PageWithReporter("<p>local</p><script>window.lblstartgame = function () { twReport('" +
                                                 doc + "', location.protocol); };</script>"));
        LauncherFolder::StartOptions options;
        options.env["TARNWICK_SERVICE_URL"] = service.Endpoint();
        options.env["TARNWICK_DOWNLOAD_HOST"] = service.Base();
        auto launcher = folder.Start(x, options);
        auto window = x.WaitForWindow(kMainWindow);
        ASSERT_TRUE(window);
        auto told = server.WaitFor(doc, 60s);
        ASSERT_TRUE(told) << "the local page was replaced (" << home << ")";
        EXPECT_EQ(told->data, "file:");
        x.Screenshot(CurrentTestName() + "-" + doc);
        EXPECT_EQ(CloseWithAltF4(x, *launcher, *window), 0);
    }
}

TEST_F(BridgeE2E, AHomePageThatLoadsAfterTheNewsIsToldOncePerDocument) {
    // The service fails right after naming its home page, and the home page is slow: the worker
    // ends while the local page is still shown. The home page, and the same page reloaded, must
    // each get the last status text and then lblstartgame, once.
    TempFolder root("tarnwick-e2e-service");
    WriteBytes(root / "service.json", nlohmann::json{{"homepage", server.BaseUrl() + "/home"}}.dump());
    tw::test::ReferenceService service(root.Path());
    // The home page's address comes late enough for the local page to have loaded: it hears
    // everything the worker says from then on.
    service.SetKnobs({{"actions", {{"gethomepageurl", {{"delay_ms", 2000}}}, {"getwowhost", {{"status", 500}}}}}});
    auto home = ReportServer::Html(server.PageWithReporter(
        "<script>var doc = 'home' + (sessionStorage.getItem('n') | 0); sessionStorage.setItem('n', (doc === 'home0') | 0);"
        "window.lblmsg = function (t) { twReport(doc, 'lblmsg ' + t); };"
        "window.lblstartgame = function () { twReport(doc, 'lblstartgame');"
        "  if (doc === 'home0') setTimeout(function () { location.reload(); }, 500); };</script>"));
    home.delayMs = 3000;
    server.Serve("/home", home);
    folder.WritePage(server.PageWithReporter("<script>window.lblmsg = function (t) { twReport('local', 'lblmsg ' + t); };"
                                             "window.lblstartgame = function () { twReport('local', 'lblstartgame'); };"
                                             "</script>"));
    LauncherFolder::StartOptions options;
    options.env["TARNWICK_SERVICE_URL"] = service.Endpoint();
    options.env["TARNWICK_DOWNLOAD_HOST"] = service.Base();
    auto launcher = folder.Start(x, options);
    auto window = x.WaitForWindow(kMainWindow);
    ASSERT_TRUE(window);

    // What the worker said, as the local page heard it: its texts, then lblstartgame.
    auto local = [&] {
        std::vector<std::string> out;
        for (const auto& r : server.Reports("local"))
            out.push_back(r.data);
        return out;
    };
    ASSERT_TRUE(WaitUntil([&] { return !local().empty() && local().back() == "lblstartgame"; }, 60s));
    const std::vector<std::string> told = local();
    ASSERT_GE(told.size(), 2u);
    const std::string last = told[told.size() - 2];
    ASSERT_EQ(last.rfind("lblmsg ", 0), 0u) << last;

    ASSERT_TRUE(server.WaitFor("home1", 60s, 2)) << "the reloaded page heard nothing";
    x.Screenshot(CurrentTestName());
    EXPECT_EQ(CloseWithAltF4(x, *launcher, *window), 0);
    for (const char* doc : {"home0", "home1"}) {
        std::vector<std::string> heard;
        for (const auto& r : server.Reports(doc))
            heard.push_back(r.data);
        EXPECT_EQ(heard, (std::vector<std::string>{last, "lblstartgame"})) << doc;
    }
}

} // namespace
} // namespace tw::test::e2e
