// The whole first run of a player, in the real launcher: an empty program folder beside the demo
// service; the launcher installs the client through aria2, applies the patch, enables the start
// button, and a press on it starts the game against the service's host.
#include "aria2_port_lock.h"
#include "e2e.h"
#include "reference_service.h"

#include <gtest/gtest.h>

namespace tw::test::e2e {
namespace {

const WindowQuery kMainWindow = WindowQuery::Named("^Tarnwick$", "UIFrameEx");

// What the demo home page reported to the service (POST /demo/event), one line each.
std::string PageReports(const ReferenceService& service) {
    std::string out;
    for (const auto& r : service.Requests())
        if (r.value("path", "") == "/demo/event")
            out += "  " + r.value("body", "") + "\n";
    return out;
}

TEST(JourneyE2E, AFreshFolderGetsTheClientAPatchAndStartsTheGame) {
    Aria2PortLock portLock; // the launcher's aria2c takes the machine's one RPC port; released last
    XSession x;
    LauncherFolder folder;
    TempFolder root("tarnwick-e2e-journey");
    ASSERT_EQ(Shell("'" + SourceDir() + "/service/demo/make-server-folder' '" + root.Path() + "'"), 0);
    ReferenceService service(root.Path());
    folder.CopyDemoPage();

    LauncherFolder::StartOptions options;
    options.env["TARNWICK_SERVICE_URL"] = service.Endpoint();
    options.env["TARNWICK_DOWNLOAD_HOST"] = service.Base();
    auto launcher = folder.Start(x, options);
    auto window = x.WaitForWindow(kMainWindow);
    ASSERT_TRUE(window);

    // Installed and patched: the client's files byte for byte, the patch in place.
    const std::string p = folder.Path();
    ASSERT_TRUE(WaitUntil([&] { return Exists(p + "wow.exe") && Exists(p + "Data/zhCN/patch-zhCN-4.MPQ"); }, 120s))
        << "the client or the patch never arrived; the home page was told:\n"
        << PageReports(service);
    for (const char* f : {"wow.exe", "Data/zhCN/locale-zhCN.MPQ", "Data/common.MPQ"})
        EXPECT_EQ(ToolMd5(p + f), ToolMd5(root / (std::string("client/") + f))) << f;
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ToolMd5(p + "Data/zhCN/patch-zhCN-4.MPQ") == ToolMd5(root / "patches/Data/zhCN/patch-zhCN-4.MPQ");
        },
        30s));
    EXPECT_TRUE(WaitUntil([&] { return !Exists(p + "down/temp/patch-zhCN-4.MPQ"); }, 30s)) << "moved, not copied";

    // The start button: the page enables it once the worker is done; press it until the game
    // reports its start (a press before that does nothing).
    const Geometry g = x.WindowGeometry(*window);
    const std::string started = p + "wow-started.txt";
    ASSERT_TRUE(WaitUntil(
        [&] {
            x.Activate(*window);
            x.Click(g.x + g.width - 140, g.y + g.height - 60);
            return WaitUntil([&] { return Exists(started); }, 2s);
        },
        60s))
        << "the game never started";
    x.Screenshot(CurrentTestName());
    EXPECT_NE(ReadBytes(started).find("SET realmlist \"127.0.0.1\""), std::string::npos) << ReadBytes(started);

    EXPECT_EQ(CloseWithAltF4(x, *launcher, *window), 0);
}

// The home page arrives late (the network is slow): the worker has long told the local page that
// the game may be started. The page that replaces it must be told too, or its start button stays
// disabled for good.
TEST(JourneyE2E, AHomePageThatArrivesLateIsToldTheGameMayStart) {
    XSession x;
    LauncherFolder folder;
    TempFolder root("tarnwick-e2e-late-home");
    ASSERT_EQ(Shell("'" + SourceDir() + "/service/demo/make-server-folder' '" + root.Path() + "'"), 0);
    ReferenceService service(root.Path());
    service.SetKnobs({{"paths", {{"/home/index.html", {{"delay_ms", 4000}}}}}});
    folder.CopyDemoPage();
    WriteBytes(folder.Path() + "wow.exe", "#!/bin/sh\n"); // installed: no download, the worker ends at once

    LauncherFolder::StartOptions options;
    options.env["TARNWICK_SERVICE_URL"] = service.Endpoint();
    options.env["TARNWICK_DOWNLOAD_HOST"] = service.Base();
    auto launcher = folder.Start(x, options);
    // The demo home page reports what it is told to the service (POST /demo/event).
    auto homeWasTold = [&](const std::string& what) {
        for (const auto& r : service.Requests())
            if (r.value("path", "") == "/demo/event" && r.value("body", "") == what)
                return true;
        return false;
    };
    EXPECT_TRUE(WaitUntil([&] { return homeWasTold("lblstartgame"); }, 60s));
    EXPECT_TRUE(homeWasTold("lblmsg 效验补丁文件，请耐心等待...")) << "and the current status text";
    x.Screenshot(CurrentTestName());
}

} // namespace
} // namespace tw::test::e2e
