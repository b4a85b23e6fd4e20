// Archives as players and add-on authors make them, with the tools they use, unpacked by the
// reader and compared, tree and bytes, with what 7z x makes of the same archive.
#include "addon/sevenzip.h"
#include "archive_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <optional>

using namespace tw;
using namespace tw::test;

namespace {

// An add-on folder as authors lay it out: a top folder named like the archive, blanks and Chinese
// in names, empty folders, an empty file and a large compressible one.
void MakeSourceTree(const std::string& src) {
    WriteBytes(src + "团队助手/团队助手.toc", "## Interface: 30300\n## Title: 团队助手\n");
    WriteBytes(src + "团队助手/核心.lua", "local 核心 = {}\n");
    WriteBytes(src + "团队助手/界面/按钮 面板.xml", "<Ui/>\n");
    WriteBytes(src + "团队助手/空文件夹/.keep", "");
    ASSERT_EQ(Shell("rm '" + src + "团队助手/空文件夹/.keep'"), 0);
    WriteBytes(src + "My Addon/My Addon.toc", "## Title: My Addon\n");
    WriteBytes(src + "My Addon/Media/big.blp", Content(400'000, 7));
    WriteBytes(src + "Empty/.keep", "");
    ASSERT_EQ(Shell("rm '" + src + "Empty/.keep'"), 0);
    WriteBytes(src + "zero.txt", "");
}

const char kTopItems[] = "团队助手 'My Addon' Empty zero.txt";

// Python's zipfile writing to a pipe (every member with a data descriptor), as a web service
// packs add-ons on the fly; one name made on Windows with both separators.
const char kStreamedBody[] = "import os\n"
                             "os.chdir(sys.argv[1] + '.src')\n"
                             "for top, dirs, files in sorted(os.walk('.')):\n"
                             "    for d in sorted(dirs):\n"
                             "        z.write(os.path.join(top, d)[2:])\n"
                             "    for f in sorted(files):\n"
                             "        z.write(os.path.join(top, f)[2:], compress_type=zipfile.ZIP_DEFLATED)\n"
                             "raw('Mixed\\\\Sub/x.lua', 'mixed')\n";

::testing::AssertionResult SameAs7z(const std::string& zip, const std::string& ours, const std::string& twin = "") {
    const std::string ref = ours + ".7z";
    if (Shell("LC_ALL=C.UTF-8 7z x -y '-o" + ref + "' '" + (twin.empty() ? zip : twin) + "' >/dev/null") != 0)
        return ::testing::AssertionFailure() << "7z x failed";
    auto reader = CreateZipReader({"/usr/lib/p7zip/7z.so"});
    reader->SetNameCodePage(936);
    reader->OpenFile(zip);
    reader->ExtractTo(ours);
    const auto expected = FilesBelow(ref);
    // Folders are made only as parents of files, so 7z's empty folders are not expected.
    if (ListTree(ours) != ListingOf(expected)) {
        auto failure = ::testing::AssertionFailure() << "trees differ\nours:";
        for (const auto& p : ListTree(ours))
            failure << " " << p;
        failure << "\n7z x:";
        for (const auto& p : ListingOf(expected))
            failure << " " << p;
        return failure;
    }
    if (FilesBelow(ours) != expected)
        return ::testing::AssertionFailure() << "contents differ";
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(ArchivesPeopleMake, EachToolsArchiveInstallsWhat7zFindsInIt) {
    TempFolder tmp;
    const std::string src = tmp / "团队助手.zip.src/";
    MakeSourceTree(src);
    struct Tool {
        const char* name;
        std::string command; // run in the source tree; makes ../<name>.zip
    };
    const std::vector<Tool> tools{
        {"zip", "zip -qr ../zip.zip "},
        {"zip-X", "zip -qrX ../zip-X.zip "},
        {"zip-D", "zip -qrD ../zip-D.zip "}, // without folder entries
        {"7z-deflate", "7z a -tzip -mm=Deflate ../7z-deflate.zip >/dev/null "},
        {"7z-deflate64", "7z a -tzip -mm=Deflate64 ../7z-deflate64.zip >/dev/null "},
        {"7z-store", "7z a -tzip -mx0 ../7z-store.zip >/dev/null "},
    };
    for (const auto& tool : tools) {
        ASSERT_EQ(Shell("cd '" + src + "' && LC_ALL=C.UTF-8 " + tool.command + kTopItems), 0) << tool.name;
        EXPECT_TRUE(SameAs7z(tmp / tool.name + ".zip", tmp / "ours/" + tool.name)) << tool.name;
    }

    const std::string streamed = tmp / "团队助手.zip";
    MakePythonZip(streamed, kStreamedBody, "", true);
    EXPECT_TRUE(SameAs7z(streamed, tmp / "ours/streamed"));
    EXPECT_TRUE(Exists(tmp / "ours/streamed/Mixed/Sub/x.lua"));
    EXPECT_EQ(ReadBytes(tmp / "ours/streamed/My Addon/Media/big.blp"), Content(400'000, 7));

    // A Chinese Windows archiver: GBK names without the flag. 7z x is shown the same archive with
    // its names in UTF-8.
    const std::vector<std::pair<std::string, std::string>> members{
        {"团队助手/团队助手.toc", "## Title: 团队助手"},
        {"团队助手/界面/按钮 面板.xml", "<Ui/>"},
        {"团队助手\\\\核心.lua", "local x"},
    };
    std::string gbkBody, utf8Body;
    for (const auto& [name, data] : members) {
        gbkBody += "raw('" + name + "', '" + data + "')\n";
        utf8Body += "raw('" + name + "'.encode(), '" + data + "', utf8=True)\n";
    }
    MakePythonZip(tmp / "gbk.zip", gbkBody);
    MakePythonZip(tmp / "utf8.zip", utf8Body);
    EXPECT_TRUE(SameAs7z(tmp / "gbk.zip", tmp / "ours/gbk", tmp / "utf8.zip"));
    EXPECT_EQ(ReadBytes(tmp / "ours/gbk/团队助手/核心.lua"), "local x");
}

// More than 65,535 items: the count only fits the ZIP64 end record. 65,536 small files are mostly
// work on folders, so they live in memory where the system has a file system there; each file
// holds its own path, which is what is checked.
TEST(ArchivesPeopleMake, AZip64ArchiveOfSmallFilesInstallsEveryItem) {
    std::optional<ScopedEnv> inMemory;
    if (Exists("/dev/shm/"))
        inMemory.emplace("TMPDIR", "/dev/shm");
    TempFolder tmp;
    inMemory.reset();
    ASSERT_EQ(Shell("cd '" + tmp.Path() +
                    "' && python3 -c \"\n"
                    "import os\n"
                    "for d in range(16):\n"
                    "    os.makedirs('src/d%02d' % d)\n"
                    "    for f in range(4096):\n"
                    "        with open('src/d%02d/f%04d.lua' % (d, f), 'w') as h: h.write('d%02d/f%04d.lua' % (d, f))\n"
                    "\" && cd src && 7z a -tzip -mx0 ../many.zip . >/dev/null && rm -r ../src"),
              0);
    const std::string zip = ReadBytes(tmp / "many.zip");
    EXPECT_NE(zip.find("PK\x06\x06", zip.size() - 200), std::string::npos); // the ZIP64 end record
    auto reader = CreateZipReader({"/usr/lib/p7zip/7z.so"});
    reader->OpenFile(tmp / "many.zip");
    EXPECT_EQ(reader->NumberOfItems(), 16u + 65'536u);
    reader->ExtractTo(tmp / "out");
    const auto files = FilesBelow(tmp / "out");
    EXPECT_EQ(files.size(), 65'536u);
    std::size_t wrong = 0;
    for (const auto& [path, bytes] : files)
        wrong += bytes != path;
    EXPECT_EQ(wrong, 0u);
}
