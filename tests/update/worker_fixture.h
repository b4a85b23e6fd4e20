#pragma once
// A program folder, a server folder with the reference service, and a recorder: the ground of
// the update worker's tests.
#include "update/downSpy.h"

#include "base/helpers.h"
#include "recorder.h"
#include "reference_service.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace tw::test {

using nlohmann::json;

inline constexpr char kInit[] = "正在初始化……";
inline constexpr char kCheck[] = "正在效验登录器版本...";
inline constexpr char kFound[] = "发现新版本，正在升级";
inline constexpr char kPatchCheck[] = "正在检测游戏补丁文件...";
inline constexpr char kPatchVerify[] = "效验补丁文件，请耐心等待...";

// The update program: it leaves its arguments beside itself.
inline constexpr char kUpdateProgram[] = "#!/bin/sh\nprintf '%s|' \"$@\" > \"$(dirname \"$0\")/marker.tmp\"\n"
                                         "mv \"$(dirname \"$0\")/marker.tmp\" \"$(dirname \"$0\")/marker.txt\"\n";

class WorkerFixture : public ::testing::Test {
protected:
    TempFolder root{"tarnwick-root"};
    TempFolder program{"tarnwick-program folder"}; // a blank in the path on purpose
    std::unique_ptr<ReferenceService> service;
    std::unique_ptr<Recorder> form = std::make_unique<Recorder>();
    std::unique_ptr<ScopedEnv> serviceUrl, downloadHost;

    // A client in the program folder by default: the worker then goes straight to the patches.
    bool withClient = true;
    // More of the service's command line, and the worker's verifier (none: answers unsigned).
    std::vector<std::string> serviceArgs;
    TAnswerVerifier verifier;

    void SetUp() override {
        if (withClient)
            WriteBytes(program / "wow.exe", "a game");
        WriteBytes(root / "home/index.html", "<html></html>");
        WriteBytes(root / "update/tarnwick_update.sh", kUpdateProgram);
        Settings(json::object());
        service = std::make_unique<ReferenceService>(root.Path(), ReferenceService::Tls{}, serviceArgs);
        serviceUrl = std::make_unique<ScopedEnv>("TARNWICK_SERVICE_URL", service->Endpoint().c_str());
        downloadHost = std::make_unique<ScopedEnv>("TARNWICK_DOWNLOAD_HOST", service->Base().c_str());
    }
    void Settings(const json& settings) {
        if (service)
            service->WriteSettings(settings);
        else
            WriteBytes(root / "service.json", settings.dump());
    }
    json Update(const std::string& version = "9.0.0.0") {
        return {{"version", version},
                {"file", "update/tarnwick_update.sh"},
                {"filename", "tarnwick_update.sh"},
                {"paramstr", "--from launcher"}};
    }
    std::string Temp() const { return program / "down/temp/"; }

    // Runs one worker to its end; `folder` (with its separator) stands for the program folder
    // when given, as another name of it.
    void RunWorker(const std::string& folder = {}) {
        const std::string base = folder.empty() ? program.Path() : folder;
        std::promise<void> ended;
        auto* spy = new TDownSpy(*form, base + "down/temp/", base + "down/", base, verifier);
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

} // namespace tw::test
