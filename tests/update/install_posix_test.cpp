// Installing the game client through the real aria2c: what needs Linux to arrange (a shell script
// as the downloader, fork, raw sockets, /proc).
#include "install_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace tw;
using namespace tw::test;
namespace fs = std::filesystem;

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

