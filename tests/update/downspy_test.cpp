// The update worker's sequence (home page, game host, self-update) against the reference service,
// with a recorder in place of the main window.
#include "update/downSpy.h"

#include "base/helpers.h"
#include "platform/process.h"
#include "tarnwick_config.h"
#include "test_support.h"
#include "worker_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <regex>
#include <thread>

using namespace tw;
using namespace tw::test;
using nlohmann::json;

using WorkerTest = WorkerFixture;

TEST_F(WorkerTest, WithoutUpdateTheHomePageAndHostAreSet) {
    Settings({{"wowhost", " \t10.0.0.7 \r\n"}, {"update", Update(TARNWICK_VERSION_TEXT)}});
    RunWorker();
    EXPECT_EQ(form->Events(), (std::vector<Recorded>{{"lblmsg", kInit},
                                                     {"load", service->Url("/home/index.html")},
                                                     {"lblmsg", kCheck},
                                                     {"lblmsg", kPatchCheck},
                                                     {"lblmsg", kPatchVerify},
                                                     {"post", std::to_string(MSG_CLEAR_CACHE)},
                                                     {"lblstartgame", ""}}));
    EXPECT_EQ(form->WowHost(), "10.0.0.7");
    EXPECT_EQ(Actions(), (std::vector<std::string>{
                             "POST /index.php c=launcher&a=gethomepageurl", "POST /index.php c=launcher&a=getwowhost",
                             std::string("POST /index.php c=launcher&a=getupdate&version=") + TARNWICK_VERSION_TEXT,
                             "POST /index.php c=launcher&a=getPatches"}));
    EXPECT_TRUE(Exists(Temp())) << "the temporary folder is made";
}

TEST_F(WorkerTest, MatchingUpdateIsDownloadedAndStarted) {
    Settings({{"update", Update()}});
    WriteBytes(Temp() + "tarnwick_update.sh", "an old leftover, longer than the new program is, by far and away....");
    RunWorker();
    auto statuses = Statuses();
    ASSERT_GE(statuses.size(), 4u);
    EXPECT_EQ(statuses[0], kInit);
    EXPECT_EQ(statuses[1], kCheck);
    EXPECT_EQ(statuses[2], kFound);
    ASSERT_EQ(statuses.back(), kPatchVerify);
    ASSERT_EQ(statuses[statuses.size() - 2], kPatchCheck);
    int last = -1;
    for (std::size_t i = 3; i + 2 < statuses.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(statuses[i], m, std::regex("新版本登录器正在下载中 (\\d+)"))) << statuses[i];
        int percent = std::stoi(m[1]);
        EXPECT_GT(percent, last) << "only changed texts are sent";
        last = percent;
    }
    EXPECT_EQ(last, 100);
    EXPECT_EQ(ReadBytes(Temp() + "tarnwick_update.sh"), kUpdateProgram);
    ASSERT_TRUE(WaitForFile(Temp() + "marker.txt")) << "the update program ran";
    EXPECT_EQ(ReadBytes(Temp() + "marker.txt"), "--from|launcher|");
}

// A run cut off in the middle of a download leaves its folder; the next run clears it, and
// leaves the rest of the temporary folder alone.
TEST_F(WorkerTest, DownloadFoldersOfEarlierRunsAreCleared) {
    WriteBytes(Temp() + "download-0-1-2/a.MPQ", "half a patch");
    WriteBytes(Temp() + "kept.txt", "not ours");
    RunWorker();
    EXPECT_FALSE(Exists(Temp() + "download-0-1-2"));
    EXPECT_TRUE(Exists(Temp() + "kept.txt"));
}

TEST_F(WorkerTest, MismatchingDigestStartsNothing) {
    json update = Update();
    update["md5"] = Md5Hex(FileMd5(root / "update/tarnwick_update.sh"));
    for (char& c : update["md5"].get_ref<std::string&>())
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c))); // the right digest, wrong case
    Settings({{"update", update}});
    RunWorker();
    EXPECT_FALSE(Exists(Temp() + "tarnwick_update.sh")) << "a download that failed its check is deleted at once";
    EXPECT_TRUE(std::filesystem::is_empty(Temp()));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(Exists(Temp() + "marker.txt"));
    EXPECT_FALSE(platform::IsExecutableFile(Temp() + "tarnwick_update.sh")) << "made runnable only when it matched";
}

