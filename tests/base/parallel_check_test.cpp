#include "base/digestAhead.h"
#include "base/helpers.h"
#include "base/parallelCheck.h"
#include "platform/fs.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include <fcntl.h>
#include <unistd.h>

using namespace tw;
using tw::test::Exists;
using tw::test::TempFolder;
using tw::test::WriteBytes;

TEST(CheckFilesInOrder, OutcomeIsThatOfAOneByOneCheck) {
    TempFolder dir;
    WriteBytes(dir / "good.MPQ", "good");
    WriteBytes(dir / "wrong.MPQ", "wrong");
    WriteBytes(dir / "twice.MPQ", "twice");
    const std::string goodMd5 = Md5Hex(FileMd5(dir / "good.MPQ"));
    const std::string twiceMd5 = Md5Hex(FileMd5(dir / "twice.MPQ"));
    std::vector<FileCheckEntry> entries = {
        {dir / "good.MPQ", goodMd5},    {dir / "wrong.MPQ", goodMd5},
        {dir / "missing.MPQ", goodMd5}, {dir / "good.MPQ", Md5Hex(FileMd5(dir / "good.MPQ"))},
        {dir / "twice.MPQ", "not it"}, // wrong: deleted ...
        {dir / "twice.MPQ", twiceMd5}, // ... so missing here, although its digest would match
        {dir / "lower.MPQ", ""},
    };
    WriteBytes(dir / "lower.MPQ", "abc");
    entries.back().expected = "900150983cd24fb0d6963f7d28e17f72"; // lower case never matches

    for (unsigned threads : {1u, 2u, 4u}) {
        WriteBytes(dir / "wrong.MPQ", "wrong");
        WriteBytes(dir / "twice.MPQ", "twice");
        WriteBytes(dir / "lower.MPQ", "abc");
        FileCheckReport r = CheckFilesInOrder(entries, {}, threads);
        EXPECT_FALSE(r.allPassed);
        EXPECT_EQ(r.failed, (std::vector<std::size_t>{1, 2, 4, 5, 6})) << threads;
        EXPECT_TRUE(Exists(dir / "good.MPQ"));
        EXPECT_FALSE(Exists(dir / "wrong.MPQ"));
        EXPECT_FALSE(Exists(dir / "twice.MPQ"));
        EXPECT_FALSE(Exists(dir / "lower.MPQ"));
    }
    EXPECT_TRUE(CheckFilesInOrder({{dir / "good.MPQ", goodMd5}}, {}, 2).allPassed);
    EXPECT_TRUE(CheckFilesInOrder({}, {}, 2).allPassed);
}

TEST(CheckFilesInOrder, ProgressComesForOneFileAtATimeInListOrder) {
    TempFolder dir;
    std::vector<FileCheckEntry> entries;
    for (const char* name : {"a.MPQ", "small.MPQ", "b.MPQ"}) {
        std::string path = dir / name;
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, std::string(name) == "small.MPQ" ? 1000 : static_cast<off_t>(kMd5MappedLimit + 1)),
                  0);
        ::close(fd);
        entries.push_back({path, tw::test::ToolMd5(path)});
    }
    std::vector<std::pair<std::size_t, std::uint64_t>> seen;
    FileCheckReport r = CheckFilesInOrder(
        entries,
        [&](std::size_t i, std::uint64_t size, std::uint64_t done) {
            EXPECT_EQ(size, kMd5MappedLimit + 1);
            seen.emplace_back(i, done);
        },
        2);
    EXPECT_TRUE(r.allPassed);
    ASSERT_FALSE(seen.empty());
    // Never back to an earlier file, no progress for the small one, and each large file ends at 100%.
    for (std::size_t k = 1; k < seen.size(); ++k)
        EXPECT_LE(seen[k - 1].first, seen[k].first);
    bool endA = false, endB = false;
    for (auto [i, done] : seen) {
        EXPECT_NE(i, 1u);
        endA |= i == 0 && done == kMd5MappedLimit + 1;
        endB |= i == 2 && done == kMd5MappedLimit + 1;
    }
    EXPECT_TRUE(endA);
    EXPECT_TRUE(endB);
}

TEST(DigestAhead, GivesADigestOnlyForTheVersionItRead) {
    TempFolder dir;
    struct Case {
        const char* name;
        std::function<void(const std::string&)> after; // what happens to the file once digested
        bool trusted;
    } cases[] = {
        {"unchanged", [](const std::string&) {}, true},
        {"rewritten, same size", [](const std::string& p) { WriteBytes(p, "bbbb"); }, false},
        {"appended", [](const std::string& p) { WriteBytes(p, "aaaab"); }, false},
        {"rewritten, its time set back",
         [](const std::string& p) {
             const auto before = std::filesystem::last_write_time(p);
             WriteBytes(p, "bbbb");
             std::filesystem::last_write_time(p, before);
         },
         false},
        {"replaced by rename",
         [&](const std::string& p) {
             WriteBytes(p + ".new", "aaaa");
             tw::platform::RenameReplace(p + ".new", p);
         },
         false},
        {"deleted", [](const std::string& p) { tw::platform::DeleteFile(p); }, false},
    };
    DigestAhead ahead(2);
    for (const auto& c : cases) {
        const std::string path = dir / c.name;
        WriteBytes(path, "aaaa");
        ahead.Queue(path);
        ASSERT_EQ(ahead.Digest(path), Md5Hex(FileMd5(path))) << c.name;
        c.after(path);
        EXPECT_EQ(ahead.Digest(path).has_value(), c.trusted) << c.name;
        if (Exists(path)) { // queued again, the new version is digested
            ahead.Queue(path);
            EXPECT_EQ(ahead.Digest(path), Md5Hex(FileMd5(path))) << c.name;
        }
    }
    EXPECT_FALSE(ahead.Digest(dir / "never queued")) << "nothing is made up";
}

TEST(CheckFilesInOrder, KnownDigestsAreNotReadAgainButReportedAlike) {
    TempFolder dir;
    WriteBytes(dir / "a.MPQ", "the bytes now");
    const std::string big = dir / "big.MPQ"; // sparse: never read here
    {
        int fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kMd5MappedLimit + 2 * kMd5BlockSize + 5)), 0);
        ::close(fd);
    }
    std::vector<FileCheckEntry> entries = {{dir / "a.MPQ", "KNOWN-A"}, {big, "KNOWN-BIG"}, {dir / "gone.MPQ", "X"}};
    std::vector<std::pair<std::size_t, std::uint64_t>> calls;
    FileCheckReport r = CheckFilesInOrder(
        entries, [&](std::size_t i, std::uint64_t, std::uint64_t done) { calls.emplace_back(i, done); }, 2,
        [&](std::size_t i) { return std::optional<std::string>(entries[i].expected); });
    EXPECT_EQ(r.failed, (std::vector<std::size_t>{2})) << "a missing file fails whatever is known";
    const std::uint64_t size = kMd5MappedLimit + 2 * kMd5BlockSize + 5;
    ASSERT_EQ(calls.size(), size / kMd5BlockSize + 1);
    for (std::size_t k = 0; k < calls.size(); ++k)
        EXPECT_EQ(calls[k], std::make_pair(std::size_t{1}, std::min<std::uint64_t>((k + 1) * kMd5BlockSize, size)));
}
