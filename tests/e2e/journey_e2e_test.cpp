// The whole first run of a player, in the real launcher: an empty program folder beside the demo
// service; the launcher installs the client through aria2, applies the patch, enables the start
// button, and a press on it starts the game against the service's host.
#include "e2e.h"
#include "reference_service.h"

#include <gtest/gtest.h>

namespace tw::test::e2e {
namespace {

const WindowQuery kMainWindow = WindowQuery::Named("^Tarnwick$", "UIFrameEx");

TEST(JourneyE2E, AFreshFolderGetsTheClientAPatchAndStartsTheGame) {
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
        << "the client or the patch never arrived";
    for (const char* f : {"wow.exe", "Data/zhCN/locale-zhCN.MPQ", "Data/common.MPQ"})
        EXPECT_EQ(ToolMd5(p + f), ToolMd5(root / (std::string("client/") + f))) << f;
    EXPECT_TRUE(WaitUntil([&] { return ToolMd5(p + "Data/zhCN/patch-zhCN-4.MPQ") ==
                                       ToolMd5(root / "patches/Data/zhCN/patch-zhCN-4.MPQ"); }, 30s));
    EXPECT_TRUE(WaitUntil([&] { return !Exists(p + "down/temp/patch-zhCN-4.MPQ"); }, 30s)) << "moved, not copied";

    // The start button: the page enables it once the worker is done; press it until the game
    // reports its start (a press before that does nothing).
    const Geometry g = x.WindowGeometry(*window);
    const std::string started = p + "wow-started.txt";
    ASSERT_TRUE(WaitUntil([&] {
        x.Activate(*window);
        x.Click(g.x + g.width - 140, g.y + g.height - 60);
        return WaitUntil([&] { return Exists(started); }, 2s);
    }, 60s)) << "the game never started";
    x.Screenshot(CurrentTestName());
    EXPECT_NE(ReadBytes(started).find("SET realmlist \"127.0.0.1\""), std::string::npos) << ReadBytes(started);

    EXPECT_EQ(CloseWithAltF4(x, *launcher, *window), 0);
}

} // namespace
} // namespace tw::test::e2e
