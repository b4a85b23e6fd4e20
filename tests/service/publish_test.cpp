// Publishing a server folder, and a service that answers only from what was published.
#include "raw_http.h"
#include "reference_service.h"
#include "test_support.h"

#include "net/signature.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

using namespace tw::test;
using ::testing::HasSubstr;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Runs `tarnwick_service publish`; its exit status, and what it printed in `out`.
int Publish(const TempFolder& root, std::string* out = nullptr, const std::vector<std::string>& args = {}) {
    const std::string log = root / "../publish-" + std::to_string(::getpid()) + ".out";
    std::string extra;
    for (const auto& a : args)
        extra += " '" + a + "'";
    int status = Shell("'" + BuildDir() + "/service/tarnwick_service' publish --root '" + root.Path() + "'" + extra +
                       " >'" + log + "' 2>&1");
    if (out)
        *out = ReadBytes(log);
    fs::remove(log);
    return status;
}

RawAnswer Action(const ReferenceService& service, const std::string& action) {
    const std::string body = "c=launcher&a=" + action;
    return RawRequest(service.Port(), "POST /index.php HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                                      "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                          std::to_string(body.size()) + "\r\n\r\n" + body);
}

std::map<std::string, std::string> Digests(const RawAnswer& a) {
    std::map<std::string, std::string> out;
    const json answer = json::parse(a.body);
    for (const auto& e : answer["downlist"])
        out[e["filename"]] = e["MD5"];
    return out;
}

} // namespace

TEST(Publish, ServesWhatWasPublishedAndNamesWhatChangedSince) {
    TempFolder root;
    WriteBytes(root / "client/wow.exe", "game");
    WriteBytes(root / "client/Data/common.MPQ", "data");
    WriteBytes(root / "update/setup.sh", "update");
    WriteBytes(root / "service.json", R"({"update": {"version": "9.0", "file": "update/setup.sh"}})");
    {
        ReferenceService unpublished(root.Path(), {}, {}, true);
        EXPECT_EQ(Action(unpublished, "getWowFiles").status, 503);
        EXPECT_EQ(Action(unpublished, "getwowhost").status, 200);
        unpublished.Stop();
        EXPECT_THAT(unpublished.Output(), HasSubstr("nothing is published"));
    }

    std::string out;
    ASSERT_EQ(Publish(root, &out), 0) << out;
    EXPECT_THAT(out, HasSubstr("published 3 files"));
    ReferenceService service(root.Path(), {}, {}, true);
    const std::map<std::string, std::string> first{{"wow.exe", ToolMd5(root / "client/wow.exe")},
                                                   {"Data/common.MPQ", ToolMd5(root / "client/Data/common.MPQ")}};
    EXPECT_EQ(Digests(Action(service, "getWowFiles")), first);
    EXPECT_EQ(json::parse(Action(service, "getupdate").body)["MD5"], ToolMd5(root / "update/setup.sh"));

    // A change after publishing: still answered as published, and named when the file is asked for.
    WriteBytes(root / "client/wow.exe", "a newer game");
    EXPECT_EQ(Digests(Action(service, "getWowFiles")), first) << "no digest at request time";
    EXPECT_EQ(RawRequest(service.Port(), Get("/files/client/wow.exe")).body, "a newer game");
    service.Stop();
    EXPECT_THAT(service.Output(), HasSubstr("stale: client/wow.exe changed after it was published; served"));
    ReferenceService restarted(root.Path(), {}, {}, true);
    restarted.Stop();
    EXPECT_THAT(restarted.Output(), HasSubstr("stale: client/wow.exe changed after it was published\n"));

    // Publishing again digests only what changed.
    ASSERT_EQ(Publish(root, &out), 0) << out;
    EXPECT_THAT(out, HasSubstr("1 digested, 2 unchanged"));
    ReferenceService republished(root.Path(), {}, {}, true);
    EXPECT_EQ(Digests(Action(republished, "getWowFiles")).at("wow.exe"), ToolMd5(root / "client/wow.exe"));
}

