// The operator's setup: nginx with the shipped service/nginx/tarnwick.conf in front of the
// published service (tarnwick_service as an operator runs it), a whole install through it with the
// real aria2c, and what nginx must never hand out.
#include "aria2_port_lock.h"
#include "nginx.h"
#include "raw_http.h"
#include "worker_fixture.h"

#include "update/aria2.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

using namespace tw;
using namespace tw::test;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

namespace {

int Publish(const std::string& root, const std::vector<std::string>& args = {}) {
    std::string command = "'" + BuildDir() + "/service/tarnwick_service' publish --root '" + root + "'";
    for (const auto& a : args)
        command += " '" + a + "'";
    return Shell(command + " >/dev/null 2>&1");
}

class NginxInstallTest : public WorkerFixture {
protected:
    Aria2PortLock portLock;
    TempFolder keys{"tarnwick-keys"};
    std::unique_ptr<Nginx> nginx;

    void SetUp() override {
        withClient = false;
        for (int i = 0; i < 500 && PortBusy(58012); ++i) // an earlier test's aria2c on its way out
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        WorkerFixture::SetUp();
        WriteBytes(root / "client/wow.exe", "#!/bin/sh\necho game\n");
        WritePatternFile(root / "client/Data/zhCN/locale-zhCN.MPQ", 2'500'000);
        WriteBytes(root / "client/Data/common.MPQ", std::string(70'000, 'c'));
        WritePatternFile(root / "patches/Data/zhCN/patch-zhCN-5.MPQ", 300'000);
        // The operator's service in place of the tests' one: it runs without a key, and hands out
        // the answers as publish signed them.
        verifier = TAnswerVerifier(ReferenceService::Keygen(keys.Path()));
        service =
            std::make_unique<ReferenceService>(root.Path(), ReferenceService::Tls{}, std::vector<std::string>{}, true);
        // Two ports: launchers ask the first; public_url names the second, as it would a CDN.
        nginx = std::make_unique<Nginx>(root.Path(), service->Port(), 2);
        Settings({{"public_url", nginx->Base(1)}});
        ASSERT_EQ(Publish(root.Path(), {"--signing-key", keys / "signing-key.pem"}), 0);
        ::setenv("TARNWICK_SERVICE_URL", (nginx->Base(0) + "/index.php").c_str(), 1);
        ::setenv("TARNWICK_DOWNLOAD_HOST", nginx->Base(0).c_str(), 1);
    }
    void TearDown() override { EndOurAria2Processes(program / "down"); }
};

} // namespace

TEST_F(NginxInstallTest, AWholeInstallThroughNginx) {
    RunWorker();
    for (const char* f : {"wow.exe", "Data/zhCN/locale-zhCN.MPQ", "Data/common.MPQ"})
        EXPECT_EQ(ToolMd5(program / f), ToolMd5(root / (std::string("client/") + f))) << f;
    EXPECT_EQ(ToolMd5(program / "Data/zhCN/patch-zhCN-5.MPQ"), ToolMd5(root / "patches/Data/zhCN/patch-zhCN-5.MPQ"));
    EXPECT_EQ(Statuses().back(), kPatchVerify) << "signed answers came through nginx unchanged";

    // The answers' URLs follow public_url; the files came from nginx, the answers from the service.
    EXPECT_THAT(ReadBytes(program / "down/d.lst"), HasSubstr(nginx->Base(1) + "/files/client/Data/common.MPQ\r\n"));
    const std::string files = nginx->AccessLog();
    EXPECT_THAT(files, HasSubstr("\"GET /files/client/Data/zhCN/locale-zhCN.MPQ HTTP/1.1\" 20"));
    EXPECT_THAT(files, HasSubstr("\"GET /files/patches/Data/zhCN/patch-zhCN-5.MPQ HTTP/1.1\" 200"));
    EXPECT_THAT(files, HasSubstr("\"POST /index.php HTTP/1.0\" 200"));
    EXPECT_THAT(files, HasSubstr("\"GET /apps/w02/aria2.conf HTTP/1.1\" 200"));
    service->Stop();
    EXPECT_THAT(service->Output(), HasSubstr("access: POST /index.php 200"));
    EXPECT_THAT(service->Output(), Not(HasSubstr("/files/")));
}

// What the service refuses, nginx refuses too; it adds byte ranges and follows no link at all.
TEST_F(NginxInstallTest, ServesOnlyTheContentFolders) {
    const std::string secret = "operator-only-4711";
    WriteBytes(root / "service.json", R"({"note": ")" + secret + "\"}");
    WriteBytes(root / "keys/service.pem", secret);
    WriteBytes(root / "outside/secret.txt", secret);
    fs::create_symlink("/etc", root / "client/etc");
    fs::create_symlink(root / "outside/secret.txt", root / "client/secret.txt");
    fs::create_symlink(root / "outside", root / "home/outside");
    fs::create_symlink("common.MPQ", root / "client/Data/same.MPQ");
    struct Row {
        std::string request;
        int status; // 0: anything but 200 and 206
    };
    const Row rows[] = {
        {Get("/home/index.html"), 200},
        {Get("/"), 302},
        {Get("/files/client/wow.exe"), 200},
        {"GET /files/client/wow.exe HTTP/1.1\r\nHost: x\r\nRange: bytes=2-5\r\nConnection: close\r\n\r\n", 206},
        {Get("/files/client/"), 0},
        {Get("/home/"), 200},
        {Get("/service.json"), 404},
        {Get("/published.json"), 404},
        {Get("/files/service.json"), 404},
        {Get("/files/published.json"), 404},
        {Get("/keys/service.pem"), 404},
        {Get("/files/keys/service.pem"), 404},
        {Get("/outside/secret.txt"), 404},
        {Get("/../service.json"), 0},
        {Get("/files/client/../../service.json"), 0},
        {Get("/files/client/%2e%2e/%2e%2e/service.json"), 0},
        {Get("/files/client%2f..%2f..%2fservice.json"), 0},
        {Get("/home/%2e%2e/service.json"), 0},
        {Get("/files/client/etc/passwd"), 0},
        {Get("/files/client/secret.txt"), 0},
        {Get("/home/outside/secret.txt"), 0},
        {Get("/files/client/Data/same.MPQ"), 0},
        {Get("/index.php?a=getwowhost"), 200},
    };
    for (const auto& row : rows) {
        RawAnswer a = RawRequest(nginx->Port(), row.request);
        if (row.status == 0)
            EXPECT_TRUE(a.status >= 300 && a.status != 302) << a.status << " " << row.request;
        else
            EXPECT_EQ(a.status, row.status) << row.request;
        EXPECT_THAT(a.body, Not(HasSubstr(secret))) << row.request;
        EXPECT_THAT(a.body, Not(HasSubstr("root:"))) << row.request;
        EXPECT_THAT(a.body, Not(HasSubstr("wow.exe"))) << row.request << ": no listing";
        if (row.status == 206) {
            EXPECT_EQ(a.body, "/bin");
        }
    }
}
