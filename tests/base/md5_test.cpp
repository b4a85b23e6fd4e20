#include "base/helpers.h"
#include "platform/error.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <vector>

using namespace tw;
using tw::test::TempFolder;

namespace {

const char* kEmptyMd5 = "D41D8CD98F00B204E9800998ECF8427E";

// A sparse file of `size` zero bytes: big files for the boundary tests without the disk cost.
void MakeSparse(const std::string& path, std::uint64_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    ::close(fd);
}

struct Calls {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> seen;
    Md5ProgressHandler Handler() {
        return [this](std::uint64_t size, std::uint64_t done) { seen.emplace_back(size, done); };
    }
};

} // namespace

TEST(FileMd5, MissingAndEmptyFilesGiveTheEmptyDigestWithoutError) {
    TempFolder dir;
    tw::test::WriteBytes(dir / "empty", "");
    Calls calls;
    EXPECT_EQ(Md5Hex(FileMd5(dir / "missing", calls.Handler())), kEmptyMd5);
    EXPECT_EQ(Md5Hex(FileMd5(dir / "empty", calls.Handler())), kEmptyMd5);
    EXPECT_EQ(Md5Hex(FileMd5("", calls.Handler())), kEmptyMd5);
    EXPECT_TRUE(calls.seen.empty());
}

TEST(FileMd5, KnownVectorsAndAgreementWithMd5sum) {
    TempFolder dir;
    tw::test::WriteBytes(dir / "abc", "abc");
    EXPECT_EQ(Md5Hex(FileMd5(dir / "abc")), "900150983CD24FB0D6963F7D28E17F72");
    // Sizes around the 64-byte block and its padding rule, and a few MiB of pattern.
    for (std::uint64_t size : {55u, 56u, 63u, 64u, 65u, 4'194'305u}) {
        std::string path = dir / ("p" + std::to_string(size));
        tw::test::WritePatternFile(path, size);
        EXPECT_EQ(Md5Hex(FileMd5(path)), tw::test::ToolMd5(path)) << size;
    }
}

TEST(FileMd5, HexIsUpperCaseSoLowerCaseExpectationsNeverMatch) {
    Md5Digest d{};
    for (std::size_t i = 0; i < d.size(); ++i)
        d[i] = static_cast<std::uint8_t>(0xAB + i * 17);
    std::string hex = Md5Hex(d);
    ASSERT_EQ(hex.size(), 32u);
    EXPECT_EQ(hex.substr(0, 4), "ABBC");
    for (char c : hex)
        EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << hex;
    TempFolder dir;
    tw::test::WriteBytes(dir / "abc", "abc");
    EXPECT_NE(Md5Hex(FileMd5(dir / "abc")), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(FileMd5, ProgressOnlyAboveTheLimitOncePerBlock) {
    TempFolder dir;
    const std::string atLimit = dir / "at-limit", above = dir / "above-limit";
    MakeSparse(atLimit, kMd5MappedLimit);
    MakeSparse(above, kMd5MappedLimit + 1);

    Calls quiet;
    EXPECT_EQ(Md5Hex(FileMd5(atLimit, quiet.Handler())), tw::test::ToolMd5(atLimit));
    EXPECT_TRUE(quiet.seen.empty()) << "no progress up to the limit";

    Calls blocks;
    EXPECT_EQ(Md5Hex(FileMd5(above, blocks.Handler())), tw::test::ToolMd5(above));
    const std::uint64_t size = kMd5MappedLimit + 1;
    ASSERT_EQ(blocks.seen.size(), kMd5MappedLimit / kMd5BlockSize + 1);
    for (std::size_t i = 0; i + 1 < blocks.seen.size(); ++i) {
        EXPECT_EQ(blocks.seen[i].first, size);
        EXPECT_EQ(blocks.seen[i].second, (i + 1) * kMd5BlockSize);
    }
    EXPECT_EQ(blocks.seen.back(), std::make_pair(size, size));
    // No handler at all is fine on the block path too.
    EXPECT_EQ(Md5Hex(FileMd5(above)), Md5Hex(FileMd5(above, blocks.Handler())));
}

TEST(FileMd5, AFailedReadRaisesAndAShrinkingFileGivesWhatWasRead) {
    TempFolder dir;
    // A folder opens for reading, but reading it fails.
    try {
        FileMd5(dir.Path());
        FAIL() << "expected an error";
    } catch (const tw::Error& e) {
        EXPECT_NE(std::string(e.what()).find(dir.Path()), std::string::npos) << e.what();
    }

    // Cut to one block while it is read (a mapping would die of SIGBUS here).
    const std::string file = dir / "shrinking", block = dir / "block";
    MakeSparse(file, kMd5MappedLimit + 1);
    MakeSparse(block, kMd5BlockSize);
    Calls calls;
    const Md5Digest digest = FileMd5(file, [&](std::uint64_t size, std::uint64_t done) {
        calls.seen.emplace_back(size, done);
        if (calls.seen.size() == 1) {
            ASSERT_EQ(::truncate(file.c_str(), static_cast<off_t>(kMd5BlockSize)), 0);
        }
    });
    EXPECT_EQ(Md5Hex(digest), tw::test::ToolMd5(block));
    EXPECT_EQ(calls.seen.size(), 1u);
}
