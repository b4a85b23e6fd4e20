// The update worker on a full disk: a small file system of its own over the temporary folder, in a
// mount namespace of this test program's own, so nothing outside it sees the mount (Linux).
#include "worker_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <sched.h>
#include <sys/mount.h>

using namespace tw;
using namespace tw::test;

using WorkerTest = WorkerFixture;

TEST_F(WorkerTest, AFullDiskIsNamed) {
    std::filesystem::create_directories(Temp());
    if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tarnwick-full", Temp().c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "no private mount here: " << std::strerror(errno);
    WritePatternFile(root / "update/big.bin", 512 * 1024);
    json update = Update();
    update["file"] = "update/big.bin";
    update["filename"] = "big.bin";
    Settings({{"update", update}});
    RunWorker();
    ::umount(Temp().c_str());
    EXPECT_EQ(Statuses().back(), kFailDiskFull);
}
