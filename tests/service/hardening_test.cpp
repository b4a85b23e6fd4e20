// The service as an operator runs it, facing requests that try to reach past what it publishes
// or to wear it out.
#include "raw_http.h"
#include "reference_service.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/wait.h>
#include <vector>

using namespace tw::test;
namespace fs = std::filesystem;

namespace {

constexpr char kSecret[] = "operator-only-4711";

// A server folder with content, and beside it what must never leave the machine.
void MakeServerFolder(const TempFolder& root) {
    WriteBytes(root / "home/index.html", "<html>home</html>");
    WriteBytes(root / "client/a.bin", "client bytes");
    WriteBytes(root / "service.json", std::string(R"({"wowhost": "10.0.0.1", "note": ")") + kSecret + "\"}");
    WriteBytes(root / "client.md5.json", kSecret);
    WriteBytes(root / "keys/service.pem", kSecret);
    WriteBytes(root / "service.log", kSecret);
    WriteBytes(root / "outside/secret.txt", kSecret);
    fs::create_symlink("/etc", root / "client/etc");
    fs::create_symlink(root / "outside/secret.txt", root / "client/secret.txt");
    fs::create_symlink(root / "outside", root / "home/outside");
    fs::create_symlink("a.bin", root / "client/same.bin");
}

} // namespace

TEST(ServiceHardening, ServesNothingButThePublishedFolders) {
    TempFolder root;
    MakeServerFolder(root);
    ReferenceService service(root.Path(), {}, {}, true);
    struct Row {
        const char* target;
        int status;
    };
    const Row rows[] = {
        {"/files/client/a.bin", 200},        {"/files/client/same.bin", 200}, // a link that stays inside its folder
        {"/home/index.html", 200},           {"/service.json", 404},
        {"/files/service.json", 404},        {"/files/client.md5.json", 404},
        {"/files/keys/service.pem", 404},    {"/files/service.log", 404},
        {"/files/outside/secret.txt", 404},  {"/../", 404},
        {"/files/../service.json", 404},     {"/files/client/../../service.json", 404},
        {"/files/%2e%2e/service.json", 404}, {"/files/client/%2E%2E/%2e%2e/service.json", 404},
        {"/home/%2e%2e/service.json", 404},  {"/files/client/%2e%2e%2fservice.json", 404},
        {"/files/client/etc/passwd", 404},   {"/files/client/secret.txt", 404},
        {"/home/outside/secret.txt", 404},   {"/files/client/a.bin%00.txt", 404},
    };
    for (const auto& row : rows) {
        RawAnswer a = RawRequest(service.Port(), Get(row.target));
        EXPECT_EQ(a.status, row.status) << row.target;
        EXPECT_EQ(a.body.find(kSecret), std::string::npos) << row.target;
        EXPECT_EQ(a.body.find("root:"), std::string::npos) << row.target;
    }
    EXPECT_EQ(RawRequest(service.Port(), Get("/files/client/a.bin")).body, "client bytes");
}

TEST(ServiceHardening, BoundsBodiesAndHeaders) {
    TempFolder root;
    MakeServerFolder(root);
    ReferenceService service(root.Path(), {}, {}, true);
    const std::string form = "c=launcher&a=getwowhost&pad=" + std::string(10 << 20, 'x');
    std::string manyHeaders;
    for (int i = 0; i < 500; ++i)
        manyHeaders += "X-Filler-" + std::to_string(i) + ": " + std::string(100, 'y') + "\r\n";
    struct Row {
        const char* what;
        std::string request;
        int status;
    };
    const Row rows[] = {
        {"10 MB form",
         "POST /index.php HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
             std::to_string(form.size()) + "\r\n\r\n" + form,
         413},
        {"500 header fields",
         "GET /home/index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + manyHeaders + "\r\n", 431},
        {"a small form",
         "POST /index.php HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 23\r\n\r\n"
         "c=launcher&a=getwowhost",
         200},
    };
    for (const auto& row : rows) {
        RawAnswer a = RawRequest(service.Port(), row.request);
        EXPECT_EQ(a.status, row.status) << row.what;
    }
}

// A thousand connections that never send a byte must not keep a launcher waiting (with a fixed
// pool, the answer would come only once the service gives up on them); the access log has one
// line per request; SIGTERM ends the service with exit status 0, idle connections or not.
TEST(ServiceHardening, IdleConnectionsAccessLogAndSigterm) {
    TempFolder root;
    MakeServerFolder(root);
    ReferenceService service(root.Path(), {}, {"--idle-timeout", "300"}, true);
    std::vector<int> idle;
    for (int i = 0; i < 1000; ++i)
        if (int fd = Connect(service.Port()); fd >= 0)
            idle.push_back(fd);
    ASSERT_EQ(idle.size(), 1000u);
    RawAnswer a = RawRequest(service.Port(), Get("/files/client/a.bin"));
    EXPECT_EQ(a.body, "client bytes");
    std::size_t open = 0;
    for (int fd : idle)
        open += StillOpen(fd) ? 1 : 0;
    EXPECT_EQ(open, idle.size()) << "the answer came only after the service dropped idle connections";
    RawRequest(service.Port(), Get("/service.json"));

    service.Stop();
    for (int fd : idle)
        ::close(fd);
    EXPECT_TRUE(WIFEXITED(service.EndStatus()) && WEXITSTATUS(service.EndStatus()) == 0) << service.EndStatus();
    const std::string out = service.Output();
    EXPECT_NE(out.find("access: GET /files/client/a.bin 200 12 "), std::string::npos) << out;
    EXPECT_NE(out.find("access: GET /service.json 404 "), std::string::npos) << out;
}
