#pragma once
// The client install through the real aria2c (its RPC port is fixed, so these tests run alone)
// from the reference service on 127.0.0.1: a fresh program folder holding this system's helpers.
#include "aria2_port_lock.h"
#include "worker_fixture.h"

#include "platform/fs.h"
#include "platform/process.h"
#include "update/aria2.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>

namespace tw::test {

inline constexpr char kList[] = "正在请求游戏文件列表...";
inline constexpr char kDownload[] = "正在下载游戏资源，请耐心等待……";
inline constexpr char kDeploy[] = "游戏下载完成，正在部署中...";
inline constexpr char kDeployed[] = "游戏部署完成";

class InstallTest : public WorkerFixture {
protected:
    Aria2PortLock portLock;
    void SetUp() override {
        withClient = false;
        // An aria2c of an earlier test may still be on its way out.
        for (int i = 0; i < 500 && PortBusy(58012); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        WorkerFixture::SetUp();
        PlaceHelpers(program.Path());
        WriteBytes(root / "client/wow.exe", ProgramBytes());
        WritePatternFile(root / "client/Data/zhCN/locale-zhCN.MPQ", 2'500'000);
        WriteBytes(root / "client/Data/common.MPQ", std::string(70'000, 'c'));
        WriteBytes(root / "client/Interface/AddOns/Blizzard/x.toc", "toc");
    }
    void TearDown() override { EndOurAria2Processes(program / "down"); }
    std::vector<std::string> ClientFiles() const {
        return {"wow.exe", "Data/zhCN/locale-zhCN.MPQ", "Data/common.MPQ", "Interface/AddOns/Blizzard/x.toc"};
    }
    void ExpectInstalled() {
        for (const auto& f : ClientFiles())
            EXPECT_EQ(ToolMd5(program / f), ToolMd5(root / ("client/" + f))) << f;
        EXPECT_TRUE(platform::IsExecutableFile(program / "wow.exe"));
        EXPECT_TRUE(std::filesystem::is_directory(program / "down/wow") && std::filesystem::is_empty(program / "down/wow"))
            << "wow/ is left empty";
        if (HasFailure())
            for (const auto& t : Statuses())
                std::cerr << "status: " << t << '\n';
    }
    // A relative path with this system's separators, as the input list names files.
    static std::string Native(std::string path) {
        std::replace(path.begin(), path.end(), '/', platform::kPathSeparator);
        return path;
    }
    // aria2c writes whole pieces of 1 MiB.
    static constexpr std::uint64_t kPiece = 1 << 20;
    // At least a piece of the big file is on disk.
    bool PartArrived() const {
        std::error_code ec;
        return std::filesystem::file_size(program / "down/wow/Data/zhCN/locale-zhCN.MPQ", ec) >= kPiece && !ec;
    }
    // Where the last GET of `path` began (its Range), 0 for the whole file.
    std::uint64_t ResumedFrom(const std::string& path) const {
        std::uint64_t from = 0;
        for (const auto& r : service->Requests())
            if (r["method"] == "GET" && r["path"] == path) {
                const std::string range = ReferenceService::Header(r, "Range");
                from = range.starts_with("bytes=") ? std::stoull(range.substr(6)) : 0;
            }
        return from;
    }
    std::size_t GetsOf(const std::string& path) const {
        std::size_t n = 0;
        for (const auto& r : service->Requests())
            n += r["method"] == "GET" && r["path"] == path;
        return n;
    }
};

} // namespace tw::test
