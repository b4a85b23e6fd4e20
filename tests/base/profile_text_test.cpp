#include "base/ansitext.h"
#include "base/inifile.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace tw;
using tw::test::ReadBytes;
using tw::test::TempFolder;
using tw::test::WriteBytes;

TEST(ReadProfileString, FollowsTheWindowsReadingRules) {
    TempFolder dir;
    const std::string ini = dir / "cfg.ini";
    EXPECT_EQ(ReadProfileString(ini, "channel", "ID", "x001"), "x001") << "missing file";

    WriteBytes(ini, "; comment\r\n[other]\r\nID=wrong\r\n  [ Channel ]  \r\n  id  =  \"c042\"  \r\nID=second\r\n"
                    "Empty=\r\nQuoted=\"\"\r\nHalf=\"open\r\n[channel]\r\nLate=found\r\n");
    EXPECT_EQ(ReadProfileString(ini, "channel", "ID", "x001"), "c042") << "case, blanks, quotes, first wins";
    EXPECT_EQ(ReadProfileString(ini, "CHANNEL", "empty", "x001"), "") << "an empty value is not the default";
    EXPECT_EQ(ReadProfileString(ini, "channel", "Quoted", "x001"), "");
    EXPECT_EQ(ReadProfileString(ini, "channel", "Half", "x001"), "\"open");
    EXPECT_EQ(ReadProfileString(ini, "channel", "Late", "x001"), "found") << "a repeated section continues";
    EXPECT_EQ(ReadProfileString(ini, "channel", "missing", "x001"), "x001");
    EXPECT_EQ(ReadProfileString(ini, "nosuch", "ID", "x001"), "x001");

    WriteBytes(ini, "[channel]\nID=" + std::string(3000, 'v') + "\n");
    EXPECT_EQ(ReadProfileString(ini, "channel", "ID", "x001"), std::string(kProfileValueLimit, 'v'));
}

TEST(ReadProfileString, DecodesUtf16AndAnsiFiles) {
    TempFolder dir;
    const std::string ini = dir / "cfg.ini";
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("[channel]\r\nID=u16\r\n")) {
        utf16 += c;
        utf16 += '\0';
    }
    WriteBytes(ini, utf16);
    EXPECT_EQ(ReadProfileString(ini, "channel", "ID", "x001"), "u16");

    tw::test::ScopedEnv zh("LC_ALL", "zh_CN.UTF-8");
    WriteBytes(ini, "[channel]\r\nID=\xD6\xD0\xCE\xC4\r\n"); // "中文" in GBK
    EXPECT_EQ(ReadProfileString(ini, "channel", "ID", "x001"), "中文");
    WriteBytes(ini, "\xEF\xBB\xBF[channel]\r\nID=中文\r\n");
    EXPECT_EQ(ReadProfileString(ini, "channel", "ID", "x001"), "中文");
}

TEST(WriteAnsiLines, WritesTheCodePageWithCrLfAndRefusesReadOnlyFiles) {
    TempFolder dir;
    const std::string path = dir / "realmlist.wtf";
    {
        tw::test::ScopedEnv zh("LC_ALL", "zh_CN.UTF-8");
        WriteAnsiLines(path, {"SET realmlist \"127.0.0.1\"", "中文"});
        EXPECT_EQ(ReadBytes(path), "SET realmlist \"127.0.0.1\"\r\n\xD6\xD0\xCE\xC4\r\n");
    }
    {
        tw::test::ScopedEnv en("LC_ALL", "en_US.UTF-8");
        WriteAnsiLines(path, {"caf\xC3\xA9 中"});
        EXPECT_EQ(ReadBytes(path), "caf\xE9 ?\r\n") << "CP1252, unknown characters become '?'";
    }

    ASSERT_TRUE(platform::SetReadOnly(path, true));
    try {
        WriteAnsiLines(path, {"replaced"});
        FAIL() << "a read-only file must not be overwritten";
    } catch (const tw::Error& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
    EXPECT_EQ(ReadBytes(path), "caf\xE9 ?\r\n");

    EXPECT_THROW(WriteAnsiLines(dir / "no/such/folder/file.txt", {"x"}), tw::Error);
}

// Windows can be set to use UTF-8 as its ANSI code page; the game then reads UTF-8 with the mark.
TEST(EncodeLinesInCodePage, UsesTheGivenCodePageAndMarksUtf8) {
    const struct {
        unsigned codePage;
        const char* bytes;
    } cases[] = {
        {65001, "\xEF\xBB\xBF"
                "caf\xC3\xA9 中\r\n"},
        {936, "caf\xA8\xA6 \xD6\xD0\r\n"},
        {1252, "caf\xE9 ?\r\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EncodeLinesInCodePage({"caf\xC3\xA9 中"}, c.codePage), c.bytes) << c.codePage;
}
