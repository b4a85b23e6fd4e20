// The rules for what the downloader is handed: list entries and the fetched aria2.conf.
#include "update/downloadInput.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tw;
using namespace std::string_literals;

TEST(DownloadInput, OnlyPlainHttpEntriesBelowTheFolderAreFetchable) {
    struct Case {
        std::string url, filename;
        bool fetchable;
    };
    const std::vector<Case> cases = {
        {"http://h/a.MPQ", "Data/a.MPQ", true},
        {"HTTPS://h/a%20b.MPQ?x=1", "Data\\zhCN\\a b.MPQ", true},
        {"http://h/a.MPQ\n dir=/elsewhere", "a.MPQ", false},
        {"http://h/a.MPQ\r", "a.MPQ", false},
        {"http://h/a.MPQ\thttp://other/a.MPQ", "a.MPQ", false},
        {"http://h/a\0.MPQ"s, "a.MPQ", false},
        {"http://h/a\x7f.MPQ", "a.MPQ", false},
        {"http://h/a.MPQ", "a.MPQ\r\n dir=/elsewhere", false},
        {"http://h/a.MPQ", "a\0.MPQ"s, false},
        {"http://h/a.MPQ", "a\t.MPQ", false},
        {"http://h/a.MPQ", "a\x7f.MPQ", false},
        {"http://h/a.MPQ", "../a.MPQ", false},
        {"ftp://h/a.MPQ", "a.MPQ", false},
        {"file:///etc/passwd", "a.MPQ", false},
        {"data:text/plain,x", "a.MPQ", false},
        {" http://h/a.MPQ", "a.MPQ", false},
        {"", "a.MPQ", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsFetchableEntry(c.url, c.filename), c.fetchable) << c.url << " | " << c.filename;
}

TEST(DownloadInput, TheConfigurationKeepsNoHookFolderOrOpenPort) {
    struct Case {
        std::string line;
        bool neutralised;
    };
    const std::vector<Case> cases = {
        {"on-download-complete=/tmp/x.sh", true},
        {"on-download-start=x", true},
        {"on-bt-download-complete=x", true},
        {"  On-Download-Error = x", true},
        {"\ton-download-stop\t=x", true},
        {"dir=/elsewhere", true},
        {"input-file=/elsewhere/list", true},
        {"save-session=/elsewhere/session", true},
        {"log=/elsewhere/log", true},
        {"save-cookies=/elsewhere/c", true},
        {"server-stat-of=/elsewhere/s", true},
        {"dht-file-path=/elsewhere/d", true},
        {"rpc-listen-all=true", true},
        {"rpc-allow-origin-all=true", true},
        {"#on-download-complete=x", false},
        {"continue=true", false},
        {"rpc-listen-port=58012", false},
        {"log-level=debug", false},
        {"dir", false}, // no value: aria2c ignores the line
        {"x=on-download-complete=y", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NeutraliseAria2Conf(c.line), (c.neutralised ? "#" : "") + c.line) << c.line;

    // Line ends, a missing last line end and every other byte stay as sent.
    EXPECT_EQ(NeutraliseAria2Conf("continue=true\r\nlog=/x\r\n\r\n# note\nfile-allocation=none"),
              "continue=true\r\n#log=/x\r\n\r\n# note\nfile-allocation=none");
    // A CR alone does not end a line for aria2c either: the second name is part of a value.
    EXPECT_EQ(NeutraliseAria2Conf("continue=true\ron-download-complete=x\n"),
              "continue=true\ron-download-complete=x\n");
}
