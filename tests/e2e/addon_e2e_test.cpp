// An add-on installed from the demo home page in the real launcher: the reference service serves
// the demo server folder, whose home page lists its add-on; the user presses the add-on's install
// button, and the add-on lands in Interface/AddOns while the page shows each stage. The archive is
// one made on Chinese Windows: GBK names without the UTF-8 flag, read in the locale's code page.
#include "archive_support.h"
#include "e2e.h"
#include "reference_service.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace tw::test::e2e {
namespace {

const WindowQuery kMainWindow = WindowQuery::Named("^Tarnwick$", "UIFrameEx");

bool Requested(const ReferenceService& service, const std::string& path) {
    for (const auto& r : service.Requests())
        if (r.value("path", "") == path)
            return true;
    return false;
}

TEST(AddonE2E, TheDemoHomePageInstallsAGbkNamedAddon) {
    XSession x;
    LauncherFolder folder;
    TempFolder root("tarnwick-e2e-demo");
    ASSERT_EQ(Shell("'" + SourceDir() + "/service/demo/make-server-folder' '" + root.Path() + "'"), 0);
    MakePythonZip(root / "addons/DemoAddon.zip", "raw('团队助手/团队助手.toc', '## Title: 团队助手\\r\\n')\n"
                                                 "raw('团队助手/核心.lua', 'print(\"团队助手已加载\")\\r\\n')\n");
    ReferenceService service(root.Path());
    folder.CopyDemoPage();
    // The game is there, so the update worker goes straight to the patches.
    WriteBytes(folder.Path() + "wow.exe", "#!/bin/sh\n");
    ::chmod((folder.Path() + "wow.exe").c_str(), 0755);
    // The previous run was killed while it replaced the add-on folder: the player's add-ons are
    // aside, the new ones not yet in place. The start puts the old ones back before anything else.
    WriteBytes(folder.Path() + "Interface/.AddOns-old-9-1/Mine/Mine.toc", "mine");
    WriteBytes(folder.Path() + "Interface/.AddOns-new-9-1/Half/Half.toc", "half");
    WriteBytes(folder.Path() + "down/addon-install.journal",
               R"({"kind":"replace","new":".AddOns-new-9-1","old":".AddOns-old-9-1","newDevice":0,"newInode":0})");
    WriteBytes(folder.Path() + "down/temp/addon-9-2/Left/Left.toc", "left over");

    LauncherFolder::StartOptions options;
    options.env["TARNWICK_SERVICE_URL"] = service.Endpoint();
    options.env["TARNWICK_DOWNLOAD_HOST"] = service.Base();
    options.env["LC_ALL"] = "zh_CN.UTF-8"; // a player's Chinese desktop: code page 936
    auto launcher = folder.Start(x, options);
    auto window = x.WaitForWindow(kMainWindow);
    ASSERT_TRUE(window);
    // The home page has replaced the local one once it has asked for its add-on list.
    ASSERT_TRUE(WaitUntil([&] { return Requested(service, "/api/addons"); }, 60s));
    std::this_thread::sleep_for(1s); // let the list render

    // Press the add-on's button as a keyboard user would: a click into the news panel, then Tab
    // to the next control after it (the first add-on's install button) and Space.
    const Geometry g = x.WindowGeometry(*window);
    x.Activate(*window);
    x.Click(g.x + 120, g.y + 300);
    x.Key("Tab");
    x.Key("space");

    const std::string installed = folder.Path() + "Interface/AddOns/团队助手/团队助手.toc";
    EXPECT_TRUE(WaitUntil([&] { return Exists(installed); }, 60s));
    EXPECT_TRUE(Requested(service, "/files/addons/DemoAddon.zip"));
    EXPECT_EQ(ReadBytes(folder.Path() + "Interface/AddOns/Mine/Mine.toc"), "mine"); // type 0 merges
    EXPECT_EQ(ReadBytes(folder.Path() + "Interface/AddOns/团队助手/核心.lua"), "print(\"团队助手已加载\")\r\n");
    EXPECT_EQ(ListTree(folder.Path() + "Interface/AddOns/"),
              (std::vector<std::string>{"Mine/", "Mine/Mine.toc", "团队助手/", "团队助手/团队助手.toc",
                                        "团队助手/核心.lua"}));
    EXPECT_FALSE(Exists(folder.Path() + "down/temp/DemoAddon.zip")) << "the archive goes once installed";
    EXPECT_FALSE(Exists(folder.Path() + "Interface/AddOns/Half"));
    EXPECT_FALSE(Exists(folder.Path() + "Interface/.AddOns-old-9-1"));
    EXPECT_FALSE(Exists(folder.Path() + "Interface/.AddOns-new-9-1"));
    EXPECT_FALSE(Exists(folder.Path() + "down/temp/addon-9-2"));
    // The journal goes last, after the files are in place and synced.
    EXPECT_TRUE(WaitUntil([&] { return !Exists(folder.Path() + "down/addon-install.journal"); }, 30s));
    std::this_thread::sleep_for(1s); // the page's last state text
    x.Screenshot(CurrentTestName());

    EXPECT_EQ(CloseWithAltF4(x, *launcher, *window), 0);
}

} // namespace
} // namespace tw::test::e2e
