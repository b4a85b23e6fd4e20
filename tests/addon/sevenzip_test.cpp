// The archive reader against the real 7-Zip library, with archives made by zipfile and 7z.
#include "addon/sevenzip.h"
#include "archive_support.h"
#include "platform/error.h"
#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fstream>

using namespace tw;
using namespace tw::test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

const std::string kSystemLibrary = "/usr/lib/p7zip/7z.so";

z7::ComPtr<I7zInArchive> Reader() { return CreateZipReader({kSystemLibrary}); }

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "(no error)";
}

bool LibraryMapped(const std::string& path) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find(path) != std::string::npos)
            return true;
    return false;
}

} // namespace

TEST(SevenZipPaths, ItemPathsAreMadeRelativeOrRefused) {
    std::string rel;
    const std::vector<std::pair<std::string, std::string>> good{
        {"a.lua", "a.lua"},
        {"Foo/Bar/x.lua", "Foo/Bar/x.lua"},
        {"Interface\\AddOns\\x.lua", "Interface/AddOns/x.lua"},
        {"./a//b/./c", "a/b/c"},
        {"a/b/", "a/b"},
        {"..a/b..c", "..a/b..c"},
        {"插件/配置.lua", "插件/配置.lua"},
        {"", ""},
    };
    for (const auto& [in, out] : good) {
        EXPECT_TRUE(SafeItemPath(in, rel)) << in;
        EXPECT_EQ(rel, out) << in;
    }
    for (const char* bad : {"../evil.txt", "a/../../up.txt", "a/..", "..", "a\\..\\..\\x", "/abs.txt", "\\abs.txt",
                            "\\\\server\\share\\x", "C:/drive.txt", "c:drive.txt", "a:b", "Z:\\x", "ab:c"})
        EXPECT_FALSE(SafeItemPath(bad, rel)) << bad;
}

TEST(SevenZipReader, UnpacksEveryFileWithProgressAndKeepsOtherFiles) {
    TempFolder tmp;
    const std::string big = Content(3'000'000, 1);
    WriteBytes(tmp / "a.zip.big", big);
    MakePythonZip(tmp / "a.zip", "add('Top.toc', 'toc')\n"
                                 "add('Deep/er/still/file.lua', 'deep', deflate=False)\n"
                                 "folder('Deep/er/')\n"
                                 "folder('Empty/')\n"
                                 "add('插件/说明.txt', '中文内容')\n"
                                 "add('Win\\\\Made\\\\x.lua', 'backslashes')\n"
                                 "add('big.bin', open(sys.argv[1] + '.big', 'rb').read())\n"
                                 "add('stored.bin', open(sys.argv[1] + '.big', 'rb').read()[:70000], deflate=False)\n"
                                 "add('zero.txt', '')\n");
    const std::string out = tmp / "out/";
    WriteBytes(out + "Top.toc", "old contents that are longer than the new ones");
    WriteBytes(out + "Mine/keep.lua", "mine");

    auto reader = Reader();
    reader->OpenFile(tmp / "a.zip");
    ASSERT_EQ(reader->NumberOfItems(), 9u);
    EXPECT_EQ(reader->ItemPath(1), "Deep/er/still/file.lua");
    EXPECT_TRUE(reader->ItemIsFolder(3));
    EXPECT_FALSE(reader->ItemIsFolder(4));
    EXPECT_THROW(reader->ItemPath(9), Error); // the library itself would crash here

    std::vector<std::pair<bool, std::uint64_t>> progress;
    reader->SetProgressCallback(nullptr, [&](void*, bool total, std::uint64_t value) {
        progress.emplace_back(total, value);
        return z7::S_OK;
    });
    reader->ExtractTo(out);

    EXPECT_THAT(ListTree(out), ElementsAre("Deep/", "Deep/er/", "Deep/er/still/", "Deep/er/still/file.lua", "Mine/",
                                           "Mine/keep.lua", "Top.toc", "Win/", "Win/Made/", "Win/Made/x.lua",
                                           "big.bin", "stored.bin", "zero.txt", "插件/", "插件/说明.txt"));
    EXPECT_EQ(ReadBytes(out + "Top.toc"), "toc");
    EXPECT_EQ(ReadBytes(out + "Mine/keep.lua"), "mine");
    EXPECT_EQ(ReadBytes(out + "Deep/er/still/file.lua"), "deep");
    EXPECT_EQ(ReadBytes(out + "插件/说明.txt"), "中文内容");
    EXPECT_EQ(ReadBytes(out + "big.bin"), big);
    EXPECT_EQ(ReadBytes(out + "stored.bin"), big.substr(0, 70000));

    const std::uint64_t total = 3 + 4 + 12 + 11 + big.size() + 70000;
    ASSERT_GE(progress.size(), 2u);
    EXPECT_EQ(progress.front(), std::make_pair(true, total));
    EXPECT_EQ(progress.back(), std::make_pair(false, total));
    for (std::size_t i = 2; i < progress.size(); ++i) {
        EXPECT_FALSE(progress[i].first);
        EXPECT_GE(progress[i].second, progress[i - 1].second);
    }
}

