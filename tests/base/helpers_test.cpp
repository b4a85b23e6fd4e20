#include "base/helpers.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace tw;
using tw::test::Exists;
using tw::test::ReadBytes;
using tw::test::TempFolder;
using tw::test::WriteBytes;
namespace fs = std::filesystem;

namespace {

bool WaitFor(const std::function<bool()>& predicate) { return tw::test::WaitUntil(predicate, std::chrono::seconds(5)); }

// A program that writes its arguments, one per line, to the file named by RECORD.
std::string MakeRecorder(const std::string& path, const std::string& record) {
    WriteBytes(path, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + record + ".part'\nmv '" + record +
                         ".part' '" + record + "'\n");
    ::chmod(path.c_str(), 0755);
    return path;
}

} // namespace

TEST(PathParts, SplitAtTheLastSlashBackslashOrColon) {
    struct Case {
        const char* path;
        const char* folder;
        const char* file;
    } cases[] = {
        {"C:\\Games\\wow\\wow.exe", "C:\\Games\\wow\\", "wow.exe"},
        {"/opt/game/Data/zhCN/patch.MPQ", "/opt/game/Data/zhCN/", "patch.MPQ"},
        {"Data/zhCN\\mixed.MPQ", "Data/zhCN\\", "mixed.MPQ"},
        {"C:file.txt", "C:", "file.txt"},
        {"bare.txt", "", "bare.txt"},
        {"folder/", "folder/", ""},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FolderPart(c.path), c.folder) << c.path;
        EXPECT_EQ(FilePart(c.path), c.file) << c.path;
    }
    EXPECT_EQ(ToBackslashes("Data/zhCN/a.MPQ"), "Data\\zhCN\\a.MPQ");
    EXPECT_EQ(ToBackslashes("a\\b:c"), "a\\b:c");
    EXPECT_EQ(ToNativeSeparators("Interface\\AddOns/x.lua"), "Interface/AddOns/x.lua");
}

TEST(ProgramFolderAndVersion, FolderOfTheRunningExecutableWithTrailingSeparator) {
    std::string folder = ProgramFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), '/');
    std::string self = platform::ExecutablePath();
    EXPECT_EQ(folder + FilePart(self), self);
    EXPECT_TRUE(platform::FolderExists(folder));

    EXPECT_EQ(FileVersionText(self), "2.0.10.219");
    // The same file reached through a link is still the running executable.
    TempFolder dir;
    fs::create_symlink(self, dir / "alias");
    EXPECT_EQ(FileVersionText(dir / "alias"), "2.0.10.219");
    WriteBytes(dir / "other.exe", "MZ not ours");
    EXPECT_EQ(FileVersionText(dir / "other.exe"), "0.0.0.0");
    EXPECT_EQ(FileVersionText(dir / "missing.exe"), "0.0.0.0");
    EXPECT_EQ(FileVersionText(""), "0.0.0.0");
}

TEST(EnsureFolder, CreatesMissingLevelsAndRefusesWhatItCannotPlace) {
    TempFolder dir;
    EXPECT_FALSE(EnsureFolder(""));
    EXPECT_FALSE(EnsureFolder("bare-name"));
    EXPECT_FALSE(Exists("bare-name"));

    EXPECT_TRUE(EnsureFolder(dir.Path()));
    std::string deep = dir / "a/b/c/";
    EXPECT_TRUE(EnsureFolder(deep));
    EXPECT_TRUE(platform::FolderExists(dir / "a/b/c"));
    EXPECT_TRUE(EnsureFolder(dir / "a/b/c")) << "an existing folder, without trailing separator";

    // A link to a folder counts as the folder.
    fs::create_directory_symlink(dir / "a", dir / "link");
    EXPECT_TRUE(EnsureFolder(dir / "link/"));

    // A file in the way: neither it nor anything below it can become a folder.
    WriteBytes(dir / "file", "x");
    EXPECT_FALSE(EnsureFolder(dir / "file/sub/"));
    EXPECT_EQ(ReadBytes(dir / "file"), "x");
}

TEST(RemoveFolderTree, RemovesHiddenReadOnlyAndNestedEntriesButNeverLeavesTheTree) {
    TempFolder dir;
    EXPECT_TRUE(RemoveFolderTree(dir / "missing"));

    std::string tree = dir / "Cache/";
    WriteBytes(tree + "plain.wdb", "1");
    WriteBytes(tree + ".hidden", "2");
    WriteBytes(tree + "deep/er/still.wdb", "3");
    WriteBytes(tree + "ro/locked.wdb", "4");
    ::chmod((tree + "ro/locked.wdb").c_str(), 0444);
    ::chmod((tree + "ro").c_str(), 0555);
    ::chmod((tree + "deep/er/still.wdb").c_str(), 0);

    // Links inside the tree to things outside it: only the links go.
    WriteBytes(dir / "outside/keep.txt", "keep");
    fs::create_directory_symlink(dir / "outside", tree + "to-outside");
    fs::create_symlink(dir / "outside/keep.txt", tree + "to-file");
    fs::create_symlink(dir / "nowhere", tree + "dangling");

    EXPECT_TRUE(RemoveFolderTree(tree));
    EXPECT_FALSE(Exists(tree));
    EXPECT_EQ(ReadBytes(dir / "outside/keep.txt"), "keep");

    // The folder named by a link: the link is removed, the folder it points to survives.
    fs::create_directory_symlink(dir / "outside", dir / "Fonts");
    EXPECT_TRUE(RemoveFolderTree(dir / "Fonts"));
    EXPECT_FALSE(Exists(dir / "Fonts"));
    EXPECT_EQ(ReadBytes(dir / "outside/keep.txt"), "keep");

    // Blanks around the path are trimmed.
    WriteBytes(dir / "padded/x", "x");
    EXPECT_TRUE(RemoveFolderTree("  " + dir / "padded" + "  "));
    EXPECT_FALSE(Exists(dir / "padded"));
}