TEST_F(WorkerTest, UpdateNamesThatAreNotBareFileNamesFetchNothing) {
    for (std::string name : {"../escape.sh", "sub/x.sh", "", "..", "/tmp/abs.sh"}) {
        json update = Update();
        update["filename"] = name;
        Settings({{"update", update}});
        form = std::make_unique<Recorder>();
        RunWorker();
        EXPECT_EQ(Statuses(), (std::vector<std::string>{kInit, kCheck, kPatchCheck, kPatchVerify})) << name;
        for (const auto& a : Actions())
            EXPECT_THAT(a, ::testing::Not(::testing::HasSubstr("GET /files/update"))) << name;
    }
    EXPECT_FALSE(Exists(program / "down/escape.sh"));
}

TEST_F(WorkerTest, WithoutAnnouncedLengthTheAmountIsShown) {
    WritePatternFile(root / "update/big.bin", 200 * 1024);
    json update = Update();
    update["file"] = "update/big.bin";
    update["filename"] = "big.bin";
    Settings({{"update", update}});
    service->SetKnobs({{"paths", {{"/files/update/big.bin", {{"no_length", true}}}}}});
    RunWorker();
    auto statuses = Statuses();
    ASSERT_GE(statuses.size(), 6u);
    EXPECT_EQ(statuses[statuses.size() - 3], "新版本登录器正在下载中 200 KiB");
    EXPECT_EQ(ReadBytes(Temp() + "big.bin"), ReadBytes(root / "update/big.bin"));
}

TEST_F(WorkerTest, EveryFailureEndsTheSequenceWithTheGameReadyNotice) {
    struct Case {
        const char* name;
        json knobs;
        std::vector<std::string> statuses;
        std::size_t loads;
        const char* failure; // the last text, before the game-ready notice
    };
    const std::vector<Case> cases = {
        {"home page answer is a list",
         {{"actions", {{"gethomepageurl", {{"body", "[1]"}}}}}},
         {kInit},
         0,
         kFailBadAnswer},
        {"home page answer is not JSON",
         {{"actions", {{"gethomepageurl", {{"body", "<html>"}}}}}},
         {kInit},
         0,
         kFailBadAnswer},
        {"game host answer is a text",
         {{"actions", {{"getwowhost", {{"body", "\"x\""}}}}}},
         {kInit},
         1,
         kFailBadAnswer},
        {"update answer has status 500",
         {{"actions", {{"getupdate", {{"status", 500}}}}}},
         {kInit, kCheck},
         1,
         kFailBadAnswer},
        {"update answer cut short",
         {{"actions", {{"getupdate", {{"cut_after", 5}}}}}},
         {kInit, kCheck},
         1,
         kFailBadAnswer},
        {"update download fails",
         {{"paths", {{"/files/update/tarnwick_update.sh", {{"status", 404}}}}}},
         {kInit, kCheck, kFound},
         1,
         kFailDownload},
        {"update download cut short",
         {{"paths", {{"/files/update/tarnwick_update.sh", {{"cut_after", 10}}}}}},
         {kInit, kCheck, kFound},
         1,
         kFailDownload},
    };
    Settings({{"update", Update()}});
    for (const auto& c : cases) {
        form = std::make_unique<Recorder>();
        service->SetKnobs(c.knobs);
        RunWorker();
        auto statuses = Statuses();
        // The error page's own body may show progress texts after the last stage text.
        ASSERT_GE(statuses.size(), c.statuses.size()) << c.name;
        statuses.resize(c.statuses.size());
        EXPECT_EQ(statuses, c.statuses) << c.name;
        EXPECT_EQ(form->Count("load"), c.loads) << c.name;
        EXPECT_EQ(Statuses().back(), c.failure) << c.name;
        EXPECT_FALSE(Exists(Temp() + "tarnwick_update.sh")) << c.name << ": no part of a download is kept";
    }
    EXPECT_FALSE(Exists(Temp() + "marker.txt"));
}

