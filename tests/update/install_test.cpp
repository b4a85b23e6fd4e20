// Installing the game client through the real aria2c from the reference service on 127.0.0.1,
// on every system.
#include "install_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

using namespace tw;
using namespace tw::test;
namespace fs = std::filesystem;

TEST_F(InstallTest, AFullInstallIntoAnEmptyProgramFolder) {
    RunWorker();
    ExpectInstalled();
    auto s = Statuses();
    // The stage texts in order, the download figures between them.
    std::vector<std::string> stages;
    std::regex figures("正在下载游戏资源 \\d+ Kib/s \\((-?\\d+) / 4\\)");
    std::size_t polls = 0;
    for (const auto& t : s) {
        if (std::regex_match(t, figures))
            ++polls;
        else
            stages.push_back(t);
    }
    EXPECT_GE(polls, 1u);
    EXPECT_EQ(stages, (std::vector<std::string>{kInit, kCheck, kList, kDownload, kDeploy, kDeployed, kPatchCheck,
                                                kPatchVerify}));
    EXPECT_THAT(s[std::find(s.begin(), s.end(), std::string(kDeploy)) - s.begin() - 1],
                ::testing::MatchesRegex(".*\\(4 / 4\\)"));

    // The input list: a URI line, then one blank and out= with this system's separator; CR LF.
    std::string list = ReadBytes(program / "down/d.lst");
    EXPECT_THAT(list, ::testing::HasSubstr(service->Url("/files/client/Data/zhCN/locale-zhCN.MPQ") +
                                           "\r\n out=" + Native("wow/Data/zhCN/locale-zhCN.MPQ") + "\r\n"));
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 8);
    // The service's configuration as sent, but for what the launcher sets itself or keeps from it.
    EXPECT_EQ(ReadBytes(program / "down/aria2.conf"), "#enable-rpc=true\n#rpc-listen-port=58012\n#input-file=d.lst\n"
                                                      "#dir=.\ncontinue=true\n#auto-file-renaming=false\n"
                                                      "file-allocation=none\nauto-save-interval=5\n");
    EXPECT_EQ(form->Texts("post"), (std::vector<std::string>{std::to_string(MSG_CLEAR_CACHE)}));
}

