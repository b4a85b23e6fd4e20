// MoveFiles: merging folders, replacing files, wildcards, links, and moves across file systems.
#include "update/downSpy.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <sys/stat.h>

using namespace tw;
using namespace tw::test;

namespace {

// A folder on another file system than the temporary folder, when the machine has one.
std::string OtherFileSystemFolder() {
    struct stat tmp {
    }, shm{};
    if (::stat(TempFolder().Path().c_str(), &tmp) != 0 || ::stat("/dev/shm", &shm) != 0 || tmp.st_dev == shm.st_dev)
        return {};
    for (unsigned n = std::random_device()() % 1000000u, tries = 0; tries < 100; ++n, ++tries) {
        const std::string folder = "/dev/shm/tarnwick-move-" + std::to_string(n);
        if (std::filesystem::create_directory(folder))
            return folder + "/";
    }
    return {};
}

} // namespace

TEST(MoveFiles, WildcardMergesFoldersAndReplacesFiles) {
    TempFolder dir;
    WriteBytes(dir / "down/wow/wow.exe", "new exe");
    WriteBytes(dir / "down/wow/Data/zhCN/a.MPQ", "new a");
    WriteBytes(dir / "down/wow/Data/b.MPQ", "b");
    WriteBytes(dir / "down/wow/noext", "plain");
    WriteBytes(dir / "game/wow.exe", "old exe");
    WriteBytes(dir / "game/Data/zhCN/a.MPQ", "old a");
    WriteBytes(dir / "game/Data/zhCN/keep.txt", "kept");

    EXPECT_TRUE(MoveFiles(dir / "down/wow/*.*", dir / "game/"));
    EXPECT_EQ(ReadBytes(dir / "game/wow.exe"), "new exe");
    EXPECT_EQ(ReadBytes(dir / "game/Data/zhCN/a.MPQ"), "new a");
    EXPECT_EQ(ReadBytes(dir / "game/Data/b.MPQ"), "b");
    EXPECT_EQ(ReadBytes(dir / "game/Data/zhCN/keep.txt"), "kept");
    EXPECT_EQ(ReadBytes(dir / "game/noext"), "plain") << "*.* matches names without a dot too";
    EXPECT_TRUE(std::filesystem::is_empty(dir / "down/wow")) << "wow/ itself stays, empty";

    // One file to a full target path whose folder is missing.
    WriteBytes(dir / "down/temp/patch-a.MPQ", "patch");
    EXPECT_TRUE(MoveFiles(dir / "down/temp/patch-a.MPQ", dir / "game/Data/new/patch-a.MPQ"));
    EXPECT_EQ(ReadBytes(dir / "game/Data/new/patch-a.MPQ"), "patch");
    EXPECT_FALSE(Exists(dir / "down/temp/patch-a.MPQ"));

    EXPECT_FALSE(MoveFiles(dir / "down/temp/missing", dir / "game/x")) << "nothing to move";
    WriteBytes(dir / "down/temp/f", "f");
    EXPECT_FALSE(MoveFiles(dir / "down/temp/f", dir / "game/Data/zhCN/keep.txt/deeper"));
    EXPECT_EQ(ReadBytes(dir / "down/temp/f"), "f") << "a failed move keeps its source";
}

TEST(MoveFiles, LinksMoveAsLinks) {
    TempFolder dir;
    WriteBytes(dir / "outside/secret.txt", "do not move me");
    WriteBytes(dir / "src/a.txt", "a");
    std::filesystem::create_directory_symlink(dir / "outside", dir / "src/link");
    EXPECT_TRUE(MoveFiles(dir / "src/*", dir / "dst"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "dst/link"));
    EXPECT_EQ(ReadBytes(dir / "outside/secret.txt"), "do not move me");
}

TEST(MoveFiles, AcrossFileSystems) {
    const std::string other = OtherFileSystemFolder();
    if (other.empty())
        GTEST_SKIP() << "no second file system here";
    TempFolder dir;
    WriteBytes(other + "wow/Data/a.MPQ", "a across");
    WritePatternFile(other + "wow/big.MPQ", 3 << 20);
    WriteBytes(dir / "game/Data/a.MPQ", "old");
    const std::string bigDigest = ToolMd5(other + "wow/big.MPQ");
    EXPECT_TRUE(MoveFiles(other + "wow/*.*", dir / "game/"));
    EXPECT_EQ(ReadBytes(dir / "game/Data/a.MPQ"), "a across");
    EXPECT_EQ(ToolMd5(dir / "game/big.MPQ"), bigDigest);
    EXPECT_FALSE(Exists(other + "wow/Data"));
    EXPECT_FALSE(Exists(other + "wow/big.MPQ"));
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir / "game"))
        EXPECT_EQ(e.path().filename().string().find(".moving-"), std::string::npos) << "no half-copied leftovers";

    // A whole folder onto a missing target: recreated on this side.
    WriteBytes(other + "solo/x/y.txt", "y");
    EXPECT_TRUE(MoveFiles(other + "solo", dir / "moved"));
    EXPECT_EQ(ReadBytes(dir / "moved/x/y.txt"), "y");
    std::filesystem::remove_all(other);
}