// A service hosted in China may answer in GBK, or with a stray byte: the answers are read and the
// sequence carries on, the game host trimmed as ever.
TEST_F(WorkerTest, AnswersThatAreNotUtf8DoNotEndTheSequence) {
    const auto hex = [](const std::string& bytes) {
        std::string out;
        for (unsigned char c : bytes)
            out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
        return out;
    };
    const std::string home = service->Url("/home/index.html");
    Settings({{"update", Update(TARNWICK_VERSION_TEXT)}});
    service->SetKnobs(
        {{"actions",
          {{"getwowhost", {{"body_hex", hex("{\"data\":\" \xB7\xFE\xCE\xF1\xC6\xF7.\xD6\xD0\xB9\xFA\\t\"}")}}},
           {"gethomepageurl", {{"body_hex", hex("{\"data\":\"" + home + "?\xFF\"}")}}}}}});
    RunWorker();
    EXPECT_EQ(form->WowHost(), "服务器.中国");
    EXPECT_EQ(form->Texts("load"), (std::vector<std::string>{home + "?\xEF\xBF\xBD"}));
    EXPECT_THAT(Statuses(), ::testing::Contains(kPatchCheck));
}

TEST_F(WorkerTest, ServiceDownIsSaidBeforeTheNotice) {
    service->Stop();
    RunWorker();
    EXPECT_EQ(form->Events(),
              (std::vector<Recorded>{{"lblmsg", kInit}, {"lblmsg", kFailUnreachable}, {"lblstartgame", ""}}));
    EXPECT_EQ(form->WowHost(), "");
}

TEST_F(WorkerTest, FileFailuresAreNamed) {
    // Something else at the update program's name: it cannot be written.
    Settings({{"update", Update()}});
    std::filesystem::create_directories(Temp() + "tarnwick_update.sh/x");
    RunWorker();
    EXPECT_EQ(Statuses().back(), kFailFiles);
}

// An offer of a version not newer than the launcher's own (a saved answer, a mirror left
// behind) is neither fetched nor started. One that names no version is taken here; a build with a
// key refuses it (SignedWorkerTest).
TEST_F(WorkerTest, AnOfferNotNewerThanTheLauncherIsNotTaken) {
    const struct {
        const char* version; // nullptr: none named
        bool taken;
    } rows[] = {{TARNWICK_VERSION_TEXT, false}, {"0.0.0.1", false}, {"99.0 beta", false}, {nullptr, true}};
    for (const auto& row : rows) {
        const std::string name = row.version ? row.version : "(none)";
        form = std::make_unique<Recorder>();
        std::filesystem::remove_all(Temp());
        json offer = {{"url", service->Url("/files/update/tarnwick_update.sh")},
                      {"filename", "tarnwick_update.sh"},
                      {"MD5", Md5Hex(FileMd5(root / "update/tarnwick_update.sh"))}};
        if (row.version)
            offer["version"] = row.version;
        service->SetKnobs({{"actions", {{"getupdate", {{"body", offer.dump()}}}}}});
        RunWorker();
        EXPECT_EQ(Exists(Temp() + "tarnwick_update.sh"), row.taken) << name;
        EXPECT_EQ(::testing::Matches(::testing::Contains(kFound))(Statuses()), row.taken) << name;
        EXPECT_EQ(Statuses().back(), kPatchVerify) << name;
    }
}

TEST_F(WorkerTest, AnEmptyHomePageUrlIsStillLoaded) {
    Settings({{"homepage", "  "}});
    RunWorker();
    EXPECT_EQ(form->Texts("load"), (std::vector<std::string>{""}));
}

// A worker that trusts a key: the service signs with its private half.
class SignedWorkerTest : public WorkerFixture {
protected:
    TempFolder keys;
    void SetUp() override {
        const std::string publicKey = ReferenceService::Keygen(keys.Path());
        ASSERT_EQ(publicKey.size(), 44u);
        verifier = TAnswerVerifier(publicKey);
        serviceArgs = {"--signing-key", HostPath(keys / "signing-key.pem")};
        WorkerFixture::SetUp();
    }
};

TEST_F(SignedWorkerTest, SignedAnswersRunTheWholeSequence) {
    Settings({{"wowhost", "10.0.0.7"}, {"update", Update()}});
    WriteBytes(program / "down/answer-serial", "not a number\n"); // a broken file costs nothing
    RunWorker();
    EXPECT_GT(std::stoull(ReadBytes(program / "down/answer-serial")), 0u) << "the serial taken is kept";
    ASSERT_TRUE(WaitForFile(Temp() + "marker.txt")) << "the update program ran";
    EXPECT_EQ(form->WowHost(), "10.0.0.7");
    EXPECT_EQ(Statuses().back(), kPatchVerify);
    EXPECT_EQ(form->Count("post"), 1u) << "the patch step ended and cleared the caches";
}

