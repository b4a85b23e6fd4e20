#include "platform/error.h"
#include "game/maintenance.h"
#include "game/startGame.h"
#include "platform/fs.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <thread>

using namespace tw;
using tw::test::Exists;
using tw::test::ReadBytes;
using tw::test::TempFolder;
using tw::test::WriteBytes;
namespace fs = std::filesystem;

namespace {

// A game client stand-in: each start appends one line with its pid and command line to
// starts.log and copies the realm list it sees at that moment.
void MakeFakeGame(const std::string& folder) {
    WriteBytes(folder + "wow.exe", "#!/bin/sh\n"
                                   "cd \"$(dirname \"$0\")\"\n"
                                   "cp realmlist.wtf \"seen-$$.wtf\"\n"
                                   "echo \"$$ $0 $*\" >> starts.log\n");
    ::chmod((folder + "wow.exe").c_str(), 0755);
}

std::size_t Lines(const std::string& text) {
    std::size_t n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

bool WaitForLines(const std::string& path, std::size_t lines) {
    return tw::test::WaitUntil([&] { return Lines(ReadBytes(path)) >= lines; }, std::chrono::seconds(5));
}


} // namespace

TEST(RealmlistHost, TrimsAndDropsWhatCouldBreakOutOfTheQuotes) {
    EXPECT_EQ(RealmlistHost("  logon.example.cn \t\r\n"), "logon.example.cn");
    EXPECT_EQ(RealmlistHost(""), "");
    EXPECT_EQ(RealmlistHost("\x01 10.0.0.1\x1f"), "10.0.0.1");
    EXPECT_EQ(RealmlistHost("evil\"\r\nSET patchlist \"x"), "evilSET patchlist x");
    EXPECT_EQ(RealmlistHost("a\x7f" "b"), "ab");
    EXPECT_EQ(RealmlistHost("服务器.cn"), "服务器.cn");
}

TEST(StartGame, WritesBothRealmListsAndStartsTheClientEachTime) {
    tw::test::ScopedEnv zh("LC_ALL", "zh_CN.UTF-8");
    TempFolder dir("tarnwick game folder"); // a blank in the path: passed unquoted all the same
    const std::string p = dir.Path();
    MakeFakeGame(p);
    WriteBytes(p + "realmlist.wtf", "SET realmlist \"old\"\r\nSET patchlist \"old\"\r\nthird line\r\n");

    // Without Data/zhCN only the top file is written.
    ASSERT_EQ(StartGame(p, "  127.0.0.1 "), StartGameResult::Started);
    const std::string expected = "SET realmlist \"127.0.0.1\"\r\n";
    EXPECT_EQ(ReadBytes(p + "realmlist.wtf"), expected);
    EXPECT_FALSE(Exists(p + "Data/zhCN/realmlist.wtf"));
    ASSERT_TRUE(WaitForLines(p + "starts.log", 1));

    fs::create_directories(p + "Data/zhCN");
    ASSERT_EQ(StartGame(p, "登录.example.cn"), StartGameResult::Started);
    const std::string gbk = "SET realmlist \"\xB5\xC7\xC2\xBC.example.cn\"\r\n"; // GBK, no byte-order mark
    EXPECT_EQ(ReadBytes(p + "realmlist.wtf"), gbk);
    EXPECT_EQ(ReadBytes(p + "Data/zhCN/realmlist.wtf"), gbk);
    ASSERT_TRUE(WaitForLines(p + "starts.log", 2));

    // Two starts, two processes, each launched by its full path without arguments and seeing
    // the realm list of its own start.
    std::string log = ReadBytes(p + "starts.log");
    std::string firstPid = log.substr(0, log.find(' '));
    std::string secondPid = log.substr(log.find('\n') + 1, log.find(' ', log.find('\n')) - log.find('\n') - 1);
    EXPECT_NE(firstPid, secondPid);
    EXPECT_NE(log.find(" " + p + "wow.exe \n"), std::string::npos) << log;
    EXPECT_EQ(ReadBytes(p + "seen-" + firstPid + ".wtf"), expected);
    EXPECT_EQ(ReadBytes(p + "seen-" + secondPid + ".wtf"), gbk);

    // No host from the service yet: empty quotes, and the game still starts.
    ASSERT_EQ(StartGame(p, ""), StartGameResult::Started);
    EXPECT_EQ(ReadBytes(p + "realmlist.wtf"), "SET realmlist \"\"\r\n");
    ASSERT_TRUE(WaitForLines(p + "starts.log", 3));
}

TEST(StartGame, MissingClientOrUnwritableRealmListChangesNothingAndStartsNothing) {
    TempFolder dir;
    const std::string p = dir.Path();
    WriteBytes(p + "realmlist.wtf", "SET realmlist \"kept\"\r\n");
    EXPECT_EQ(StartGame(p, "new.host"), StartGameResult::ClientMissing);
    EXPECT_EQ(ReadBytes(p + "realmlist.wtf"), "SET realmlist \"kept\"\r\n");

    MakeFakeGame(p);
    fs::create_directories(p + "Data/zhCN");
    WriteBytes(p + "Data/zhCN/realmlist.wtf", "SET realmlist \"kept\"\r\n");
    ASSERT_TRUE(platform::SetReadOnly(p + "realmlist.wtf", true));
    try {
        StartGame(p, "new.host");
        FAIL() << "a read-only realm list must raise";
    } catch (const tw::Error& e) {
        EXPECT_NE(std::string(e.what()).find(p + "realmlist.wtf"), std::string::npos) << e.what();
    }
    EXPECT_EQ(ReadBytes(p + "realmlist.wtf"), "SET realmlist \"kept\"\r\n");
    EXPECT_EQ(ReadBytes(p + "Data/zhCN/realmlist.wtf"), "SET realmlist \"kept\"\r\n") << "later steps are skipped";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(Exists(p + "starts.log")) << "the game must not start";
}

TEST(Maintenance, RemovesEachGroupAndNothingElseNotEvenThroughLinks) {
    TempFolder dir, outside;
    const std::string p = dir.Path();
    for (const char* f : {"Cache/WDB/zhCN/creature.wdb", "Errors/e.txt", "Logs/.hidden.log", "WTF/Account/ME/bindings.txt",
                          "WTF/Config.wtf", "Interface/AddOns/Bag/Bag.toc", "Interface/FrameXML/x.xml", "Fonts/ARKai_T.ttf",
                          "Data/zhCN/locale.MPQ"})
        WriteBytes(p + f, f);
    ::chmod((p + "Cache/WDB/zhCN/creature.wdb").c_str(), 0444);
    ::chmod((p + "Cache/WDB/zhCN").c_str(), 0555);
    WriteBytes(outside / "precious.txt", "precious");
    fs::create_directory_symlink(outside.Path(), p + "Cache/link-out");
    fs::create_directory_symlink(outside.Path(), p + "Fonts/shared");

    ClearCache(p);
    EXPECT_FALSE(Exists(p + "Cache"));
    EXPECT_FALSE(Exists(p + "Errors"));
    EXPECT_FALSE(Exists(p + "Logs"));
    EXPECT_TRUE(Exists(p + "WTF/Account/ME/bindings.txt"));
    ClearCache(p); // nothing left: nothing happens

    ClearUserCache(p);
    EXPECT_FALSE(Exists(p + "WTF/Account"));
    EXPECT_FALSE(Exists(p + "Interface/AddOns"));
    EXPECT_TRUE(Exists(p + "WTF/Config.wtf"));
    EXPECT_TRUE(Exists(p + "Interface/FrameXML/x.xml"));

    ClearFonts(p);
    EXPECT_FALSE(Exists(p + "Fonts"));
    EXPECT_TRUE(Exists(p + "Data/zhCN/locale.MPQ"));
    EXPECT_EQ(ReadBytes(outside / "precious.txt"), "precious");
}

TEST(OpenUrl, OnlyWebAddressesReachTheDesktop) {
    for (const char* ok : {"http://example.com", "https://example.com/path?q=1#x", "HTTPS://EXAMPLE.COM:8443/",
                           "http://user@host/", "http://[::1]:80/"})
        EXPECT_TRUE(IsWebAddress(ok)) << ok;
    for (const char* bad : {"", "example.com", "file:///etc/passwd", "/usr/bin/xterm", "C:\\Windows\\notepad.exe",
                            "javascript:alert(1)", "http:example.com", "http://", "http:///path", "ftp://host/",
                            "  http://example.com", "http://exa mple.com", "http://host/\nsecond", "httpx://host",
                            "smb://host/share", "wow.exe"})
        EXPECT_FALSE(IsWebAddress(bad)) << bad;
    EXPECT_FALSE(OpenWebAddress("/bin/true"));
}
