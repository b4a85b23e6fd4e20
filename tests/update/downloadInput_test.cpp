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

TEST(DownloadInput, TheConfigurationKeepsOnlySpeedAndRetrySettings) {
    struct Case {
        std::string line;
        bool neutralised;
    };
    const std::vector<Case> cases = {
        {"on-download-complete=/tmp/x.sh", true},
        {"  On-Download-Error = x", true},
        {"dir=/elsewhere", true},
        {"input-file=/elsewhere/list", true},
        {"rpc-listen-all=true", true},
        {"rpc-secret=known", true},
        {"follow-metalink=true", true},
        {"follow-torrent=mem", true},
        {"enable-dht=true", true},
        {"listen-port=6881", true},
        {"allow-overwrite=true", true},
        {"all-proxy=http://10.0.0.1:3128", true},
        {"check-certificate=false", true},
        {"load-cookies=/elsewhere/c", true},
        {"netrc-path=/elsewhere/n", true},
        {"remove-control-file=true", true},
        {"follow-torrent", true}, // no value: aria2c takes the option as set
        {"x=continue", true},
        {"#on-download-complete=x", false},
        {"", false},
        {"continue=true", false},
        {" Max-Connection-Per-Server = 16", false},
        {"split=8", false},
        {"max-overall-download-limit=1M", false},
        {"file-allocation=none", false},
        {"disk-cache=0", false},
        {"auto-save-interval=5", false},
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
