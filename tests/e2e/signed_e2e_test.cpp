// The journey of a launcher built with a signing key (launcher_signed_test, whose key the
// service's own keygen made at build time): with every answer signed it installs the client,
// applies the patch and starts the game; with one answer changed on the way it installs and
// starts nothing, and the page is told why.
#include "aria2_port_lock.h"
#include "e2e.h"
#include "reference_service.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tw::test::e2e {
namespace {

const WindowQuery kMainWindow = WindowQuery::Named("^Tarnwick$", "UIFrameEx");
const char kUnverified[] = "登录器服务的应答未能通过验证，可能已被篡改，请检查网络后重新启动登录器";

class SignedJourneyE2E : public ::testing::Test {
protected:
    Aria2PortLock portLock; // the launcher's aria2c takes the machine's one RPC port; released last
    XSession x;
    LauncherFolder folder;
    TempFolder root{"tarnwick-e2e-signed"};
    std::unique_ptr<ReferenceService> service;
    std::unique_ptr<Process> launcher;

    void SetUp() override {
        std::filesystem::copy_file(BuildDir() + "/src/app/launcher_signed_test", folder.Executable(),
                                   std::filesystem::copy_options::overwrite_existing);
        ASSERT_EQ(Shell("'" + SourceDir() + "/service/demo/make-server-folder' '" + root.Path() + "'"), 0);
        service = std::make_unique<ReferenceService>(
            root.Path(), ReferenceService::Tls{},
            std::vector<std::string>{"--signing-key", BuildDir() + "/test-signing/signing-key.pem"});
        folder.CopyDemoPage();
    }
    void StartLauncher() {
        LauncherFolder::StartOptions options;
        options.env["TARNWICK_SERVICE_URL"] = service->Endpoint();
        options.env["TARNWICK_DOWNLOAD_HOST"] = service->Base();
        launcher = folder.Start(x, options);
    }
    // What the demo home page reported of the launcher's notifications ("lblmsg <text>", ...).
    std::vector<std::string> PageReports() const {
        std::vector<std::string> out;
        for (const auto& r : service->Requests())
            if (r["path"] == "/demo/event")
                out.push_back(r["body"].get<std::string>());
        return out;
    }
    bool PageGot(const std::string& report) const {
        auto r = PageReports();
        return std::find(r.begin(), r.end(), report) != r.end();
    }
};

TEST_F(SignedJourneyE2E, SignedAnswersInstallPatchAndStartTheGame) {
    StartLauncher();
    auto window = x.WaitForWindow(kMainWindow);
    ASSERT_TRUE(window);
    const std::string p = folder.Path();
    ASSERT_TRUE(WaitUntil([&] { return Exists(p + "wow.exe") && Exists(p + "Data/zhCN/patch-zhCN-4.MPQ"); }, 120s))
        << "the client or the patch never arrived";
    EXPECT_EQ(ToolMd5(p + "Data/common.MPQ"), ToolMd5(root / "client/Data/common.MPQ"));
    ASSERT_TRUE(WaitUntil([&] { return PageGot("lblstartgame"); }, 60s));
    const Geometry g = x.WindowGeometry(*window);
    ASSERT_TRUE(WaitUntil(
        [&] {
            x.Activate(*window);
            x.Click(g.x + g.width - 140, g.y + g.height - 60);
            return WaitUntil([&] { return Exists(p + "wow-started.txt"); }, 2s);
        },
        60s))
        << "the game never started";
    x.Screenshot(CurrentTestName());
    EXPECT_FALSE(PageGot(std::string("lblmsg ") + kUnverified));
    EXPECT_EQ(CloseWithAltF4(x, *launcher, *window), 0);
}

TEST_F(SignedJourneyE2E, AnAnswerChangedOnTheWayInstallsNothing) {
    // The file list is swapped for one of an attacker's choosing, its signature left as it was.
    const nlohmann::json evil = {
        {"count", 1},
        {"downlist", {{{"url", service->Url("/files/client/wow.exe")}, {"filename", "wow.exe"}, {"MD5", ""}}}}};
    service->SetKnobs({{"actions", {{"getWowFiles", {{"altered_body", evil.dump()}}}}}});
    StartLauncher();
    auto window = x.WaitForWindow(kMainWindow);
    ASSERT_TRUE(window);
    ASSERT_TRUE(WaitUntil([&] { return PageGot("lblstartgame"); }, 60s));
    auto reports = PageReports();
    const auto ready = std::find(reports.begin(), reports.end(), "lblstartgame");
    ASSERT_NE(ready, reports.begin());
    EXPECT_EQ(*(ready - 1), std::string("lblmsg ") + kUnverified) << "told why, just before the start button";
    x.Screenshot(CurrentTestName());
    const std::string p = folder.Path();
    EXPECT_FALSE(Exists(p + "wow.exe"));
    EXPECT_FALSE(Exists(p + "down/d.lst")) << "the list never reached the downloader";
    EXPECT_FALSE(Exists(p + "wow-started.txt"));
    for (const auto& r : service->Requests())
        EXPECT_NE(r["path"], "/files/client/wow.exe") << "nothing was fetched";
    EXPECT_EQ(CloseWithAltF4(x, *launcher, *window), 0);
}

} // namespace
} // namespace tw::test::e2e
