// Publishing a server folder, and a service that answers only from what was published.
#include "raw_http.h"
#include "reference_service.h"
#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>

using namespace tw::test;
using ::testing::HasSubstr;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Runs `tarnwick_service publish`; its exit status, and what it printed in `out`.
int Publish(const TempFolder& root, std::string* out = nullptr) {
    const std::string log = root / "../publish-" + std::to_string(::getpid()) + ".out";
    int status =
        Shell("'" + BuildDir() + "/service/tarnwick_service' publish --root '" + root.Path() + "' >'" + log + "' 2>&1");
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
