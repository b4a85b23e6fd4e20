// The patch step against the reference service: what is fetched, checked, placed, and when the
// caches are cleared.
#include "worker_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

using namespace tw;
using namespace tw::test;

namespace {

const char kDownloading[] = "正在下载游戏补丁，请耐心等待...";
const char kGiveUp[] = "游戏补丁更新失败，请检查网络后重新启动登录器";

class PatchTest : public WorkerFixture {
protected:
    std::vector<std::string> Gets() const {
        std::vector<std::string> out;
        for (const auto& a : Actions())
            if (a.rfind("GET ", 0) == 0)
                out.push_back(a.substr(4));
        return out;
    }
    bool ClearCachePosted() const {
        return form->Count("post") == 1 && form->Texts("post")[0] == std::to_string(MSG_CLEAR_CACHE);
    }
    json Entry(const std::string& file, const std::string& filename, const std::string& md5) {
        return {{"url", service->Url("/files/" + file)}, {"filename", filename}, {"MD5", md5}};
    }
};

} // namespace

TEST_F(PatchTest, MissingOrDifferentPatchesAreFetchedAndPlaced) {
    WritePatternFile(root / "patches/Data/zhCN/patch-zhCN-4.MPQ", 300'000);
    WriteBytes(root / "patches/Data/same.MPQ", "already there");
    WriteBytes(program / "Data/zhCN/patch-zhCN-4.MPQ", "an older patch");
    WriteBytes(program / "Data/same.MPQ", "already there");
    RunWorker();

    EXPECT_EQ(ReadBytes(program / "Data/zhCN/patch-zhCN-4.MPQ"),
              ReadBytes(root / "patches/Data/zhCN/patch-zhCN-4.MPQ"));
    EXPECT_EQ(Gets(), (std::vector<std::string>{"/files/patches/Data/zhCN/patch-zhCN-4.MPQ"}))
        << "a patch that already matches is not fetched";
    EXPECT_FALSE(Exists(Temp() + "patch-zhCN-4.MPQ")) << "moved out of the temporary folder";
    auto statuses = Statuses();
    auto at = std::find(statuses.begin(), statuses.end(), std::string(kPatchCheck));
    ASSERT_NE(at, statuses.end());
    ASSERT_EQ(*++at, kDownloading);
    int last = -1;
    for (++at; at != statuses.end() && *at != kPatchVerify; ++at) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(*at, m, std::regex("补丁包正在下载中 (\\d+)"))) << *at;
        last = std::stoi(m[1]);
    }
    EXPECT_EQ(last, 100);
    ASSERT_NE(at, statuses.end());
    EXPECT_EQ(++at, statuses.end());
    EXPECT_TRUE(ClearCachePosted());
    auto events = form->Events();
    EXPECT_EQ(events[events.size() - 2].kind, "post") << "the caches are cleared before the game-ready notice";
}

TEST_F(PatchTest, EntriesWithTheSameDigestLeaveTheLaterOne) {
    WriteBytes(root / "patches/x.MPQ", "the same bytes");
    const std::string md5 = Md5Hex(FileMd5(root / "patches/x.MPQ"));
    std::string lower = md5;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // The later entry also uses backslashes, which land where forward slashes would.
    json answer = {
        {"count", 2},
        {"downlist",
         {Entry("patches/x.MPQ", "Data/first.MPQ", md5), Entry("patches/x.MPQ", "Data\\zhCN\\second.MPQ", lower)}}};
    service->SetKnobs({{"actions", {{"getPatches", {{"body", answer.dump()}}}}}});
    RunWorker();
    EXPECT_EQ(Gets().size(), 2u) << "both were missing, both were fetched";
    EXPECT_FALSE(Exists(program / "Data/first.MPQ"));
    EXPECT_EQ(ReadBytes(program / "Data/zhCN/second.MPQ"), "the same bytes");
    EXPECT_TRUE(ClearCachePosted());
}

TEST_F(PatchTest, ACountBeyondTheListEndsTheSequence) {
    WriteBytes(root / "patches/a.MPQ", "a");
    json answer = {{"count", 2},
                   {"downlist", {Entry("patches/a.MPQ", "a.MPQ", Md5Hex(FileMd5(root / "patches/a.MPQ")))}}};
    service->SetKnobs({{"actions", {{"getPatches", {{"body", answer.dump()}}}}}});
    RunWorker();
    EXPECT_FALSE(Exists(program / "a.MPQ")) << "nothing is placed";
    EXPECT_EQ(form->Count("post"), 0u);
    EXPECT_EQ(Statuses().back(), kFailBadAnswer) << "the page is told, not left with the last progress text";
}