TEST_F(InstallTest, AFileServedWrongOnceIsFetchedAgain) {
    service->SetKnobs(
        {{"paths", {{"/files/client/Data/common.MPQ", {{"times", 1}, {"body", std::string(70'000, 'x')}}}}}});
    RunWorker();
    ExpectInstalled();
    EXPECT_EQ(GetsOf("/files/client/Data/common.MPQ"), 2u);
    auto s = Statuses();
    EXPECT_EQ(std::count(s.begin(), s.end(), std::string(kDownload)), 2) << "two passes";
}

TEST_F(InstallTest, AnInterruptedPassIsContinuedByTheNext) {
    // The big file stalls in the first pass; the downloader is stopped meanwhile, as at the
    // launcher's end. The check must leave the part that arrived for the next pass to continue.
    service->SetKnobs({{"paths",
                        {{"/files/client/Data/zhCN/locale-zhCN.MPQ",
                          {{"times", 1}, {"stall_after", 2'000'000}, {"stall_ms", 20'000}}}}}});
    std::thread stopper([&] {
        WaitUntil([&] { return PartArrived(); }, std::chrono::seconds(30));
        StopOurAria2Processes(program / "down");
    });
    RunWorker();
    stopper.join();
    ExpectInstalled();
    EXPECT_GE(ResumedFrom("/files/client/Data/zhCN/locale-zhCN.MPQ"), kPiece);
}

TEST_F(InstallTest, ADeploymentCutShortIsFinishedAtTheNextStart) {
    // A launcher killed while it moved the checked client: part is in place, the rest and the
    // game's program still wait below down/. The next start moves them; nothing is fetched again.
    for (const auto& f : ClientFiles()) {
        const fs::path to = f == "wow.exe"               ? fs::path(program / "down/wow.exe.deploying")
                            : f.starts_with("Interface") ? fs::path(program / f)
                                                         : fs::path(program / "down/wow") / f;
        fs::create_directories(to.parent_path());
        fs::copy_file(root / ("client/" + f), to);
    }
    RunWorker();
    ExpectInstalled();
    for (const auto& r : service->Requests())
        EXPECT_EQ(r["target"].get<std::string>().find("/files/client/"), std::string::npos) << r["target"];
    EXPECT_THAT(Actions(), ::testing::Not(::testing::Contains(::testing::HasSubstr("getWowFiles"))));
    EXPECT_FALSE(Exists(program / "down/wow.exe.deploying"));
}

TEST_F(InstallTest, AFileHeldOpenDuringDeploymentIsPlacedAtTheNextStart) {
    // The player's old copy of a client file is open in a program that shares nothing (the game,
    // an archiver): the deployment cannot replace it, loses nothing, and the next start places it.
    WriteBytes(program / "Data/common.MPQ", "the old copy");
    {
        HeldFile held(program / "Data/common.MPQ");
        if (!held.Held())
            GTEST_SKIP() << "an open file can be replaced on this system";
        RunWorker();
        EXPECT_EQ(Statuses().back(), kFailFiles);
    }
    EXPECT_EQ(ReadBytes(program / "Data/common.MPQ"), "the old copy");
    const std::size_t gets = service->Requests().size();
    form = std::make_unique<Recorder>();
    RunWorker();
    ExpectInstalled();
    for (std::size_t i = gets; i < service->Requests().size(); ++i)
        EXPECT_EQ(service->Requests()[i]["target"].get<std::string>().find("/files/client/"), std::string::npos)
            << "fetched again: " << service->Requests()[i]["target"];
}

TEST_F(InstallTest, AProgramFolderAtADriveRootInstalls) {
    // The program folder is a drive's root ("T:\\"), its download folder "T:\\down\\".
    DriveRoot drive(program.Path());
    if (!drive.Mapped())
        GTEST_SKIP() << "no drive letters on this system";
    RunWorker(drive.Path());
    ExpectInstalled();
    EXPECT_EQ(Statuses().back(), kPatchVerify);
}

TEST_F(InstallTest, AnEarlierRunsDownloaderGivesWay) {
    // An aria2c left in the download folder (by a launcher killed a moment ago) holds the port.
    fs::create_directories(program / "down");
    platform::ChildProcess stray = platform::SpawnHeld(
        TAria2::FindProgram(program.Path()), {"--enable-rpc=true", "--rpc-listen-port=58012", "--rpc-listen-all=false"},
        program / "down");
    ASSERT_TRUE(WaitUntil([] { return PortBusy(58012); }, std::chrono::seconds(10)));
    RunWorker();
    ExpectInstalled();
    EXPECT_TRUE(stray.WaitEnded(std::chrono::seconds(10)));
}

TEST_F(InstallTest, AFileChangedAfterItFinishedIsDigestedAgain) {
    // The big file holds the pass open; the small one finishes at once, is learnt and digested
    // while the pass goes on, and is then spoilt (same size) before the pass ends.
    service->SetKnobs({{"paths",
                        {{"/files/client/Data/zhCN/locale-zhCN.MPQ",
                          {{"times", 1}, {"stall_after", 1'000'000}, {"stall_ms", 8'000}}}}}});
    const std::string early = program / "down/wow/Data/common.MPQ";
    std::thread spoiler([&] {
        for (int i = 0; i < 1500 && !(Exists(early) && fs::file_size(early) == 70'000 && !Exists(early + ".aria2"));
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::milliseconds(3'000)); // two polls, and its digest
        WriteBytes(early, std::string(70'000, 'x'));
    });
    RunWorker();
    spoiler.join();
    ExpectInstalled();
    auto s = Statuses();
    EXPECT_EQ(std::count(s.begin(), s.end(), std::string(kDownload)), 2) << "found wrong, fetched again";
}

TEST_F(InstallTest, BoundedPassesForAFileThatCannotBeHad) {
    service->SetKnobs({{"paths", {{"/files/client/Data/common.MPQ", {{"status", 404}}}}}});
    RunWorker();
    auto s = Statuses();
    EXPECT_EQ(std::count(s.begin(), s.end(), std::string(kDownload)), kMaxDownloadPasses);
    EXPECT_THAT(s.back(), ::testing::HasSubstr("1 个文件未能通过校验"));
    EXPECT_FALSE(Exists(program / "wow.exe")) << "nothing is deployed";
    EXPECT_EQ(form->Count("post"), 0u) << "no patch step without a client";
}

TEST_F(InstallTest, AFullDiskIsSaid) {
    // A small file system of its own under the client folder, in a mount namespace of this test
    // program's own (aria2c inherits it), so nothing outside sees the mount.
    fs::create_directories(program / "down/wow");
    if (const std::string why = MountSmallFileSystem(program / "down/wow", "64k"); !why.empty())
        GTEST_SKIP() << why;
    RunWorker();
    EndOurAria2Processes(program / "down");
    UnmountSmallFileSystem(program / "down/wow");
    auto s = Statuses();
    EXPECT_EQ(s.back(), kFailDiskFull);
    EXPECT_EQ(std::count(s.begin(), s.end(), std::string(kDownload)), 1) << "another pass would meet the same disk";
    EXPECT_FALSE(Exists(program / "wow.exe")) << "nothing is deployed";
}

TEST_F(InstallTest, AMissingDownloaderIsReported) {
    TempFolder emptyPath;
    std::filesystem::remove(FsPath(program / "aria2c.exe")); // the one the tests place on Windows
    {
        ScopedEnv path("PATH", emptyPath.Path().c_str());
        RunWorker();
    }
    auto s = Statuses();
    EXPECT_EQ(std::count(s.begin(), s.end(), std::string(kDownload)), kMaxDownloadPasses);
    EXPECT_THAT(s.back(), ::testing::HasSubstr("aria2c"));
}

TEST_F(InstallTest, ListShapes) {
    struct Case {
        const char* name;
        json answer;
        bool installs;
        bool badAnswer = false; // refused before anything is fetched
    };
    auto entry = [&](const std::string& file, const std::string& filename) {
        return json{{"url", service->Url("/files/client/" + file)},
                    {"filename", filename},
                    {"MD5", " " + Md5Hex(FileMd5(root / ("client/" + file))) + "\t"}};
    };
    TempFolder elsewhere;
    auto unsafeUrl = [&](const std::string& tail) {
        json e = entry("Data/common.MPQ", "escape.MPQ");
        e["url"] = e["url"].get<std::string>() + tail;
        return e;
    };
    auto withUrl = [&](const std::string& url) {
        json e = entry("Data/common.MPQ", "escape.MPQ");
        e["url"] = url;
        return e;
    };
    auto sized = [&](json e, const json& size) {
        e["size"] = size;
        return e;
    };
    const auto wowSize = fs::file_size(FsPath(root / "client/wow.exe"));
    const std::vector<Case> cases = {
        {"count 0, empty list", {{"count", 0}, {"downlist", json::array()}}, false, true},
        {"sizes as listed",
         {{"count", 1}, {"downlist", {sized(entry("wow.exe", "wow.exe"), wowSize)}}},
         true},
        // Of another size than listed, a file is wrong whatever its digest.
        {"a size the file does not have",
         {{"count", 1}, {"downlist", {sized(entry("wow.exe", "wow.exe"), wowSize + 1)}}},
         false},
        {"a size of -1", {{"count", 1}, {"downlist", {sized(entry("wow.exe", "wow.exe"), -1)}}}, false, true},
        {"one file twice, two sizes",
         {{"count", 2},
          {"downlist", {sized(entry("wow.exe", "wow.exe"), wowSize), sized(entry("wow.exe", "wow.exe"), wowSize + 1)}}},
         false,
         true},
        {"no wow.exe in the list",
         {{"count", 1}, {"downlist", {entry("Data/common.MPQ", "Data/common.MPQ")}}},
         false,
         true},
        {"count as text, backslashes",
         {{"count", "2"}, {"downlist", {entry("wow.exe", "wow.exe"), entry("Data/common.MPQ", "Data\\common.MPQ")}}},
         true},
        {"count larger than the list", {{"count", 5}, {"downlist", {entry("wow.exe", "wow.exe")}}}, true},
        {"names and URLs that are no plain file below the folder",
         {{"count", 2},
          {"downlist",
           {entry("wow.exe", "wow.exe"), entry("Data/common.MPQ", "../escape.MPQ"),
            entry("Data/common.MPQ", "a.MPQ\r\n dir=" + elsewhere.Path()),
            entry("Data/common.MPQ", std::string("a\0.MPQ", 6)), entry("Data/common.MPQ", "a\t.MPQ"),
            entry("Data/common.MPQ", "a\x7f.MPQ"), unsafeUrl("\n dir=" + elsewhere.Path()),
            unsafeUrl("\thttp://127.0.0.2/x"), unsafeUrl("\r\n out=../escape.MPQ"), withUrl("ftp://127.0.0.1/x"),
            withUrl("file:///etc/passwd"), withUrl("data:text/plain,escape")}}},
         false},
    };
    for (const auto& c : cases) {
        form = std::make_unique<Recorder>();
        fs::remove_all(program.Path());
        fs::create_directories(program.Path());
        PlaceHelpers(program.Path());
        service->SetKnobs({{"actions", {{"getWowFiles", {{"body", c.answer.dump()}}}}}});
        for (int i = 0; i < 500 && PortBusy(58012); ++i) // the previous case's aria2c is on its way out
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        RunWorker();
        EXPECT_EQ(Exists(program / "wow.exe"), c.installs) << c.name;
        if (c.installs) {
            EXPECT_EQ(ReadBytes(program / "wow.exe"), ReadBytes(root / "client/wow.exe")) << c.name;
        }
        EXPECT_FALSE(Exists(program / "down/escape.MPQ")) << c.name;
        EXPECT_FALSE(Exists(program / "escape.MPQ")) << c.name;
        EXPECT_EQ(Statuses().back() == kFailBadAnswer, c.badAnswer) << c.name;
        EXPECT_EQ(Exists(program / "down/d.lst"), !c.badAnswer) << c.name;
    }
    EXPECT_EQ(ReadBytes(program / "down/d.lst"), service->Url("/files/client/wow.exe") + "\r\n out=" + Native("wow/wow.exe") + "\r\n")
        << "only the fetchable entry reached aria2c";
    EXPECT_FALSE(Exists(program / "down/wow/escape.MPQ"));
    EXPECT_TRUE(fs::is_empty(elsewhere.Path()));
}

TEST_F(InstallTest, ChineseFileNamesLandUnderTheirOwnNames) {
    // The game's code page is GBK here; the downloader's list must still name files as this
    // system does.
    WriteBytes(root / "client/Fonts/方正字体.ttf", "font");
    {
        ScopedEnv zh("LC_ALL", "zh_CN.UTF-8");
        RunWorker();
    }
    ExpectInstalled();
    EXPECT_EQ(ReadBytes(program / "Fonts/方正字体.ttf"), "font");
    EXPECT_THAT(ReadBytes(program / "down/d.lst"), ::testing::HasSubstr(" out=" + Native("wow/Fonts/方正字体.ttf") + "\r\n"));
}
