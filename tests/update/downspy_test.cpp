// The update worker's sequence (home page, game host, self-update) against the reference service,
// with a recorder in place of the main window.
#include "update/downSpy.h"

#include "base/helpers.h"
#include "platform/process.h"
#include "recorder.h"
#include "reference_service.h"
#include "tarnwick_config.h"
#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <regex>
#include <thread>

using namespace tw;
using namespace tw::test;
using nlohmann::json;

namespace {

const char kInit[] = "正在初始化……";
const char kCheck[] = "正在效验登录器版本...";
const char kFound[] = "发现新版本，正在升级";

// The update program: it leaves its arguments beside itself.
const char kUpdateProgram[] = "#!/bin/sh\nprintf '%s|' \"$@\" > \"$(dirname \"$0\")/marker.tmp\"\n"
                              "mv \"$(dirname \"$0\")/marker.tmp\" \"$(dirname \"$0\")/marker.txt\"\n";

class WorkerTest : public ::testing::Test {
protected:
    TempFolder root{"tarnwick-root"};
    TempFolder program{"tarnwick-program folder"}; // a blank in the path on purpose
    std::unique_ptr<ReferenceService> service;
    std::unique_ptr<Recorder> form = std::make_unique<Recorder>();

    void SetUp() override {
        WriteBytes(root / "home/index.html", "<html></html>");
        WriteBytes(root / "update/tarnwick_update.sh", kUpdateProgram);
        Settings(json::object());
        service = std::make_unique<ReferenceService>(root.Path());
        ::setenv("TARNWICK_SERVICE_URL", service->Endpoint().c_str(), 1);
        ::setenv("TARNWICK_DOWNLOAD_HOST", service->Base().c_str(), 1);
    }
    void Settings(const json& settings) { WriteBytes(root / "service.json", settings.dump()); }
    json Update(const std::string& version = "9.0.0.0") {
        return {{"version", version}, {"file", "update/tarnwick_update.sh"}, {"filename", "tarnwick_update.sh"},
                {"paramstr", "--from launcher"}};
    }
    std::string Temp() const { return program / "down/temp/"; }

    // Runs one worker to its end.
    void RunWorker() {
        std::promise<void> ended;
        auto* spy = new TDownSpy(*form, Temp(), program / "down/", program.Path());
        spy->OnTerminate = [&] { ended.set_value(); };
        spy->Resume();
        ASSERT_EQ(ended.get_future().wait_for(std::chrono::seconds(120)), std::future_status::ready);
        ASSERT_EQ(form->Count("lblstartgame"), 1u);
        EXPECT_EQ(form->Events().back().kind, "lblstartgame") << "the game-ready notice comes last";
    }
    std::vector<std::string> Statuses() const { return form->Texts("lblmsg"); }
    std::vector<std::string> Actions() const {
        std::vector<std::string> out;
        for (const auto& r : service->Requests())
            out.push_back(r["method"].get<std::string>() + " " + r["target"].get<std::string>() +
                          (r["body"].get<std::string>().empty() ? "" : " " + r["body"].get<std::string>()));
        return out;
    }
    bool WaitForFile(const std::string& path) {
        for (int i = 0; i < 500 && !Exists(path); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return Exists(path);
    }
};

} // namespace

TEST_F(WorkerTest, WithoutUpdateTheHomePageAndHostAreSet) {
    Settings({{"wowhost", " \t10.0.0.7 \r\n"}, {"update", Update(TARNWICK_VERSION_TEXT)}});
    RunWorker();
    EXPECT_EQ(form->Events(), (std::vector<Recorded>{{"lblmsg", kInit},
                                                    {"load", service->Url("/home/index.html")},
                                                    {"lblmsg", kCheck},
                                                    {"lblstartgame", ""}}));
    EXPECT_EQ(form->WowHost(), "10.0.0.7");
    EXPECT_EQ(Actions(), (std::vector<std::string>{"POST /index.php c=launcher&a=gethomepageurl",
                                                   "POST /index.php c=launcher&a=getwowhost",
                                                   std::string("POST /index.php c=launcher&a=getupdate&version=") +
                                                       TARNWICK_VERSION_TEXT}));
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
    int last = -1;
    for (std::size_t i = 3; i < statuses.size(); ++i) {
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

TEST_F(WorkerTest, MismatchingDigestStartsNothing) {
    json update = Update();
    update["md5"] = Md5Hex(FileMd5(root / "update/tarnwick_update.sh"));
    for (char& c : update["md5"].get_ref<std::string&>())
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c))); // the right digest, wrong case
    Settings({{"update", update}});
    RunWorker();
    EXPECT_EQ(ReadBytes(Temp() + "tarnwick_update.sh"), kUpdateProgram) << "the file stays";
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
        EXPECT_EQ(Statuses(), (std::vector<std::string>{kInit, kCheck})) << name;
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
    ASSERT_GE(statuses.size(), 4u);
    EXPECT_EQ(statuses.back(), "新版本登录器正在下载中 200 KiB");
    EXPECT_EQ(ReadBytes(Temp() + "big.bin"), ReadBytes(root / "update/big.bin"));
}

TEST_F(WorkerTest, EveryFailureEndsTheSequenceWithTheGameReadyNotice) {
    struct Case {
        const char* name;
        json knobs;
        std::vector<std::string> statuses;
        std::size_t loads;
    };
    const std::vector<Case> cases = {
        {"home page answer is a list", {{"actions", {{"gethomepageurl", {{"body", "[1]"}}}}}}, {kInit}, 0},
        {"home page answer is not JSON", {{"actions", {{"gethomepageurl", {{"body", "<html>"}}}}}}, {kInit}, 0},
        {"game host answer is a text", {{"actions", {{"getwowhost", {{"body", "\"x\""}}}}}}, {kInit}, 1},
        {"update answer has status 500", {{"actions", {{"getupdate", {{"status", 500}}}}}}, {kInit, kCheck}, 1},
        {"update answer cut short", {{"actions", {{"getupdate", {{"cut_after", 5}}}}}}, {kInit, kCheck}, 1},
        {"update download fails", {{"paths", {{"/files/update/tarnwick_update.sh", {{"status", 404}}}}}},
         {kInit, kCheck, kFound}, 1},
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
    }
    EXPECT_FALSE(Exists(Temp() + "marker.txt"));
}

TEST_F(WorkerTest, ServiceDownGivesOnlyTheFirstTextAndTheNotice) {
    service->Stop();
    RunWorker();
    EXPECT_EQ(form->Events(), (std::vector<Recorded>{{"lblmsg", kInit}, {"lblstartgame", ""}}));
    EXPECT_EQ(form->WowHost(), "");
}

TEST_F(WorkerTest, AnEmptyHomePageUrlIsStillLoaded) {
    Settings({{"homepage", "  "}});
    RunWorker();
    EXPECT_EQ(form->Texts("load"), (std::vector<std::string>{""}));
}
