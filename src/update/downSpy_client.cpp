// Step 5 of the update worker: installing the game client when it is missing. The service's
// list goes to aria2c as its input list; every pass is followed by a check of every file, wrong
// files are deleted so that the next pass fetches them again, and a good client is moved into
// the program folder.
#include "update/downSpy.h"

#include "base/ansitext.h"
#include "base/helpers.h"
#include "base/parallelCheck.h"
#include "base/percent.h"
#include "base/text.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "net/download.h"
#include "update/downloadInput.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <set>
#include <cerrno>
#include <thread>

namespace tw {

std::string TDownSpy::ClientFilePath(const std::string& filename) const {
    return FDownPath + "wow" + kSep + ToNativeSeparators(filename);
}

void TDownSpy::InstallClient() {
    // A deployment that was cut off (the launcher killed while moving) had a checked client: it is
    // finished rather than fetched again.
    if (platform::FileExists(DeployingGamePath())) {
        DeployWow();
        return;
    }
    GetWowFiles();
    FFinished = std::make_unique<DigestAhead>(1);
    for (int pass = 1;; ++pass) {
        FFailure.clear();
        // While aria2c works, finished files are digested on one core; once the pass is over,
        // what is still queued goes on every core through the wait before the check.
        FFinished->SetThreads(1);
        RunAria2();
        FFinished->SetThreads(std::max(1u, std::thread::hardware_concurrency()));
        Wait1000();
        CheckWowFiles();
        if (FCkok)
            break;
        if (pass >= kMaxDownloadPasses || FFailure == kFailDiskFull) {
            // Giving up beats a dead start button: the player learns what failed and may retry.
            FAria2.WaitGone(std::chrono::seconds(2));
            ShowStatus(FFailure.empty() ? "游戏资源下载失败：" + std::to_string(FFailedFiles) +
                                              " 个文件未能通过校验，请检查网络后重新启动登录器"
                                        : FFailure);
            return;
        }
    }
    Wait1000();
    RemoveUnlistedClientFiles();
    DeployWow();
}

void TDownSpy::GetWowFiles() {
    ShowStatus("正在请求游戏文件列表...");
    FJsonObj = TAnswer::Parse(PostAction("getWowFiles"), "getWowFiles");
    FCount = FJsonObj.Int32("count");

    // aria2c on this system takes a backslash in out= literally, so the option line uses the
    // native separator; and it takes the line's bytes as the file name, so the list is in the
    // encoding of this system's programs, not the game's code page. An entry that could be more
    // than one file below the client folder (a name that leaves it, a line break that would start
    // an option line of its own, a URL that is not http or https) is not handed to aria2c at all;
    // its file then fails the check. The service's configuration keeps no hook, folder or open
    // RPC port (downloadInput.h).
    std::vector<std::string> lines;
    bool hasGame = false;
    ListedSizes named;
    std::uint64_t needed = 0; // what the listed files still need on the disk
    const std::size_t entries = FJsonObj.Count("downlist");
    for (std::size_t i = 0; i < entries; ++i) {
        TAnswer entry = FJsonObj.Entry("downlist", i);
        const std::string url = entry.Text("url");
        const std::string filename = entry.Text("filename");
        const std::optional<std::uint64_t> size = ListedSize(entry, FVerifier.Enabled());
        named.Add(filename, size);
        if (!IsFetchableEntry(url, filename))
            continue;
        if (size) {
            const std::int64_t there = platform::FileSize(ClientFilePath(filename));
            needed += *size - std::min<std::uint64_t>(*size, there > 0 ? static_cast<std::uint64_t>(there) : 0);
        }
        hasGame |= EqualsNoCase(filename, "wow.exe");
        lines.push_back(url);
        lines.push_back(" out=wow" + kSep + ToNativeSeparators(filename));
    }
    // The client is fetched because wow.exe is missing. A list without it could never end that:
    // every start would fetch the whole client again and still find no game to start.
    if (!hasGame)
        throw AnswerError("The answer to getWowFiles names no wow.exe to fetch");
    EnsureFolder(FDownPath);
    // Known before the first byte is fetched, rather than when the disk is full.
    CheckRoom(FDownPath, needed);
    WriteNativeProgramLines(FDownPath + "d.lst", lines);
    platform::WriteFileAtomic(FDownPath + "aria2.conf", NeutraliseAria2Conf(GetAria2Conf()));
}

void TDownSpy::RunAria2() {
    ShowStatus("正在下载游戏资源，请耐心等待……");
    std::string error;
    if (!FAria2.Start(FProgramFolder, FDownPath, error)) {
        // The reason (a path, a system text) is no status text: quotes and backslashes would
        // not reach the page as they are.
        FFailure = "游戏资源下载失败：找不到或无法启动下载程序 aria2c，请将它放入登录器文件夹后重新启动登录器";
        return;
    }
    FStoppedSeen.clear();
    FStoppedTotal = 0;
    WatchAria2();
    // The check that follows deletes wrong files: it must not look while aria2c still writes, or
    // a part that has arrived could be judged (and deleted) before aria2c has saved its control
    // file. Told to end, aria2c saves and goes within a second or two; a busy machine may take
    // longer, and killing it sooner would lose what arrived since its last save.
    FAria2.Stop(std::chrono::seconds(30));
}

void TDownSpy::WatchAria2() {
    // aria2c opens its RPC port a moment after it starts, later still on a busy machine: while
    // ours lives, a poll that finds nobody listening is tried again, for a while.
    constexpr int kMaxUnansweredPolls = 30;
    int unanswered = 0;
    try {
        for (;;) {
            Wait1000();
            // Ours may have gone (killed, or the port held by another aria2c): whatever answers
            // on the port now is not ours to read.
            if (!FAria2.Running()) {
                FFailure = "游戏资源下载失败：下载程序 aria2c 意外退出（端口 58012 可能被占用）";
                return;
            }
            std::string answer;
            try {
                answer = FHttp->PostJson(kAria2Endpoint, FAria2.Request("aria2.getGlobalStat"));
            } catch (const HttpError& e) {
                if (!e.Answered() && ++unanswered < kMaxUnansweredPolls)
                    continue;
                if (!e.Answered())
                    throw;
                // Ours never refuses our secret: another program holds the port's IPv4 side (ours
                // then listens on IPv6 alone) and would be read in its place, while ours downloads
                // on unwatched. It is stopped and the player told why.
                FFailure = kFailPortTaken;
                FAria2.Stop(std::chrono::seconds(5));
                return;
            }
            unanswered = 0;
            const TAnswer stat = TAnswer::Parse(answer, "aria2.getGlobalStat").Object("result");
            const std::int64_t waiting = stat.Integer("numWaiting");
            ShowStatus("正在下载游戏资源 " + std::to_string(stat.Integer("downloadSpeed") / 1024) + " Kib/s (" +
                       std::to_string(FCount - waiting) + " / " + std::to_string(FCount) + ")");
            LearnFinished(stat.Integer("numStoppedTotal"));
            // The second test ends a pass in which aria2c has nothing left to run although fewer
            // downloads than `count` stopped (a longer list promised than sent, names refused above).
            if (stat.Integer("numActive") + waiting == 0) {
                // Nothing runs or waits any more: aria2c has nothing left to finish, so it is
                // told to end at once rather than after another beat.
                break;
            }
            if (stat.Integer("numStoppedTotal") >= FCount) {
                Wait1000();
                break;
            }
        }
        // A download that met a full disk fails its check like a wrong one, but another pass would
        // meet the same disk: the player is told to make room instead.
        try {
            const std::vector<int> codes = FAria2.StoppedErrorCodes(*FHttp);
            if (std::find(codes.begin(), codes.end(), kAria2DiskFull) != codes.end())
                FFailure = kFailDiskFull;
        } catch (...) {
            // Without the figures the check still fails those files.
        }
        FHttp->PostJson(kAria2Endpoint, FAria2.Request("aria2.shutdown"));
        FCkok = true;
    } catch (...) {
        // The pass ends here; the file check decides whether another one is needed.
    }
}

void TDownSpy::LearnFinished(std::int64_t stoppedTotal) {
    if (!FFinished || stoppedTotal <= FStoppedTotal)
        return;
    try {
        // The newest first: aria2c keeps a bounded number of results, so offsets from the start
        // would drift once it drops the oldest. A few more than are new cover downloads that
        // stopped between the two calls.
        nlohmann::json request = nlohmann::json::parse(FAria2.Request("aria2.tellStopped"));
        request["params"].push_back(-1);
        request["params"].push_back(stoppedTotal - FStoppedTotal + 8);
        request["params"].push_back({"gid", "status", "files"});
        const nlohmann::json answer = nlohmann::json::parse(FHttp->PostJson(kAria2Endpoint, request.dump()));
        for (const auto& download : answer.at("result")) {
            const std::string gid = download.value("gid", "");
            if (gid.empty() || !FStoppedSeen.insert(gid).second)
                continue;
            if (download.value("status", "") != "complete" || download.value("files", nlohmann::json()).size() != 1)
                continue;
            std::string path = download["files"][0].value("path", "");
            if (path.rfind("./", 0) == 0)
                path.erase(0, 2);
            if (path.empty())
                continue;
            // Relative to aria2c's folder, which is the download folder.
            FFinished->Queue(ToNativeSeparators(platform::IsNativeSeparator(path[0]) ? path : FDownPath + path));
        }
        FStoppedTotal = stoppedTotal;
    } catch (...) {
        // The check after the pass digests whatever was not learnt here.
    }
}

void TDownSpy::CheckWowFiles() {
    std::vector<FileCheckEntry> files;
    const std::size_t entries = FJsonObj.Count("downlist");
    for (std::size_t i = 0; i < entries; ++i) {
        TAnswer entry = FJsonObj.Entry("downlist", i);
        const std::string filename = entry.Text("filename");
        if (!IsFetchableEntry(entry.Text("url"), filename)) {
            FCkok = false; // a file that cannot be had
            continue;
        }
        // A file beside its aria2 control file is still being fetched (the pass broke off): it is
        // not there yet, but what has arrived stays for the next pass to continue.
        if (platform::FileExists(ClientFilePath(filename) + ".aria2")) {
            FCkok = false;
            continue;
        }
        // A file of another size than listed is wrong whatever its digest, and is not read.
        const std::optional<std::uint64_t> size = ListedSize(entry, false);
        if (size && platform::FileSize(ClientFilePath(filename)) != static_cast<std::int64_t>(*size)) {
            platform::DeleteFile(ClientFilePath(filename));
            FCkok = false;
            continue;
        }
        files.push_back({ClientFilePath(filename), entry.Trimmed("MD5")});
    }
    // Digests run on every core; judging, deleting and the texts stay in list order here. A file
    // digested while the pass went on and unchanged since is not read again; one still queued
    // for that is read by whichever thread comes to it first.
    FileCheckReport report = CheckFilesInOrder(
        files,
        [&](std::size_t index, std::uint64_t size, std::uint64_t done) {
            FCheckFileName = FilePart(files[index].path);
            ShowStatus("正在检测游戏文件[" + FCheckFileName + "]的完整性 " +
                       std::to_string(PercentHalfEven(done, size)) + "%");
        },
        0,
        [&](std::size_t index) {
            return FFinished ? FFinished->Digest(files[index].path) : std::optional<std::string>();
        });
    FFailedFiles = static_cast<int>(report.failed.size()) + static_cast<int>(entries - files.size());
    if (!report.allPassed)
        FCkok = false;
}

namespace {

// A list name as the walk below spells it: parts joined by the native separator, without empty or
// "." parts; in lower case where the file system ignores case.
std::string ClientFileKey(const std::string& relative) {
    std::string key;
    std::size_t start = 0;
    while (start <= relative.size()) {
        const std::size_t end = std::min(relative.find_first_of("/\\", start), relative.size());
        const std::string part = relative.substr(start, end - start);
        if (!part.empty() && part != ".")
            key += (key.empty() ? "" : std::string(1, platform::kPathSeparator)) + part;
        start = end + 1;
    }
    if (platform::kNamesIgnoreCase)
        for (char& c : key)
            c = AsciiLower(c);
    return key;
}

// Deletes every entry below `folder` (a link as a link, never followed) whose key is not listed;
// folders left empty go too. Raises when one cannot be deleted: it must not be deployed.
void RemoveUnlisted(const std::string& folder, const std::string& relative, const std::set<std::string>& listed) {
    std::vector<platform::DirEntry> entries;
    if (!platform::ListFolder(folder, entries))
        RaiseSystemError("Cannot read the folder", folder, errno);
    for (const auto& e : entries) {
        const std::string path = folder + kSep + e.name;
        const std::string rel = relative.empty() ? e.name : relative + kSep + e.name;
        if (e.isFolder) {
            RemoveUnlisted(path, rel, listed);
            std::vector<platform::DirEntry> left;
            if (platform::ListFolder(path, left) && left.empty())
                platform::DeleteEmptyFolder(path);
        } else if (!listed.count(ClientFileKey(rel)) && !platform::DeleteFile(path)) {
            RaiseSystemError("Cannot delete the unlisted file", path, errno);
        }
    }
}

} // namespace

void TDownSpy::RemoveUnlistedClientFiles() {
    std::set<std::string> listed;
    const std::size_t entries = FJsonObj.Count("downlist");
    for (std::size_t i = 0; i < entries; ++i) {
        TAnswer entry = FJsonObj.Entry("downlist", i);
        if (IsFetchableEntry(entry.Text("url"), entry.Text("filename")))
            listed.insert(ClientFileKey(entry.Text("filename")));
    }
    const std::string client = FDownPath + "wow";
    if (platform::FolderExists(client))
        RemoveUnlisted(client, "", listed);
}

std::string TDownSpy::DeployingGamePath() const {
    return FDownPath + "wow.exe.deploying";
}

void TDownSpy::DeployWow() {
    ShowStatus("游戏下载完成，正在部署中...");
    // The game's program goes last: while it is missing from the program folder, the next start
    // installs again, and while it waits beside the client folder, that start finishes this move.
    const std::string game = FDownPath + "wow" + kSep + "wow.exe";
    if (platform::FileExists(game) && !platform::RenameReplace(game, DeployingGamePath()))
        RaiseSystemError("Cannot move", game, errno);
    // A client that did not arrive whole is no reason to say it did. (Once the game's program is
    // set aside, a client folder that is gone was moved whole before a cut.)
    const bool gameAside = platform::FileExists(DeployingGamePath());
    const bool rest = !gameAside || platform::FolderExists(FDownPath + "wow");
    if ((rest && !MoveFiles(FDownPath + "wow" + kSep + "*.*", FProgramFolder)) ||
        (gameAside && !MoveFiles(DeployingGamePath(), FProgramFolder + "wow.exe")))
        throw SystemError("The client could not be moved from " + FDownPath + "wow into " + FProgramFolder, EIO);
    // Downloads carry no executable mark here; the checked client's program gets one, as every
    // .exe has it on its home system.
    if (platform::FileExists(FProgramFolder + "wow.exe"))
        platform::MakeExecutable(FProgramFolder + "wow.exe");
    ShowStatus("游戏部署完成");
}

} // namespace tw