TEST(Publish, RefusesNamesALauncherWouldRefuseAndKeepsThePublishedState) {
    struct Row {
        const char* what;
        std::function<void(const TempFolder&)> spoil;
        const char* named;
    };
    const Row rows[] = {
        {"line break", [](const TempFolder& r) { WriteBytes(r / "client/bad\nname.txt", "x"); },
         "\"client/bad\\nname.txt\""},
        {"link to /etc", [](const TempFolder& r) { fs::create_symlink("/etc", r / "client/etc"); },
         "\"client/etc\": a symbolic link that leads out"},
        {"link to a file outside",
         [](const TempFolder& r) { fs::create_symlink(r / "service.json", r / "patches/p.MPQ"); },
         "\"patches/p.MPQ\": a symbolic link that leads out"},
        {"update outside",
         [](const TempFolder& r) { WriteBytes(r / "service.json", R"({"update": {"version": "9", "file": "../x"}})"); },
         "update \"../x\""},
        {"absolute add-on",
         [](const TempFolder& r) { WriteBytes(r / "service.json", R"({"addons": [{"file": "/etc/passwd"}]})"); },
         "add-on \"/etc/passwd\""},
        {"add-on beside the content",
         [](const TempFolder& r) { WriteBytes(r / "service.json", R"({"addons": [{"file": "service.json"}]})"); },
         "add-on \"service.json\""},
    };
    for (const auto& row : rows) {
        TempFolder root;
        WriteBytes(root / "client/wow.exe", "game");
        WriteBytes(root / "patches/.keep", "");
        WriteBytes(root / "service.json", "{}");
        ASSERT_EQ(Publish(root), 0) << row.what;
        const std::string before = ReadBytes(root / "published.json");
        row.spoil(root);
        std::string out;
        EXPECT_NE(Publish(root, &out), 0) << row.what;
        EXPECT_THAT(out, HasSubstr("refused " + std::string(row.named))) << row.what;
        EXPECT_EQ(ReadBytes(root / "published.json"), before) << row.what;
    }
}

TEST(Publish, AnEmptyFolderPublishesEmptyLists) {
    TempFolder root;
    fs::create_directories(root / "client");
    ASSERT_EQ(Publish(root), 0);
    ReferenceService service(root.Path(), {}, {}, true);
    EXPECT_EQ(json::parse(Action(service, "getWowFiles").body), json::parse(R"({"count": 0, "downlist": []})"));
    EXPECT_EQ(json::parse(Action(service, "getupdate").body), json::parse(R"({"url": ""})"));
}