TEST(SevenZipReader, DamagedAndEncryptedMembersFailAloneAndTheRunGoesOn) {
    TempFolder tmp;
    // An encrypted member first, then plain ones: "no password" must not stop at the first.
    WriteBytes(tmp / "src/secret.txt", "top secret");
    WriteBytes(tmp / "src/plain.txt", "plain text");
    ASSERT_EQ(Shell("cd '" + tmp.Path() + "src' && 7z a -tzip -pSECRET ../enc.zip secret.txt >/dev/null && "
                                          "7z a -tzip ../enc.zip plain.txt >/dev/null"),
              0);
    auto reader = Reader();
    reader->OpenFile(tmp / "enc.zip");
    reader->ExtractTo(tmp / "enc");
    EXPECT_EQ(ReadBytes(tmp / "enc/plain.txt"), "plain text");
    EXPECT_NE(ReadBytes(tmp / "enc/secret.txt"), "top secret");

    // A deflated member whose data is overwritten in the middle, between two good ones.
    const std::string body = Content(200'000, 2);
    WriteBytes(tmp / "body", body);
    MakePythonZip(tmp / "bad.zip",
                  "add('a.txt', 'first')\nadd('b.bin', open('" + tmp.Path() + "body', 'rb').read())\nadd('c.txt', 'last')\n",
                  "info = zipfile.ZipFile(sys.argv[1]).getinfo('b.bin')\n"
                  "f = open(sys.argv[1], 'r+b')\n"
                  "f.seek(info.header_offset + 30 + len('b.bin') + 2000)\n"
                  "f.write(b'\\xff' * 64)\n");
    reader = Reader();
    reader->OpenFile(tmp / "bad.zip");
    reader->ExtractTo(tmp / "bad");
    EXPECT_EQ(ReadBytes(tmp / "bad/a.txt"), "first");
    EXPECT_EQ(ReadBytes(tmp / "bad/c.txt"), "last");
    EXPECT_TRUE(Exists(tmp / "bad/b.bin"));
    EXPECT_NE(ReadBytes(tmp / "bad/b.bin"), body);
}

TEST(SevenZipReader, RefusesWhatIsNotACompleteZipBeforeWritingAnything) {
    TempFolder tmp;
    WriteBytes(tmp / "random.zip", Content(5000, 3));
    WriteBytes(tmp / "empty.zip", "");
    MakePythonZip(tmp / "good.zip", "add('a.txt', 'a' * 100000)\nadd('b.txt', 'b' * 100000)\n");
    const std::string good = ReadBytes(tmp / "good.zip");
    WriteBytes(tmp / "cut.zip", good.substr(0, good.size() / 2));
    // A 7z archive is an archive, but not of the selected format.
    WriteBytes(tmp / "src/x.txt", "x");
    ASSERT_EQ(Shell("cd '" + tmp.Path() + "src' && 7z a -t7z ../seven.zip x.txt >/dev/null"), 0);

    for (const char* name : {"random.zip", "empty.zip", "cut.zip", "seven.zip", "missing.zip"}) {
        auto reader = Reader();
        EXPECT_THAT(ErrorOf([&] {
                        reader->OpenFile(tmp / name);
                        reader->ExtractTo(tmp / "out");
                    }),
                    HasSubstr(name));
    }
    EXPECT_FALSE(Exists(tmp / "out"));

    // Junk in front of the archive (a self-extractor's stub) is skipped.
    WriteBytes(tmp / "sfx.zip", Content(4000, 4) + good);
    auto reader = Reader();
    reader->OpenFile(tmp / "sfx.zip");
    reader->ExtractTo(tmp / "sfx");
    EXPECT_THAT(ListTree(tmp / "sfx"), ElementsAre("a.txt", "b.txt"));
}

TEST(SevenZipReader, AnItemLeavingTheTargetRefusesTheWholeArchive) {
    for (const char* evil : {"../evil.txt", "a/../../up2.txt", "/tmp/abs.txt", "C:/drive.txt", "..\\\\win.txt"}) {
        TempFolder tmp;
        MakePythonZip(tmp / "slip.zip", std::string("add('fine.txt', 'fine')\nadd('") + evil + "', 'evil')\n");
        auto reader = Reader();
        reader->OpenFile(tmp / "slip.zip");
        EXPECT_THAT(ErrorOf([&] { reader->ExtractTo(tmp / "a/b/out"); }), HasSubstr("outside the target folder"))
            << evil;
        EXPECT_THAT(ListTree(tmp.Path()), ElementsAre("slip.zip")) << evil;
    }
}

TEST(SevenZipReader, ProgressAnswersAndErrorsStopTheRun) {
    TempFolder tmp;
    MakePythonZip(tmp / "a.zip", "add('a.txt', 'a' * 3000000)\nadd('b.txt', 'b' * 3000000)\n");
    {
        auto reader = Reader();
        reader->OpenFile(tmp / "a.zip");
        reader->SetProgressCallback(nullptr, [](void*, bool total, std::uint64_t) {
            return total ? z7::S_OK : z7::E_ABORT;
        });
        EXPECT_THAT(ErrorOf([&] { reader->ExtractTo(tmp / "abort"); }), HasSubstr("Operation aborted"));
    }
    {
        auto reader = Reader();
        reader->OpenFile(tmp / "a.zip");
        int sender = 0;
        reader->SetProgressCallback(&sender, [&](void* s, bool, std::uint64_t) -> z7::HRESULT {
            EXPECT_EQ(s, &sender);
            throw Error("progress failed");
        });
        EXPECT_EQ(ErrorOf([&] { reader->ExtractTo(tmp / "throw"); }), "progress failed");
    }
    // An item whose file cannot be created ends the run with that error.
    WriteBytes(tmp / "blocked/a.txt/in-the-way", "");
    auto reader = Reader();
    reader->OpenFile(tmp / "a.zip");
    EXPECT_THAT(ErrorOf([&] { reader->ExtractTo(tmp / "blocked"); }), HasSubstr("a.txt"));
}

TEST(SevenZipLibrary, SearchOrderLoadFailuresAndLayoutCheck) {
    TempFolder tmp;
    // The program folder's copy comes first; a missing one falls through to the system's.
    ASSERT_EQ(Shell("cp " + kSystemLibrary + " '" + tmp.Path() + "7z.so'"), 0);
    {
        auto paths = Default7zLibraryPaths(tmp.Path());
        ASSERT_EQ(paths.size(), 2u);
        EXPECT_EQ(paths[0], tmp / "7z.so");
        EXPECT_EQ(paths[1], kSystemLibrary);
        T7zArchive own(paths);
        EXPECT_EQ(own.LibraryPath(), tmp / "7z.so");
        T7zArchive system(Default7zLibraryPaths(tmp / "nowhere/"));
        EXPECT_EQ(system.LibraryPath(), kSystemLibrary);
    }

    // Dropping the reader unloads the library: no reference of 7-Zip's may keep ours alive.
    MakePythonZip(tmp / "a.zip", "add('a.txt', 'a')\n");
    {
        auto reader = CreateZipReader({tmp / "7z.so"});
        reader->OpenFile(tmp / "a.zip");
        reader->ExtractTo(tmp / "out");
        EXPECT_TRUE(LibraryMapped(tmp / "7z.so"));
    }
    EXPECT_FALSE(LibraryMapped(tmp / "7z.so"));
    // The library must find its own BSTR helpers; a global one of ours would be used instead.
    for (const char* helper : {"SysAllocString", "SysFreeString", "VariantClear"})
        EXPECT_EQ(::dlsym(RTLD_DEFAULT, helper), nullptr) << helper;

    EXPECT_THAT(ErrorOf([&] { Reader(); }), "(no error)");
    EXPECT_THAT(ErrorOf([&] { CreateZipReader({tmp / "none/7z.so", tmp / "other/7z.so"}); }),
                HasSubstr("Error loading library 7z.so"));
    WriteBytes(tmp / "text/7z.so", "not a library");
    EXPECT_THAT(ErrorOf([&] { CreateZipReader({tmp / "text/7z.so"}); }),
                HasSubstr("Error loading library " + tmp / "text/7z.so"));
    const std::string fake = FAKE7Z_DIR;
    EXPECT_EQ(ErrorOf([&] { CreateZipReader({fake + "fake7z_plain.so"}); }), fake + "fake7z_plain.so is not a 7z library");
    EXPECT_EQ(ErrorOf([&] { CreateZipReader({fake + "fake7z_nohandler.so"}); }),
              fake + "fake7z_nohandler.so is not a Format library");
    EXPECT_THAT(ErrorOf([&] { CreateZipReader({fake + "fake7z_unreported.so"}); }),
                HasSubstr("interface layout this program cannot drive"));
    EXPECT_THAT(ErrorOf([&] { CreateZipReader({fake + "fake7z_destructor.so"}); }),
                HasSubstr("reports interface type 1"));
    // A library that cannot make the ZIP handler fails when the archive is opened.
    MakePythonZip(tmp / "b.zip", "add('b.txt', 'b')\n");
    auto reader = CreateZipReader({fake + "fake7z_noclass.so"});
    EXPECT_THAT(ErrorOf([&] { reader->OpenFile(tmp / "b.zip"); }), HasSubstr("ClassFactory cannot supply"));
}

// Names as the archivers of Chinese Windows store them: GBK without the UTF-8 flag. The code
// page comes from the locale, as for the realmlist file.
TEST(SevenZipNames, UnmarkedNamesAreDecodedInTheCodePageAndMarkedOnesKept) {
    TempFolder tmp;
    MakePythonZip(tmp / "names.zip", "raw('团队助手/核心.lua', 'gbk')\n"
                                     "raw('乗.lua', 'trail byte 0x5C')\n" // 81 5C: no separator inside
                                     "raw('flag/插件'.encode(), 'flagged', utf8=True)\n"
                                     "raw('gbk/插件'.encode(), 'unflagged')\n" // valid in both; GBK wins
                                     "raw('双名.txt', 'field', unicode_path='Unicode名.txt')\n"
                                     "raw('unix/中.txt'.encode(), 'unix utf-8', system=3)\n"
                                     "raw('unix/核.txt', 'unix gbk', system=3)\n"
                                     "raw('Mixed\\\\Sub/x.lua', 'mixed')\n");
    auto reader = [] {
        ScopedEnv zh("LC_ALL", "zh_CN.UTF-8");
        return Reader();
    }();
    reader->OpenFile(tmp / "names.zip");
    reader->ExtractTo(tmp / "out");
    EXPECT_THAT(ListTree(tmp / "out"), ElementsAre("Mixed/", "Mixed/Sub/", "Mixed/Sub/x.lua", "Unicode名.txt", "flag/",
                                                   "flag/插件", "gbk/", "gbk/鎻掍欢", "unix/", "unix/中.txt",
                                                   "unix/核.txt", "乗.lua", "团队助手/", "团队助手/核心.lua"));
    EXPECT_EQ(ReadBytes(tmp / "out/团队助手/核心.lua"), "gbk");
    EXPECT_EQ(ReadBytes(tmp / "out/flag/插件"), "flagged");

    // Add-ons come from Chinese sites whatever the player's language: a name that is not UTF-8 is
    // GBK when it can be, and only else in the locale's code page.
    MakePythonZip(tmp / "latin.zip", "raw('团队助手/核心.lua', 'gbk')\nraw(b'caf\\xe9.txt', 'latin')\n");
    for (const char* lang : {"C", "en_US.UTF-8"}) {
        ScopedEnv all("LC_ALL", nullptr), ctype("LC_CTYPE", nullptr), language("LANG", lang);
        reader = Reader();
        reader->OpenFile(tmp / "names.zip");
        EXPECT_EQ(reader->ItemPath(0), "团队助手/核心.lua") << lang;
        reader->OpenFile(tmp / "latin.zip");
        EXPECT_EQ(reader->ItemPath(1), "café.txt") << lang;
    }
}

TEST(SevenZipNames, UndecodableOrCollidingNamesRefuseTheArchiveBeforeWriting) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"raw(b'bad\\x81\\x20.txt', 'x')", "\"bad\\x81 .txt\", which is not text in code page 936"},
        {"raw(b'\\xff.txt', 'x')", "not text in code page 936"},
        {"raw(b'half\\xb1', 'x')", "not text in code page 936"},
        {"raw(b'bad\\xe4\\xb8.txt', 'x', utf8=True)", "marked as UTF-8 but is not"},
        {"raw('核心.lua', 'gbk')\nraw('核心.lua'.encode(), 'utf-8', utf8=True)", "more than one file \"核心.lua\""},
        {"raw('a\\\\b.txt', 'x')\nadd('a/b.txt', 'y')", "more than one file \"a/b.txt\""},
        {"add('x', 'file')\nadd('x/y.txt', 'below')", "\"x\" both as a file and as a folder"},
    };
    for (const auto& [body, message] : cases) {
        TempFolder tmp;
        MakePythonZip(tmp / "bad.zip", "add('first.txt', 'first')\n" + body + "\n");
        auto reader = Reader();
        reader->SetNameCodePage(936);
        reader->OpenFile(tmp / "bad.zip");
        EXPECT_THAT(ErrorOf([&] { reader->ExtractTo(tmp / "out"); }), HasSubstr(message)) << body;
        EXPECT_FALSE(Exists(tmp / "out")) << body;
    }
}
