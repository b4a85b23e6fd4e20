// The update worker on a full disk: a small file system of its own over the temporary folder, in a
// mount namespace of this test program's own, so nothing outside it sees the mount (Linux).
#include "worker_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <sched.h>
#include <sys/mount.h>

using namespace tw;
using namespace tw::test;

using WorkerTest = WorkerFixture;

// A size the list names is checked against the free space before a byte is fetched, and the
// player learns how much is missing; without one the write fails when the disk is full.
TEST_F(WorkerTest, AFullDiskIsNamed) {
    std::filesystem::create_directories(Temp());
    if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tarnwick-full", Temp().c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "no private mount here: " << std::strerror(errno);
    WritePatternFile(root / "update/big.bin", (2048 + 64) * 1024 + 1);
    json update = Update();
    update["file"] = "update/big.bin";
    update["filename"] = "big.bin";
    Settings({{"update", update}});
    const json unsized = {{"url", service->Url("/files/update/big.bin")},
                          {"filename", "big.bin"},
                          {"version", "9.0.0.0"},
                          {"MD5", Md5Hex(FileMd5(root / "update/big.bin"))}};
    const struct {
        const char* name;
        json knobs;
        std::string status;
        bool fetched;
    } rows[] = {
        // 64 KiB more than 2 MiB and a byte, of which the 64 KiB file system holds at most 64 KiB.
        {"size listed", json::object(), "磁盘空间不足，还需要 3 MB 可用空间，请清理磁盘后重新启动登录器", false},
        {"no size", {{"actions", {{"getupdate", {{"body", unsized.dump()}}}}}}, kFailDiskFull, true},
    };
    for (const auto& row : rows) {
        form = std::make_unique<Recorder>();
        service->SetKnobs(row.knobs);
        const std::size_t before = Actions().size();
        RunWorker();
        EXPECT_EQ(Statuses().back(), row.status) << row.name;
        const auto actions = Actions();
        const bool fetched = std::any_of(actions.begin() + static_cast<std::ptrdiff_t>(before), actions.end(),
                                         [](const std::string& a) { return a == "GET /files/update/big.bin"; });
        EXPECT_EQ(fetched, row.fetched) << row.name;
        EXPECT_TRUE(std::filesystem::is_empty(Temp())) << row.name << ": nothing of the download is left";
    }
    ::umount(Temp().c_str());
}

class ClientDiskTest : public WorkerFixture {
protected:
    ClientDiskTest() { withClient = false; }
};

// The client's listed sizes, less what the download folder holds of them already, are checked
// before aria2c is started.
TEST_F(ClientDiskTest, NoRoomForTheClientIsNamedBeforeItIsFetched) {
    const std::string down = program / "down";
    std::filesystem::create_directories(down);
    if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tarnwick-full", down.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "no private mount here: " << std::strerror(errno);
    WritePatternFile(root / "client/wow.exe", (2048 + 64) * 1024 + 1);
    WritePatternFile(root / "client/Data/common.MPQ", 1024 * 1024);
    RunWorker();
    ::umount(down.c_str());
    EXPECT_EQ(Statuses().back(), "磁盘空间不足，还需要 4 MB 可用空间，请清理磁盘后重新启动登录器");
    for (const auto& a : Actions())
        EXPECT_EQ(a.find("aria2.conf"), std::string::npos) << "stopped before the downloader was set up";
}