// A publish killed while it writes the new state (its temporary file is a pipe here, so that it
// is stopped with part of the state written) leaves the old state whole and in force.
TEST(Publish, AKilledPublishLeavesTheOldStateInForce) {
    TempFolder root;
    WriteBytes(root / "client/wow.exe", "game");
    ASSERT_EQ(Publish(root), 0);
    const std::string before = ReadBytes(root / "published.json");
    ReferenceService service(root.Path(), {}, {}, true);
    const auto old = Digests(Action(service, "getWowFiles"));

    for (int i = 0; i < 3000; ++i)
        WriteBytes(root / ("client/Data/file-" + std::to_string(i) + ".MPQ"), std::to_string(i));
    ASSERT_EQ(::mkfifo((root / "published.json.tmp").c_str(), 0600), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const std::string program = BuildDir() + "/service/tarnwick_service";
        ::execl(program.c_str(), program.c_str(), "publish", "--root", root.Path().c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const int pipe = ::open((root / "published.json.tmp").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(pipe, 0);
    int status = 0;
    ssize_t got = 0;
    char part[4096];
    for (int i = 0; i < 1200 && got <= 0 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) {
        pollfd p{pipe, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0)
            got = ::read(pipe, part, sizeof part);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ::close(pipe);
    ASSERT_GT(got, 0) << "the new state is written under a temporary name";
    ASSERT_TRUE(WIFSIGNALED(status)) << "killed while it was writing";

    EXPECT_EQ(ReadBytes(root / "published.json"), before);
    EXPECT_EQ(Digests(Action(service, "getWowFiles")), old);
    fs::remove(root / "published.json.tmp");
    ASSERT_EQ(Publish(root), 0);
    EXPECT_EQ(Digests(Action(service, "getWowFiles")).size(), 3001u) << "the next publish takes over";
}

// Published with a key, the answers carry signatures that a launcher built with the public key
// takes, from a service that has no key of its own; the URLs in them are those of public_url.
TEST(Publish, SignsWhatItPublishes) {
    TempFolder root, keys;
    const tw::TAnswerVerifier verifier(ReferenceService::Keygen(keys.Path()));
    WriteBytes(root / "client/wow.exe", "game");
    WriteBytes(root / "patches/Data/p.MPQ", "patch");
    WriteBytes(root / "update/setup.sh", "update");
    WriteBytes(root / "addons/A.zip", "zip");
    WriteBytes(root / "service.json", R"({"update": {"version": "9.0", "file": "update/setup.sh"},
                                          "addons": [{"file": "addons/A.zip"}]})");
    std::string out;
    EXPECT_NE(Publish(root, &out, {"--signing-key", keys / "signing-key.pem"}), 0);
    EXPECT_THAT(out, HasSubstr("\"public_url\"")) << "signed answers need a fixed address";
    WriteBytes(root / "service.json", R"({"public_url": "https://cdn.example.test",
                                          "update": {"version": "9.0", "file": "update/setup.sh"},
                                          "addons": [{"file": "addons/A.zip"}]})");
    ASSERT_EQ(Publish(root, &out, {"--signing-key", keys / "signing-key.pem"}), 0) << out;

    ReferenceService service(root.Path(), {}, {}, true);
    auto post = [&](const std::string& form) {
        return RawRequest(service.Port(), "POST /index.php HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                                          "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                              std::to_string(form.size()) + "\r\n\r\n" + form);
    };
    struct Row {
        const char* action;
        RawAnswer answer;
    };
    const Row answers[] = {
        {"gethomepageurl", post("c=launcher&a=gethomepageurl")},
        {"getwowhost", post("c=launcher&a=getwowhost")},
        {"getupdate", post("c=launcher&a=getupdate&version=2.0")},
        {"getupdate", post("c=launcher&a=getupdate&version=9.0")},
        {"getWowFiles", post("c=launcher&a=getWowFiles")},
        {"getPatches", post("c=launcher&a=getPatches")},
        {"aria2.conf", RawRequest(service.Port(), Get("/apps/w02/aria2.conf"))},
        {"addons", RawRequest(service.Port(), Get("/api/addons"))},
    };
    auto header = [](const RawAnswer& a, const std::string& name) {
        const std::string marker = "\r\n" + name + ": ";
        const auto at = a.head.find(marker);
        return at == std::string::npos
                   ? std::string()
                   : a.head.substr(at + marker.size(), a.head.find("\r\n", at + 2) - at - marker.size());
    };
    std::string serial;
    for (const auto& [action, a] : answers) {
        EXPECT_EQ(a.status, 200) << action;
        const tw::AnswerStamp stamp{header(a, "X-Tarnwick-Signature"), header(a, "X-Tarnwick-Serial"),
                                    header(a, "X-Tarnwick-Expires")};
        EXPECT_NO_THROW(verifier.Verify(action, a.body, stamp, tw::UnixNow(), 0)) << action;
        EXPECT_EQ(serial.empty() ? serial = stamp.serial : serial, stamp.serial) << "one publish, one serial";
        EXPECT_GT(std::stoll(stamp.expires), tw::UnixNow() + 6 * 86400) << "a week by default";
    }
    EXPECT_THAT(answers[2].answer.body, HasSubstr("https://cdn.example.test/files/update/setup.sh"));
    EXPECT_THAT(answers[2].answer.body, HasSubstr("\"version\":\"9.0\"")) << "the offer names its version";
    EXPECT_EQ(json::parse(answers[3].answer.body), json::parse(R"({"url": ""})"));
    EXPECT_THAT(answers[4].answer.body, HasSubstr("https://cdn.example.test/files/client/wow.exe"));

    // Publishing again, even at once and with another lifetime, gives a higher serial.
    ASSERT_EQ(Publish(root, &out, {"--signing-key", keys / "signing-key.pem", "--lifetime", "2h"}), 0) << out;
    EXPECT_THAT(out, HasSubstr("publish again before then"));
    for (int i = 0; i < 500 && header(post("c=launcher&a=getwowhost"), "X-Tarnwick-Serial") == serial; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // the service takes the new state on its own
    const RawAnswer again = post("c=launcher&a=getwowhost");
    EXPECT_GT(std::stoull(header(again, "X-Tarnwick-Serial")), std::stoull(serial));
    EXPECT_LT(std::stoll(header(again, "X-Tarnwick-Expires")), tw::UnixNow() + 2 * 3600 + 60);
    for (const char* bad : {"0", "30", "2x", "400d", "-5m"})
        EXPECT_NE(Publish(root, &out, {"--signing-key", keys / "signing-key.pem", "--lifetime", bad}), 0) << bad;
}

// Each file's size is named beside its digest; state published before sizes were kept is still
// served, without them.
TEST(Publish, NamesSizesAndServesOlderStateWithout) {
    TempFolder root;
    WriteBytes(root / "client/wow.exe", "game");
    WriteBytes(root / "patches/Data/a.MPQ", "a patch");
    WriteBytes(root / "update/setup.sh", "update");
    WriteBytes(root / "service.json", R"({"update": {"version": "9.0", "file": "update/setup.sh"}})");
    std::string out;
    ASSERT_EQ(Publish(root, &out), 0) << out;
    {
        ReferenceService service(root.Path(), {}, {}, true);
        EXPECT_EQ(json::parse(Action(service, "getWowFiles").body)["downlist"][0]["size"], 4);
        EXPECT_EQ(json::parse(Action(service, "getPatches").body)["downlist"][0]["size"], 7);
        EXPECT_EQ(json::parse(Action(service, "getupdate").body)["size"], 6);
    }
    json published = json::parse(ReadBytes(root / "published.json"));
    for (const char* list : {"client", "patches"})
        for (auto& e : published[list])
            e.erase("size");
    published["update"].erase("size");
    WriteBytes(root / "published.json", published.dump());
    ReferenceService older(root.Path(), {}, {}, true);
    const json client = json::parse(Action(older, "getWowFiles").body);
    EXPECT_FALSE(client["downlist"][0].contains("size"));
    EXPECT_EQ(client["downlist"][0]["MD5"], ToolMd5(root / "client/wow.exe"));
    EXPECT_FALSE(json::parse(Action(older, "getupdate").body).contains("size"));
}