TEST_F(SignedWorkerTest, APlainHttpHomePageIsNoVerifiedAnswer) {
    // Whoever sits between the player and such a page could call every native function from it.
    for (const char* home : {"http://www.example.com/home/index.html", "http://10.0.0.5:8080/",
                             "https://user@www.example.com/", "file:///etc/passwd"}) {
        form = std::make_unique<Recorder>();
        Settings({{"homepage", home}});
        RunWorker();
        EXPECT_EQ(Statuses().back(), kFailUnverified) << home;
        EXPECT_EQ(form->Count("load"), 0u) << home;
    }
    for (const char* home : {"https://www.example.com/home/index.html", "http://127.0.0.1:8931/home"}) {
        form = std::make_unique<Recorder>();
        Settings({{"homepage", home}});
        RunWorker();
        EXPECT_NE(Statuses().back(), kFailUnverified) << home;
        EXPECT_EQ(form->Count("load"), 1u) << home;
    }
}

TEST_F(SignedWorkerTest, AnAnswerChangedOnTheWayIsNeitherReadNorActedOn) {
    WriteBytes(root / "patches/p.MPQ", "patch");
    WriteBytes(root / "client/wow.exe", "a game"); // a client list worth fetching
    struct Case {
        const char* action; // "" for aria2.conf
        std::function<void()> expect;
    };
    const json evilUpdate = {{"url", service->Url("/files/update/tarnwick_update.sh")},
                             {"filename", "tarnwick_update.sh"},
                             {"MD5", Md5Hex(FileMd5(root / "update/tarnwick_update.sh"))},
                             {"paramstr", "--evil"}};
    const json evilList = {
        {"count", 1},
        {"downlist", {{{"url", service->Url("/files/patches/p.MPQ")}, {"filename", "evil.MPQ"}, {"MD5", ""}}}}};
    const std::vector<Case> cases = {
        {"gethomepageurl", [&] { EXPECT_EQ(form->Count("load"), 0u); }},
        {"getwowhost", [&] { EXPECT_EQ(form->WowHost(), ""); }},
        {"getupdate", [&] { EXPECT_FALSE(Exists(Temp() + "tarnwick_update.sh")); }},
        {"getPatches", [&] { EXPECT_FALSE(Exists(program / "evil.MPQ")); }},
        {"getWowFiles", [&] { EXPECT_FALSE(Exists(program / "down/d.lst")); }},
        {"", [&] { EXPECT_FALSE(Exists(program / "down/aria2.conf")); }},
    };
    for (const auto& c : cases) {
        const std::string action = c.action;
        form = std::make_unique<Recorder>();
        std::filesystem::remove_all(program.Path());
        std::filesystem::create_directories(program.Path());
        if (action != "getWowFiles" && !action.empty())
            WriteBytes(program / "wow.exe", "a game");
        const json knob = {{"altered_body", action == "getupdate" ? evilUpdate.dump()
                                            : action.empty()      ? "on-download-complete=/bin/true\n"
                                                                  : evilList.dump()}};
        service->SetKnobs(action.empty() ? json{{"paths", {{"/apps/w02/aria2.conf", knob}}}}
                                         : json{{"actions", {{action, knob}}}});
        RunWorker();
        EXPECT_EQ(Statuses().back(), kFailUnverified) << action;
        c.expect();
        EXPECT_EQ(form->Count("post"), 0u) << action;
        for (const auto& a : Actions())
            EXPECT_EQ(a.find("GET /files/"), std::string::npos) << action << ": " << a;
    }
}

