// Installing the game client through the real aria2c (its RPC port is fixed, so these run alone)
// from the reference service on 127.0.0.1.
#include "aria2_port_lock.h"
#include "worker_fixture.h"

#include "platform/process.h"
#include "update/aria2.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace tw;
using namespace tw::test;
namespace fs = std::filesystem;

namespace {

const char kList[] = "正在请求游戏文件列表...";
const char kDownload[] = "正在下载游戏资源，请耐心等待……";
const char kDeploy[] = "游戏下载完成，正在部署中...";
const char kDeployed[] = "游戏部署完成";

class InstallTest : public WorkerFixture {
protected:
    Aria2PortLock portLock;
    void SetUp() override {
        withClient = false;
        // An aria2c of an earlier test may still be on its way out.
        for (int i = 0; i < 500 && PortBusy(58012); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        WorkerFixture::SetUp();
        WriteBytes(root / "client/wow.exe", "#!/bin/sh\necho game\n");
        WritePatternFile(root / "client/Data/zhCN/locale-zhCN.MPQ", 2'500'000);
        WriteBytes(root / "client/Data/common.MPQ", std::string(70'000, 'c'));
        WriteBytes(root / "client/Interface/AddOns/Blizzard/x.toc", "toc");
    }
    void TearDown() override { EndOurAria2Processes(program / "down"); }
    std::vector<std::string> ClientFiles() const {
        return {"wow.exe", "Data/zhCN/locale-zhCN.MPQ", "Data/common.MPQ", "Interface/AddOns/Blizzard/x.toc"};
    }
    void ExpectInstalled() {
        for (const auto& f : ClientFiles())
            EXPECT_EQ(ToolMd5(program / f), ToolMd5(root / ("client/" + f))) << f;
        EXPECT_TRUE(platform::IsExecutableFile(program / "wow.exe"));
        EXPECT_TRUE(fs::is_directory(program / "down/wow") && fs::is_empty(program / "down/wow"))
            << "wow/ is left empty";
        if (HasFailure())
            for (const auto& t : Statuses())
                std::cerr << "status: " << t << '\n';
    }
    // aria2c writes whole pieces of 1 MiB.
    static constexpr std::uint64_t kPiece = 1 << 20;
    // At least a piece of the big file is on disk.
    bool PartArrived() const {
        std::error_code ec;
        return fs::file_size(program / "down/wow/Data/zhCN/locale-zhCN.MPQ", ec) >= kPiece && !ec;
    }
    // Where the last GET of `path` began (its Range), 0 for the whole file.
    std::uint64_t ResumedFrom(const std::string& path) const {
        std::uint64_t from = 0;
        for (const auto& r : service->Requests())
            if (r["method"] == "GET" && r["path"] == path) {
                const std::string range = ReferenceService::Header(r, "Range");
                from = range.starts_with("bytes=") ? std::stoull(range.substr(6)) : 0;
            }
        return from;
    }
    std::size_t GetsOf(const std::string& path) const {
        std::size_t n = 0;
        for (const auto& r : service->Requests())
            n += r["method"] == "GET" && r["path"] == path;
        return n;
    }
};

} // namespace

TEST_F(InstallTest, AFullInstallIntoAnEmptyProgramFolder) {
    RunWorker();
    ExpectInstalled();
    auto s = Statuses();
    // The stage texts in order, the download figures between them.
    std::vector<std::string> stages;
    std::regex figures("正在下载游戏资源 \\d+ Kib/s \\((-?\\d+) / 4\\)");
    std::size_t polls = 0;
    for (const auto& t : s) {
        if (std::regex_match(t, figures))
            ++polls;
        else
            stages.push_back(t);
    }
    EXPECT_GE(polls, 1u);
    EXPECT_EQ(stages, (std::vector<std::string>{kInit, kCheck, kList, kDownload, kDeploy, kDeployed, kPatchCheck,
                                                kPatchVerify}));
    EXPECT_THAT(s[std::find(s.begin(), s.end(), std::string(kDeploy)) - s.begin() - 1],
                ::testing::MatchesRegex(".*\\(4 / 4\\)"));

    // The input list: a URI line, then one blank and out= with this system's separator; CR LF.
    std::string list = ReadBytes(program / "down/d.lst");
    EXPECT_THAT(list, ::testing::HasSubstr(service->Url("/files/client/Data/zhCN/locale-zhCN.MPQ") +
                                           "\r\n out=wow/Data/zhCN/locale-zhCN.MPQ\r\n"));
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 8);
    // The service's configuration as sent, but for what the launcher sets itself or keeps from it.
    EXPECT_EQ(ReadBytes(program / "down/aria2.conf"), "#enable-rpc=true\n#rpc-listen-port=58012\n#input-file=d.lst\n"
                                                      "#dir=.\ncontinue=true\n#auto-file-renaming=false\n"
                                                      "file-allocation=none\nauto-save-interval=5\n");
    EXPECT_EQ(form->Texts("post"), (std::vector<std::string>{std::to_string(MSG_CLEAR_CACHE)}));
}

TEST_F(InstallTest, AFileServedWrongOnceIsFetchedAgain) {
    service->SetKnobs(
        {{"paths", {{"/files/client/Data/common.MPQ", {{"times", 1}, {"body", std::string(70'000, 'x')}}}}}});
    RunWorker();
    ExpectInstalled();
    EXPECT_EQ(GetsOf("/files/client/Data/common.MPQ"), 2u);
    auto s = Statuses();
    EXPECT_EQ(std::count(s.begin(), s.end(), std::string(kDownload)), 2) << "two passes";
}

TEST_F(InstallTest, ADownloaderSlowToListenIsWaitedFor) {
    // As on a busy machine, aria2c opens its RPC port only after the first poll: the pass goes on
    // rather than ending, and no file check runs while aria2c is still writing.
    WriteBytes(program / "aria2c", "#!/bin/sh\nsleep 1.5\nexec \"" + platform::FindOnPath("aria2c") + "\" \"$@\"\n");
    ::chmod((program / "aria2c").c_str(), 0755);
    RunWorker();
    ExpectInstalled();
    auto s = Statuses();
    EXPECT_EQ(std::count(s.begin(), s.end(), std::string(kDownload)), 1) << "one pass";
}

TEST_F(InstallTest, AnInterruptedPassIsContinuedByTheNext) {
    // The big file stalls in the first pass; the downloader is stopped meanwhile, as at the
    // launcher's end. The check must leave the part that arrived for the next pass to continue.
    service->SetKnobs({{"paths",
                        {{"/files/client/Data/zhCN/locale-zhCN.MPQ",
                          {{"times", 1}, {"stall_after", 2'000'000}, {"stall_ms", 20'000}}}}}});
    std::thread stopper([&] {
        WaitUntil([&] { return PartArrived(); }, std::chrono::seconds(30));
        StopOurAria2Processes(program / "down");
    });
    RunWorker();
    stopper.join();
    ExpectInstalled();
    EXPECT_GE(ResumedFrom("/files/client/Data/zhCN/locale-zhCN.MPQ"), kPiece);
}

TEST_F(InstallTest, AKilledLauncherIsContinuedAtTheNextStart) {
    // The first start runs in a process of its own and is killed while the big file stalls; its
    // aria2c saves what arrived once it notices. The next start follows at once, with the same list.
    service->SetKnobs({{"paths",
                        {{"/files/client/Data/zhCN/locale-zhCN.MPQ",
                          {{"times", 1}, {"stall_after", 2'000'000}, {"stall_ms", 20'000}}}}}});
    const pid_t first = ::fork();
    if (first == 0) {
        Recorder quiet;
        (new TDownSpy(quiet, Temp(), program / "down/", program.Path()))->Resume();
        std::this_thread::sleep_for(std::chrono::seconds(60));
        ::_exit(0);
    }
    ASSERT_TRUE(WaitUntil([&] { return PartArrived(); }, std::chrono::seconds(30)));
    ::kill(first, SIGKILL);
    ::waitpid(first, nullptr, 0);
    const std::string list = ReadBytes(program / "down/d.lst");
    RunWorker();
    ExpectInstalled();
    EXPECT_EQ(ReadBytes(program / "down/d.lst"), list);
    EXPECT_GE(ResumedFrom("/files/client/Data/zhCN/locale-zhCN.MPQ"), kPiece);
}

TEST_F(InstallTest, ADeploymentCutShortIsFinishedAtTheNextStart) {
    // A launcher killed while it moved the checked client: part is in place, the rest and the
    // game's program still wait below down/. The next start moves them; nothing is fetched again.
    for (const auto& f : ClientFiles()) {
        const fs::path to = f == "wow.exe"               ? fs::path(program / "down/wow.exe.deploying")
                            : f.starts_with("Interface") ? fs::path(program / f)
                                                         : fs::path(program / "down/wow") / f;
        fs::create_directories(to.parent_path());
        fs::copy_file(root / ("client/" + f), to);
    }
    RunWorker();
    ExpectInstalled();
    for (const auto& r : service->Requests())
        EXPECT_EQ(r["target"].get<std::string>().find("/files/client/"), std::string::npos) << r["target"];
    EXPECT_THAT(Actions(), ::testing::Not(::testing::Contains(::testing::HasSubstr("getWowFiles"))));
    EXPECT_FALSE(Exists(program / "down/wow.exe.deploying"));
}

TEST_F(InstallTest, AnEarlierRunsDownloaderGivesWay) {
    // An aria2c left in the download folder (by a launcher killed a moment ago) holds the port.
    fs::create_directories(program / "down");
    platform::ChildProcess stray = platform::SpawnHeld(
        platform::FindOnPath("aria2c"), {"--enable-rpc=true", "--rpc-listen-port=58012", "--rpc-listen-all=false"},
        program / "down");
    ASSERT_TRUE(WaitUntil([] { return PortBusy(58012); }, std::chrono::seconds(10)));
    RunWorker();
    ExpectInstalled();
    EXPECT_TRUE(stray.WaitEnded(std::chrono::seconds(10)));
}

TEST_F(InstallTest, APortHeldByAnotherProgramIsSaid) {
    // Another program holds the port's IPv4 side and refuses our secret; our aria2c then listens
    // on IPv6 alone and would download on unwatched.
    int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(58012);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    ::setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
    ASSERT_EQ(::listen(holder, 16), 0);
    std::thread refuser([holder] {
        const std::string body = R"({"id":"1","jsonrpc":"2.0","error":{"code":1,"message":"Unauthorized"}})";
        const std::string reply = "HTTP/1.1 400 Bad Request\r\nContent-Type: application/json\r\nContent-Length: " +
                                  std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        for (int fd; (fd = ::accept(holder, nullptr, nullptr)) >= 0;) {
            char buffer[4096];
            (void)::recv(fd, buffer, sizeof buffer, 0);
            (void)::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::close(fd);
        }
    });
    service->SetKnobs(
        {{"paths", {{"/files/client/Data/zhCN/locale-zhCN.MPQ", {{"stall_after", 1'000'000}, {"stall_ms", 3'000}}}}}});
    RunWorker();
    ::shutdown(holder, SHUT_RDWR);
    ::close(holder);
    refuser.join();
    auto s = Statuses();
    EXPECT_EQ(s.back(), kFailPortTaken);
    EXPECT_FALSE(Exists(program / "wow.exe")) << "nothing is deployed";
    for (const auto& p : platform::ListProcesses())
        EXPECT_FALSE(p.exeName == "aria2c" && p.workFolder.starts_with(program / "down"))
            << "our aria2c was left downloading unwatched";
}

TEST_F(InstallTest, AFileChangedAfterItFinishedIsDigestedAgain) {
    // The big file holds the pass open; the small one finishes at once, is learnt and digested
    // while the pass goes on, and is then spoilt (same size) before the pass ends.
    service->SetKnobs({{"paths",
                        {{"/files/client/Data/zhCN/locale-zhCN.MPQ",
                          {{"times", 1}, {"stall_after", 1'000'000}, {"stall_ms", 8'000}}}}}});
    const std::string early = program / "down/wow/Data/common.MPQ";
    std::thread spoiler([&] {
        for (int i = 0; i < 1500 && !(Exists(early) && fs::file_size(early) == 70'000 && !Exists(early + ".aria2"));
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::milliseconds(3'000)); // two polls, and its digest
        WriteBytes(early, std::string(70'000, 'x'));
    });
    RunWorker();
    spoiler.join();
    ExpectInstalled();
    auto s = Statuses();
    EXPECT_EQ(std::count(s.begin(), s.end(), std::string(kDownload)), 2) << "found wrong, fetched again";
}

TEST_F(InstallTest, BoundedPassesForAFileThatCannotBeHad) {
    service->SetKnobs({{"paths", {{"/files/client/Data/common.MPQ", {{"status", 404}}}}}});
    RunWorker();
    auto s = Statuses();
    EXPECT_EQ(std::count(s.begin(), s.end(), std::string(kDownload)), kMaxDownloadPasses);
    EXPECT_THAT(s.back(), ::testing::HasSubstr("1 个文件未能通过校验"));
    EXPECT_FALSE(Exists(program / "wow.exe")) << "nothing is deployed";
    EXPECT_EQ(form->Count("post"), 0u) << "no patch step without a client";
}

TEST_F(InstallTest, AFullDiskIsSaid) {
    // A small file system of its own under the client folder, in a mount namespace of this test
    // program's own (aria2c inherits it), so nothing outside sees the mount.
    fs::create_directories(program / "down/wow");
    if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tarnwick-full", (program / "down/wow").c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "no private mount here: " << std::strerror(errno);
    RunWorker();
    EndOurAria2Processes(program / "down");
    ::umount((program / "down/wow").c_str());
    auto s = Statuses();
    EXPECT_EQ(s.back(), kFailDiskFull);
    EXPECT_EQ(std::count(s.begin(), s.end(), std::string(kDownload)), 1) << "another pass would meet the same disk";
    EXPECT_FALSE(Exists(program / "wow.exe")) << "nothing is deployed";
}

TEST_F(InstallTest, AMissingDownloaderIsReported) {
    TempFolder emptyPath;
    const std::string savedPath = std::getenv("PATH");
    ::setenv("PATH", emptyPath.Path().c_str(), 1);
    RunWorker();
    ::setenv("PATH", savedPath.c_str(), 1);
    auto s = Statuses();
    EXPECT_EQ(std::count(s.begin(), s.end(), std::string(kDownload)), kMaxDownloadPasses);
    EXPECT_THAT(s.back(), ::testing::HasSubstr("aria2c"));
}

TEST_F(InstallTest, ListShapes) {
    struct Case {
        const char* name;
        json answer;
        bool installs;
        bool badAnswer = false; // refused before anything is fetched
    };
    auto entry = [&](const std::string& file, const std::string& filename) {
        return json{{"url", service->Url("/files/client/" + file)},
                    {"filename", filename},
                    {"MD5", " " + Md5Hex(FileMd5(root / ("client/" + file))) + "\t"}};
    };
    TempFolder elsewhere;
    auto unsafeUrl = [&](const std::string& tail) {
        json e = entry("Data/common.MPQ", "escape.MPQ");
        e["url"] = e["url"].get<std::string>() + tail;
        return e;
    };
    auto withUrl = [&](const std::string& url) {
        json e = entry("Data/common.MPQ", "escape.MPQ");
        e["url"] = url;
        return e;
    };
    const std::vector<Case> cases = {
        {"count 0, empty list", {{"count", 0}, {"downlist", json::array()}}, false, true},
        {"no wow.exe in the list",
         {{"count", 1}, {"downlist", {entry("Data/common.MPQ", "Data/common.MPQ")}}},
         false,
         true},
        {"count as text, backslashes",
         {{"count", "2"}, {"downlist", {entry("wow.exe", "wow.exe"), entry("Data/common.MPQ", "Data\\common.MPQ")}}},
         true},
        {"count larger than the list", {{"count", 5}, {"downlist", {entry("wow.exe", "wow.exe")}}}, true},
        {"names and URLs that are no plain file below the folder",
         {{"count", 2},
          {"downlist",
           {entry("wow.exe", "wow.exe"), entry("Data/common.MPQ", "../escape.MPQ"),
            entry("Data/common.MPQ", "a.MPQ\r\n dir=" + elsewhere.Path()),
            entry("Data/common.MPQ", std::string("a\0.MPQ", 6)), entry("Data/common.MPQ", "a\t.MPQ"),
            entry("Data/common.MPQ", "a\x7f.MPQ"), unsafeUrl("\n dir=" + elsewhere.Path()),
            unsafeUrl("\thttp://127.0.0.2/x"), unsafeUrl("\r\n out=../escape.MPQ"), withUrl("ftp://127.0.0.1/x"),
            withUrl("file:///etc/passwd"), withUrl("data:text/plain,escape")}}},
         false},
    };
    for (const auto& c : cases) {
        form = std::make_unique<Recorder>();
        fs::remove_all(program.Path());
        fs::create_directories(program.Path());
        service->SetKnobs({{"actions", {{"getWowFiles", {{"body", c.answer.dump()}}}}}});
        for (int i = 0; i < 500 && PortBusy(58012); ++i) // the previous case's aria2c is on its way out
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        RunWorker();
        EXPECT_EQ(Exists(program / "wow.exe"), c.installs) << c.name;
        if (c.installs) {
            EXPECT_EQ(ReadBytes(program / "wow.exe"), ReadBytes(root / "client/wow.exe")) << c.name;
        }
        EXPECT_FALSE(Exists(program / "down/escape.MPQ")) << c.name;
        EXPECT_FALSE(Exists(program / "escape.MPQ")) << c.name;
        EXPECT_EQ(Statuses().back() == kFailBadAnswer, c.badAnswer) << c.name;
        EXPECT_EQ(Exists(program / "down/d.lst"), !c.badAnswer) << c.name;
    }
    EXPECT_EQ(ReadBytes(program / "down/d.lst"), service->Url("/files/client/wow.exe") + "\r\n out=wow/wow.exe\r\n")
        << "only the fetchable entry reached aria2c";
    EXPECT_FALSE(Exists(program / "down/wow/escape.MPQ"));
    EXPECT_TRUE(fs::is_empty(elsewhere.Path()));
}

namespace {

// The local addresses on which something listens on `port` (hexadecimal as /proc shows them).
std::vector<std::string> ListeningAddresses(int port) {
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, ":%04X", port);
    std::vector<std::string> out;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream in(ReadBytes(table));
        std::string line;
        std::getline(in, line); // the heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (state == "0A" && local.ends_with(suffix))
                out.push_back(local.substr(0, local.size() - 5));
        }
    }
    return out;
}

// The sockets that the aria2c processes working in `folder` hold: "tcp:PORT" for each listening
// TCP socket, "udp:PORT" for every UDP one.
std::set<std::string> Aria2Sockets(const std::string& folder) {
    std::set<std::string> inodes;
    for (const auto& p : platform::ListProcesses()) {
        if (p.exeName.find("aria2c") == std::string::npos || p.workFolder != folder)
            continue;
        std::error_code ec;
        for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(p.pid) + "/fd", ec)) {
            const std::string target = fs::read_symlink(fd.path(), ec).string();
            if (target.starts_with("socket:["))
                inodes.insert(target.substr(8, target.size() - 9));
        }
    }
    std::set<std::string> out;
    for (const char* table : {"tcp", "tcp6", "udp", "udp6"}) {
        std::istringstream in(ReadBytes(std::string("/proc/net/") + table));
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string f[10];
            for (auto& field : f)
                fields >> field;
            const bool tcp = table[0] == 't';
            if (inodes.count(f[9]) && (!tcp || f[3] == "0A"))
                out.insert(std::string(tcp ? "tcp:" : "udp:") +
                           std::to_string(std::stoi(f[1].substr(f[1].rfind(':') + 1), nullptr, 16)));
        }
    }
    return out;
}

// Every file below `folder`, as relative paths with '/'.
std::set<std::string> FilesBelow(const std::string& folder) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (!e.is_directory())
            out.insert(fs::relative(e.path(), folder).generic_string());
    return out;
}

} // namespace

TEST_F(InstallTest, MetalinkAndTorrentAnswersAreNeverFollowed) {
    // A server answers one listed file with a metalink that names files of the program's own and
    // ways out of the folder, another with a torrent (with a tracker and DHT, BitTorrent would
    // listen on every address). aria2c takes both as the bytes they are: the check finds them
    // wrong and the next pass fetches the real files.
    TempFolder elsewhere;
    const std::string planted = service->Url("/files/client/wow.exe");
    // aria2c refuses a whole metalink that names a way out, so the program's own files come in one
    // document and the ways out in another.
    auto metalink = [&](const std::vector<std::string>& names) {
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><metalink xmlns=\"urn:ietf:params:xml:ns:metalink\">";
        for (const auto& name : names)
            xml += "<file name=\"" + name + "\"><url>" + planted + "</url></file>";
        return xml + "</metalink>";
    };
    const std::string torrent = "d8:announce27:http://127.0.0.1:9/announce4:infod6:lengthi16384e4:name11:planted.bin"
                                "12:piece lengthi16384e6:pieces20:" +
                                std::string(20, 'a') + "ee";
    const std::string kMetalink = "application/metalink4+xml";
    service->SetKnobs(
        {{"paths",
          {{"/files/client/Data/common.MPQ",
            {{"times", 1},
             {"body", metalink({"wow/7z.so", "launcherui/index.html", "addon-install.journal", "wow/Data/x.dll"})},
             {"type", kMetalink}}},
           {"/files/client/Interface/AddOns/Blizzard/x.toc",
            {{"times", 1},
             {"body", metalink({"../../victim.txt", "../wow.exe", elsewhere.Path() + "abs.txt"})},
             {"type", kMetalink}}},
           {"/files/client/wow.exe", {{"times", 1}, {"body", torrent}, {"type", "application/x-bittorrent"}}},
           // A slow file keeps the first pass going while the sockets are looked at.
           {"/files/client/Data/zhCN/locale-zhCN.MPQ", {{"times", 1}, {"rate", 800'000}}}}}});
    // Planted by an earlier run: never deployed.
    WriteBytes(program / "down/wow/7z.so", "planted");
    WriteBytes(program / "down/wow/launcherui/index.html", "planted");
    std::atomic<bool> running{true};
    std::set<std::string> sockets;
    std::thread watcher([&] {
        const std::string down = program / "down";
        while (running) {
            for (const auto& s : Aria2Sockets(down))
                sockets.insert(s);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    RunWorker();
    running = false;
    watcher.join();

    ExpectInstalled();
    std::set<std::string> files = FilesBelow(program.Path());
    const std::set<std::string> expected = {"wow.exe",         "Data/zhCN/locale-zhCN.MPQ", "Data/common.MPQ",
                                            "Interface/AddOns/Blizzard/x.toc", "down/d.lst", "down/aria2.conf",
                                            "down/aria2-run.conf"};
    EXPECT_EQ(files, expected);
    EXPECT_TRUE(fs::is_empty(elsewhere.Path()));
    EXPECT_FALSE(Exists(fs::path(program.Path()).parent_path().parent_path() / "victim.txt"));
    EXPECT_EQ(sockets, (std::set<std::string>{"tcp:58012"})) << "nothing but the RPC port";
}

TEST_F(InstallTest, TheServicesConfigurationRunsNoProgramAndMovesNothing) {
    TempFolder elsewhere;
    WriteBytes(elsewhere / "hook.sh", "#!/bin/sh\ntouch '" + elsewhere.Path() + "hook-ran'\n");
    ::chmod((elsewhere / "hook.sh").c_str(), 0755);
    WriteBytes(elsewhere / "list", service->Url("/files/client/wow.exe") + "\n out=stolen.bin\n");
    const std::string hook = elsewhere / "hook.sh";
    WriteBytes(root / "aria2.conf", "enable-rpc=false\nrpc-listen-port=58013\ninput-file=" + elsewhere.Path() +
                                        "list\r\ndir=" + elsewhere.Path() +
                                        "\ncontinue=true\nauto-file-renaming=false\nfile-allocation=none\n"
                                        "on-download-start=" +
                                        hook + "\non-download-complete=" + hook + "\nOn-Download-Stop=" + hook +
                                        "\n on-download-error =" + hook + "\nsave-session=" + elsewhere.Path() +
                                        "session\nsave-session-interval=1\n"
                                        "log=" +
                                        elsewhere.Path() +
                                        "log\nrpc-listen-all=true\n"
                                        "rpc-allow-origin-all=true\ndaemon=true\n");
    // Whoever listens on the downloader's port while the worker runs, and where.
    std::atomic<bool> running{true};
    std::set<std::string> addresses;
    std::thread watcher([&] {
        while (running) {
            for (const auto& a : ListeningAddresses(58012))
                addresses.insert(a);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    RunWorker();
    running = false;
    watcher.join();

    ExpectInstalled();
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(elsewhere.Path()))
        left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"hook.sh", "list"})) << "no hook ran, no file was written there";
    EXPECT_EQ(addresses, (std::set<std::string>{"0100007F", "00000000000000000000000001000000"}))
        << "the RPC port is open on the loopback addresses only";
}

TEST_F(InstallTest, ChineseFileNamesLandUnderTheirOwnNames) {
    // The game's code page is GBK here; the downloader's list must still name files as this
    // system does.
    WriteBytes(root / "client/Fonts/方正字体.ttf", "font");
    {
        ScopedEnv zh("LC_ALL", "zh_CN.UTF-8");
        RunWorker();
    }
    ExpectInstalled();
    EXPECT_EQ(ReadBytes(program / "Fonts/方正字体.ttf"), "font");
    EXPECT_THAT(ReadBytes(program / "down/d.lst"), ::testing::HasSubstr(" out=wow/Fonts/方正字体.ttf\r\n"));
}
