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

// One connection that sends header lines for ever is answered and closed once its head passes
// the limits, however it is cut into lines: the service never holds more of it (before, it read
// every line until the blank one and grew by as much).
TEST(ServiceHardening, AnEndlessHeadIsCutAtItsLimits) {
    TempFolder root;
    MakeServerFolder(root);
    ReferenceService service(root.Path(), {}, {}, true);
    const struct {
        const char* what;
        std::string line; // repeated for ever
    } rows[] = {
        {"short lines", "X-A: b\r\n"},
        {"long lines", "X-Filler: " + std::string(4000, 'y') + "\r\n"},
        {"one endless line", std::string(4096, 'z')},
    };
    constexpr std::size_t kGiveUp = 256u << 20; // far beyond any socket buffers: the service kept reading
    for (const auto& row : rows) {
        const int fd = Connect(service.Port());
        ASSERT_GE(fd, 0);
        timeval limit{60, 0}; // a bound on a broken peer, not a timing check
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        std::string chunk = "GET /home/index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Endless: ";
        std::string lines;
        while (lines.size() < 64 * 1024)
            lines += row.line;
        std::size_t sent = 0;
        while (sent < kGiveUp && StillOpen(fd)) {
            const ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<std::size_t>(n);
            chunk = lines;
        }
        std::string answer;
        char buffer[4096];
        for (ssize_t n; answer.size() < 65536 && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, static_cast<std::size_t>(n));
        ::close(fd);
        EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 431") << row.what << ": " << answer.substr(0, 80);
        EXPECT_LT(sent, kGiveUp) << row.what << ": the service read on";
    }
    EXPECT_EQ(RawRequest(service.Port(), Get("/files/client/a.bin")).body, "client bytes") << "and serves on";
}

// A service that signs names only its own address: without "public_url" it does not start, and
// one whose "public_url" went away later signs no address a request brings in its Host header.
TEST(ServiceHardening, ASigningServiceNeverSignsTheHostItIsAsked) {
    TempFolder root, keys;
    MakeServerFolder(root);
    ReferenceService::Keygen(keys.Path());
    const std::string out = root / "../refused-" + std::to_string(::getpid()) + ".out";
    const int status = Shell("timeout 60 '" + BuildDir() + "/service/tarnwick_service' --root '" + root.Path() +
                             "' --port 0 --signing-key '" + (keys / "signing-key.pem") + "' >'" + out + "' 2>&1");
    EXPECT_EQ(status, 1) << "refused at start, not left running";
    EXPECT_NE(ReadBytes(out).find("\"public_url\""), std::string::npos) << ReadBytes(out);
    fs::remove(out);

    WriteBytes(root / "service.json", R"({"public_url": "https://files.example.test"})");
    ReferenceService service(root.Path(), {}, {"--signing-key", keys / "signing-key.pem"}, true);
    const std::string form = "c=launcher&a=gethomepageurl";
    const std::string ask = "POST /index.php HTTP/1.1\r\nHost: evil.example\r\nConnection: close\r\n"
                            "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                            std::to_string(form.size()) + "\r\n\r\n" + form;
    RawAnswer a = RawRequest(service.Port(), ask);
    EXPECT_EQ(a.body, R"({"data":"https://files.example.test/home/index.html"})");
    WriteBytes(root / "service.json", R"({"wowhost": "10.0.0.1"})");
    a = RawRequest(service.Port(), ask);
    EXPECT_EQ(a.status, 503);
    EXPECT_EQ(a.body.find("evil.example"), std::string::npos) << a.body;
}

// --log tells what came, never what players sent along: it is its owner's only, and holds no
// cookie, form value, query value or body.
TEST(ServiceHardening, TheLogIsItsOwnersAndHoldsNothingPlayersSent) {
    TempFolder root, work;
    MakeServerFolder(root);
    const std::string log = work / "service.log";
    WriteBytes(log, "");
    fs::permissions(log, fs::perms::all); // an existing log is made its owner's only too
    ReferenceService service(root.Path(), {}, {"--log", log}, true);
    const std::string form = "c=launcher&a=getwowhost&password=form-value-4711";
    RawRequest(service.Port(), "POST /index.php?token=query-value-4711 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                               "Cookie: session=cookie-value-4711\r\nAuthorization: Basic auth-value-4711\r\n"
                               "Connection: close\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                               "Content-Length: " +
                                   std::to_string(form.size()) + "\r\n\r\n" + form);
    RawRequest(service.Port(), Get("/files/client/a.bin"));
    EXPECT_EQ(fs::status(log).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    const std::string text = ReadBytes(log);
    EXPECT_NE(text.find("\"/index.php\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"password\""), std::string::npos) << "the form's field names are there: " << text;
    EXPECT_NE(text.find("/files/client/a.bin"), std::string::npos) << text;
    EXPECT_EQ(text.find("4711"), std::string::npos) << text;
}