// Answers rightly signed, but for another request, superseded or out of time: refused, and
// nothing of them is acted on. The expired one tells the player to check the clock.
TEST_F(SignedWorkerTest, ReplayedSwappedExpiredAndOlderAnswersAreRefused) {
    // An answer as the service gave it, to be served again later or elsewhere.
    auto save = [&](const std::string& action, const FormFields& extra = {}) {
        THttpClient http;
        const std::string body = tw::PostAction(http, service->Endpoint(), action, extra);
        return json{{"body", body},
                    {"signature", http.LastHeader(kSignatureHeader)},
                    {"serial", http.LastHeader(kSerialHeader)},
                    {"expires", http.LastHeader(kExpiresHeader)}};
    };
    const json offer = {{"url", service->Url("/files/update/tarnwick_update.sh")},
                        {"filename", "tarnwick_update.sh"},
                        {"MD5", Md5Hex(FileMd5(root / "update/tarnwick_update.sh"))}};
    struct Row {
        const char* name;
        std::function<json()> knobs; // after the folder and settings are set afresh
        const char* status;          // the last status text
        std::function<void()> expect;
    };
    const std::vector<Row> rows = {
        {"an old getupdate replayed after a newer publish",
         [&] {
             Settings({{"update", Update()}});
             const json old = save("getupdate", {{"version", TARNWICK_VERSION_TEXT}});
             Settings(json::object());
             save("getWowFiles"); // the tests' service publishes before such an answer
             return json{{"actions", {{"getupdate", old}}}};
         },
         kFailUnverified, [&] { EXPECT_FALSE(Exists(Temp() + "tarnwick_update.sh")); }},
        {"the getWowFiles answer served for getPatches",
         [&] {
             WriteBytes(root / "client/Data/base.MPQ", "base");
             return json{{"actions", {{"getPatches", save("getWowFiles")}}}};
         },
         kFailUnverified, [&] { EXPECT_FALSE(Exists(program / "Data/base.MPQ")); }},
        {"an expired answer",
         [&] {
             return json{{"actions", {{"getwowhost", {{"expires_in", -1000}}}}}};
         },
         kFailExpired, [&] { EXPECT_EQ(form->WowHost(), ""); }},
        {"one that expired within the clock leeway",
         [&] {
             return json{{"actions", {{"getwowhost", {{"expires_in", -200}}}}}};
         },
         kPatchVerify, [&] { EXPECT_EQ(form->WowHost(), "127.0.0.1"); }},
        {"a serial below one an earlier run took",
         [&] {
             WriteBytes(program / "down/answer-serial", "999999999999999\n");
             return json::object();
         },
         kFailUnverified, [&] { EXPECT_EQ(form->Count("load"), 0u); }},
        {"an update offer that names no version",
         [&] {
             return json{{"actions", {{"getupdate", {{"body", offer.dump()}}}}}};
         },
         kPatchVerify, [&] { EXPECT_FALSE(Exists(Temp() + "tarnwick_update.sh")); }},
    };
    for (const auto& row : rows) {
        form = std::make_unique<Recorder>();
        std::filesystem::remove_all(program.Path());
        std::filesystem::create_directories(program.Path());
        WriteBytes(program / "wow.exe", "a game");
        std::filesystem::remove_all(root / "client");
        service->SetKnobs(json::object());
        Settings(json::object());
        service->SetKnobs(row.knobs());
        RunWorker();
        EXPECT_EQ(Statuses().back(), row.status) << row.name;
        EXPECT_THAT(Statuses(), ::testing::Not(::testing::Contains(kFound))) << row.name;
        row.expect();
    }
}

// A build with a key takes a file only with its size: a signed list or offer that names none is
// refused whole, and nothing is fetched.
TEST_F(SignedWorkerTest, ListsWithoutSizesAreRefused) {
    WriteBytes(root / "patches/Data/a.MPQ", "a patch");
    const json patch = {{"url", service->Url("/files/patches/Data/a.MPQ")},
                        {"filename", "Data/a.MPQ"},
                        {"MD5", Md5Hex(FileMd5(root / "patches/Data/a.MPQ"))}};
    const json offer = {{"url", service->Url("/files/update/tarnwick_update.sh")},
                        {"filename", "tarnwick_update.sh"},
                        {"version", "9.0.0.0"},
                        {"MD5", Md5Hex(FileMd5(root / "update/tarnwick_update.sh"))}};
    const struct {
        const char* action;
        std::string body;
    } rows[] = {{"getPatches", json{{"count", 1}, {"downlist", {patch}}}.dump()}, {"getupdate", offer.dump()}};
    for (const auto& row : rows) {
        form = std::make_unique<Recorder>();
        service->SetKnobs({{"actions", {{row.action, {{"body", row.body}}}}}});
        RunWorker();
        EXPECT_EQ(Statuses().back(), kFailBadAnswer) << row.action;
        for (const auto& a : Actions())
            EXPECT_EQ(a.find("GET /files/"), std::string::npos) << row.action << ": " << a;
    }
    EXPECT_FALSE(Exists(program / "Data/a.MPQ"));
}