TEST_F(PatchTest, APatchThatNeverPassesGivesUpAfterBoundedPasses) {
    WriteBytes(root / "patches/good.MPQ", "good");
    WriteBytes(root / "patches/bad.MPQ", "bad");
    json answer = {{"count", 2},
                   {"downlist",
                    {Entry("patches/good.MPQ", "good.MPQ", Md5Hex(FileMd5(root / "patches/good.MPQ"))),
                     Entry("patches/bad.MPQ", "bad.MPQ", "00000000000000000000000000000000")}}};
    service->SetKnobs({{"actions", {{"getPatches", {{"body", answer.dump()}}}}}});
    RunWorker();
    EXPECT_EQ(Statuses().back(), kGiveUp);
    auto gets = Gets();
    EXPECT_EQ(std::count(gets.begin(), gets.end(), "/files/patches/bad.MPQ"), kMaxPatchPasses);
    EXPECT_FALSE(Exists(program / "bad.MPQ"));
    EXPECT_FALSE(Exists(Temp() + "bad.MPQ")) << "a failed download is deleted";
    EXPECT_FALSE(Exists(program / "good.MPQ")) << "nothing is placed unless every patch passed";
    EXPECT_EQ(form->Count("post"), 0u);
}

TEST_F(PatchTest, NamesLeavingTheProgramFolderWriteNothing) {
    WriteBytes(root / "patches/evil.MPQ", "evil");
    const std::string md5 = Md5Hex(FileMd5(root / "patches/evil.MPQ"));
    for (std::string name : {"../evil.MPQ", "Data/../../evil.MPQ", "/tmp/evil.MPQ", "C:\\evil.MPQ"}) {
        form = std::make_unique<Recorder>();
        json answer = {{"count", 1}, {"downlist", {Entry("patches/evil.MPQ", name, md5)}}};
        service->SetKnobs({{"actions", {{"getPatches", {{"body", answer.dump()}}}}}});
        RunWorker();
        EXPECT_EQ(Statuses().back(), kGiveUp) << name;
        EXPECT_TRUE(Gets().empty()) << name;
        EXPECT_EQ(form->Count("post"), 0u) << name;
    }
    EXPECT_FALSE(Exists(program / "../evil.MPQ"));
    EXPECT_FALSE(Exists("/tmp/evil.MPQ"));
}

TEST_F(PatchTest, UnsafeNamesAndUrlsFetchNothing) {
    WriteBytes(root / "patches/evil.MPQ", "evil");
    const std::string md5 = Md5Hex(FileMd5(root / "patches/evil.MPQ"));
    const std::string url = service->Url("/files/patches/evil.MPQ");
    const std::vector<std::pair<std::string, std::string>> entries = {
        {url, "evil\n.MPQ"},
        {url, "evil\r.MPQ"},
        {url, std::string("evil\0.MPQ", 9)},
        {url, "evil\t.MPQ"},
        {url, "evil\x7f.MPQ"},
        {url + "\n", "evil.MPQ"},
        {url + "\x7f", "evil.MPQ"},
        {"ftp://127.0.0.1/evil.MPQ", "evil.MPQ"},
        {"file://" + (root / "patches/evil.MPQ"), "evil.MPQ"},
        {"data:text/plain,evil", "evil.MPQ"},
    };
    json list = json::array();
    for (const auto& [u, name] : entries)
        list.push_back({{"url", u}, {"filename", name}, {"MD5", md5}});
    service->SetKnobs(
        {{"actions", {{"getPatches", {{"body", json{{"count", list.size()}, {"downlist", list}}.dump()}}}}}});
    RunWorker();
    EXPECT_EQ(Statuses().back(), kGiveUp);
    EXPECT_TRUE(Gets().empty());
    EXPECT_FALSE(Exists(program / "evil.MPQ"));
    EXPECT_TRUE(!Exists(Temp()) || std::filesystem::is_empty(Temp())) << "nothing was fetched";
    EXPECT_EQ(form->Count("post"), 0u);
}
