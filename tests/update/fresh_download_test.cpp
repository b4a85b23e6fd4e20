// Downloads that cannot write into each other, and that hold to the sizes their lists name:
// against the reference service, and a bare server on a socket for answers no library would send.
#include "addon/addonSpy.h"
#include "worker_fixture.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>

using namespace tw;
using namespace tw::test;

namespace {

const char kGiveUp[] = "游戏补丁更新失败，请检查网络后重新启动登录器";

// Answers every connection on 127.0.0.1 with `head` at once and `body` once released (at once
// when not held), then closes it.
class RawServer {
public:
    RawServer(std::string head, std::string body, bool held)
        : head_(std::move(head)), body_(std::move(body)), released_(!held) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("no listening socket");
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~RawServer() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = released_ = true;
        }
        changed_.notify_all();
        thread_.join();
        ::close(fd_);
    }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    // True once a head went out (false after a minute: a bound, not a timing check).
    bool WaitForHead() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(60), [&] { return heads_ > 0; });
    }
    void Release() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
        }
        changed_.notify_all();
    }

private:
    void Serve() {
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (stopping_)
                    return;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            std::string request;
            char buffer[4096];
            for (ssize_t n; request.find("\r\n\r\n") == std::string::npos && request.size() < 65536 &&
                            (n = ::recv(c, buffer, sizeof buffer, 0)) > 0;)
                request.append(buffer, static_cast<std::size_t>(n));
            Send(c, head_);
            {
                std::unique_lock lock(mutex_);
                ++heads_;
                changed_.notify_all();
                changed_.wait_for(lock, std::chrono::seconds(60), [&] { return released_; });
            }
            Send(c, body_);
            ::shutdown(c, SHUT_RDWR);
            ::close(c);
        }
    }
    static void Send(int c, const std::string& bytes) {
        for (std::size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = ::send(c, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += static_cast<std::size_t>(n);
        }
    }

    std::string head_, body_;
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool released_, stopping_ = false;
    int heads_ = 0;
};

std::string Head(std::size_t contentLength) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(contentLength) + "\r\nConnection: close\r\n\r\n";
}

class FreshDownloadTest : public WorkerFixture {
protected:
    std::string patch = root / "patches/Data/a.MPQ";
    void SetUp() override {
        WorkerFixture::SetUp();
        WritePatternFile(patch, 300'000);
    }
    std::string PatchMd5() const { return Md5Hex(FileMd5(patch)); }
    json Entry(const std::string& url, const json& size) const {
        json entry = {{"url", url}, {"filename", "Data/a.MPQ"}, {"MD5", PatchMd5()}};
        if (!size.is_null())
            entry["size"] = size;
        return entry;
    }
    void ListPatches(const json& entries) {
        service->SetKnobs({{"actions", {{"getPatches", {{"body", json{{"count", entries.size()},
                                                                       {"downlist", entries}}.dump()}}}}}});
    }
    bool Fetched() const {
        for (const auto& a : Actions())
            if (a == "GET /files/patches/Data/a.MPQ")
                return true;
        return false;
    }
};

} // namespace

// A page's add-on named like a listed patch, whose server sends the head and then waits while the
// patch is fetched, checked and put in place: its bytes must never reach the installed patch.
TEST_F(FreshDownloadTest, AnAddonNamedLikeAPatchCannotWriteIntoIt) {
    const std::string page(300'000, 'P');
    RawServer addonServer(Head(page.size()), page, true);
    Recorder addonForm;
    TaddonSpy addon(addonForm, Temp(), program / "down/", addonServer.Url("/a.MPQ"), "a.MPQ",
                    Md5Hex(Md5Digest{}), 1, 0, program.Path());
    std::thread addonThread([&] { addon.Execute(); });
    ASSERT_TRUE(addonServer.WaitForHead());

    RunWorker();
    ASSERT_EQ(Md5Hex(FileMd5(program / "Data/a.MPQ")), PatchMd5()) << "the patch was installed";
    addonServer.Release();
    addonThread.join();

    EXPECT_EQ(Md5Hex(FileMd5(program / "Data/a.MPQ")), PatchMd5()) << "the installed patch is the one checked";
    EXPECT_EQ(addonForm.Texts("lbldownaddon").back(), R"({"code":1001,"msg":"插件下载失败"})");
    EXPECT_TRUE(std::filesystem::is_empty(Temp())) << "neither download left anything behind";
}

// Every size a list can name: what is fetched, what is installed, and that a download of the
// wrong size leaves nothing behind. A list with a wrong size, or one file twice with two sizes,
// is no list to act on.
TEST_F(FreshDownloadTest, SizesHoldWhileTheFileArrives) {
    const std::string url = service->Url("/files/patches/Data/a.MPQ");
    const std::string bytes = ReadBytes(patch);
    RawServer shortLength(Head(1000), bytes, false);             // says less than it sends
    RawServer longLength(Head(bytes.size() + 1000), bytes, false); // says more, then closes
    const json bigNumber = json::parse("9223372036854775808");     // 2^63
    const struct {
        const char* name;
        json entries;
        std::string status; // the last status text
        bool fetched;       // the service was asked for the file
        bool installed;
    } rows[] = {
        {"the right size", {Entry(url, 300'000)}, kPatchVerify, true, true},
        {"no size", {Entry(url, nullptr)}, kPatchVerify, true, true},
        {"shorter than it is", {Entry(url, 299'999)}, kFailDownload, true, false},
        {"longer than it is", {Entry(url, 300'001)}, kFailDownload, true, false},
        {"zero", {Entry(url, 0)}, kFailDownload, true, false},
        {"minus one", {Entry(url, -1)}, kFailBadAnswer, false, false},
        {"2^63", {Entry(url, bigNumber)}, kFailBadAnswer, false, false},
        {"a fraction", {Entry(url, 300'000.5)}, kFailBadAnswer, false, false},
        {"a text", {Entry(url, "300000")}, kFailBadAnswer, false, false},
        {"one file twice, two sizes", {Entry(url, 300'000), Entry(url, 300'001)}, kFailBadAnswer, false, false},
        {"Content-Length too short", {Entry(shortLength.Url("/a.MPQ"), 300'000)}, kFailDownload, false, false},
        {"Content-Length too long", {Entry(longLength.Url("/a.MPQ"), 300'000)}, kFailDownload, false, false},
        {"Content-Length too short, no size", {Entry(shortLength.Url("/a.MPQ"), nullptr)}, kGiveUp, false, false},
    };
    for (const auto& row : rows) {
        std::filesystem::remove_all(program / "Data");
        std::filesystem::remove_all(program / "down");
        form = std::make_unique<Recorder>();
        ListPatches(row.entries);
        const std::size_t before = service->Requests().size();
        RunWorker();
        EXPECT_EQ(Statuses().back(), row.status) << row.name;
        bool fetched = false;
        const auto requests = service->Requests();
        for (std::size_t i = before; i < requests.size(); ++i)
            fetched |= requests[i]["target"] == "/files/patches/Data/a.MPQ";
        EXPECT_EQ(fetched, row.fetched) << row.name;
        EXPECT_EQ(Exists(program / "Data/a.MPQ"), row.installed) << row.name;
        if (row.installed)
            EXPECT_EQ(ReadBytes(program / "Data/a.MPQ"), bytes) << row.name;
        EXPECT_TRUE(!Exists(Temp()) || std::filesystem::is_empty(Temp())) << row.name << ": nothing is left";
    }
}