TEST(StartProgram, RunsTheFirstTokenResolvedAsWindowsDoesAndCutsLongLines) {
    TempFolder dir;
    const std::string record = dir / "argv.txt";
    std::string game = MakeRecorder(dir / "my game/wow.exe", record);

    // Unquoted path with a blank: "…/my" is no file, "…/my game/wow.exe" is.
    ASSERT_TRUE(StartProgram(game, kShowNormal));
    ASSERT_TRUE(WaitFor([&] { return Exists(record); }));
    EXPECT_EQ(ReadBytes(record), "");
    fs::remove(record);

    ASSERT_TRUE(StartProgram("\"" + game + "\" -console \"two words\" a\\\"b", kShowNormal));
    ASSERT_TRUE(WaitFor([&] { return Exists(record); }));
    EXPECT_EQ(ReadBytes(record), "-console\ntwo words\na\"b\n");
    fs::remove(record);

    // 600 characters: only the first 512 reach the program.
    std::string line = game + " ";
    std::string arg(600 - line.size(), 'x');
    ASSERT_TRUE(StartProgram(line + arg, kShowNormal));
    ASSERT_TRUE(WaitFor([&] { return Exists(record); }));
    EXPECT_EQ(ReadBytes(record), std::string(kCommandLineLimit - line.size(), 'x') + "\n");

    EXPECT_FALSE(StartProgram(dir / "no such program.exe", kShowNormal));
    EXPECT_FALSE(StartProgram("", kShowNormal));
    EXPECT_FALSE(StartProgram("   ", kShowNormal));
}

TEST(EndProcessesNamed, EndsMatchingProcessesWhateverTheCaseAndSparesOthers) {
    TempFolder dir;
    std::string sleepBin = platform::FindOnPath("sleep");
    ASSERT_FALSE(sleepBin.empty());
    fs::copy_file(sleepBin, dir / "Aria2C-Fake");
    fs::copy_file(sleepBin, dir / "bystander");
    ::chmod((dir / "Aria2C-Fake").c_str(), 0755);
    ::chmod((dir / "bystander").c_str(), 0755);

    auto target = platform::SpawnDetached(dir / "Aria2C-Fake", {"30"});
    auto other = platform::SpawnDetached(dir / "bystander", {"30"});
    ASSERT_GT(target, 0);
    ASSERT_GT(other, 0);
    ASSERT_TRUE(WaitFor([&] {
        for (const auto& p : platform::ListProcesses())
            if (p.pid == target && p.exeName == "Aria2C-Fake")
                return true;
        return false;
    }));

    EndProcessesNamed("ARIA2C");
    EXPECT_TRUE(WaitFor([&] { return !platform::ProcessAlive(target); }));
    EXPECT_TRUE(platform::ProcessAlive(other));
    platform::TerminateProcess(other);
    EXPECT_TRUE(WaitFor([&] { return !platform::ProcessAlive(other); }));
}

#include "base/safePath.h"

TEST(SafePath, OnlyPathsThatStayInsideTheirFolder) {
    for (const char* ok : {"wow.exe", "Data/zhCN/a.MPQ", "Data\\zhCN\\a.MPQ", "a/./b", "..a/b..c", "插件/文件.lua",
                           "CONSOLE.lua", "com10", "lpt0.txt", "nul_x/a", "a .b"})
        EXPECT_TRUE(IsContainedRelativePath(ok)) << ok;
    // Names that Windows refuses or reads as another file count as leaving the folder.
    for (const char* bad : {"", "/etc/passwd", "\\Windows\\x", "C:/x", "C:x", "../x", "a/../../x", "a\\..\\x", "a/..",
                            "..", ".", "folder/", "a:b", "Data/a.MPQ:stream", "CON", "nul.txt", "Data/Com1.MPQ",
                            "LPT9", "aux /x", "a./b", "Data/x.MPQ.", "Data/x.MPQ ", "a<b", "a|b", "a?b", "a*b",
                            "a\"b", "a\tb"})
        EXPECT_FALSE(IsContainedRelativePath(bad)) << bad;
    EXPECT_TRUE(IsPlainFileName("update.exe"));
    EXPECT_FALSE(IsPlainFileName("sub/update.exe"));
    EXPECT_FALSE(IsPlainFileName("sub\\update.exe"));
    EXPECT_FALSE(IsPlainFileName(".."));
    EXPECT_FALSE(IsPlainFileName(""));
}
