#include "addon/addonSpy.h"

#include "addon/addonPlace.h"

#include "base/percent.h"
#include "base/text.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/process.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>
#include <thread>

namespace tw {

namespace {

constexpr char kDownloadBeginText[] = "开始下载插件";
constexpr char kDownloadEndText[] = "插件下载完成";
constexpr char kInstallBeginText[] = "开始安装插件";
constexpr char kInstalledText[] = "插件安装完成";
constexpr char kDigestMismatchText[] = "插件下载失败";
constexpr char kFailedText[] = "插件安装失败";

std::atomic<int> gRunning{0};
std::atomic<unsigned> gStagingSerial{0};

// Removes the staging folder whatever way the install ends.
struct StagingFolder {
    std::string path; // without trailing separator
    ~StagingFolder() {
        if (!path.empty())
            RemoveFolderTree(path);
    }
};

} // namespace

void MoveStagedAddon(const std::string& staging, const std::string& addons, bool replace) {
    PlaceStagedAddon(staging, addons, replace, FolderPart(addons));
}

std::string AddonNoticeText(int code, const std::string& msg) {
    nlohmann::ordered_json notice;
    notice["code"] = code;
    notice["msg"] = msg;
    return notice.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

TaddonSpy::TaddonSpy(IMainForm& form, std::string downTemp, std::string downPath, std::string downAddonUrl,
                     std::string downAddonName, std::string downAddonMd5, std::int32_t downAddonId,
                     std::int32_t downAddonType, std::string programFolder)
    : FLibraryPaths(Default7zLibraryPaths(programFolder)), FForm(form), FHttp(std::make_unique<THttpClient>()),
      FSSLIO(std::make_unique<TTlsHandler>()), FDownTemp(std::move(downTemp)), FDownPath(std::move(downPath)),
      FDownAddonUrl(std::move(downAddonUrl)), FDownAddonName(std::move(downAddonName)),
      FDownAddonMd5(std::move(downAddonMd5)), FDownAddonId(downAddonId), FDownAddonType(downAddonType),
      FProgramFolder(std::move(programFolder)) {
    FHttp->SetIOHandler(FSSLIO.get());
    FHttp->SetContentType(kFormContentType);
    FHttp->SetEvents(TTransferEvents{
        [this](std::int64_t total) { OnDownloadBegin(total); },
        [this](std::int64_t done) { OnDownloadProgress(done); },
        [this] { OnDownloadEnd(); },
    });
}

// Members go in reverse order: the TLS handler first, then the client.
TaddonSpy::~TaddonSpy() = default;

void TaddonSpy::Start(std::unique_ptr<TaddonSpy> worker) {
    ++gRunning;
    try {
        std::thread([w = worker.get()] {
            w->Execute();
            delete w;
            --gRunning;
        }).detach();
    } catch (...) {
        --gRunning;
        throw;
    }
    worker.release(); // the thread owns it now
}

int TaddonSpy::Running() {
    return gRunning.load();
}

void TaddonSpy::Execute() {
    bool failed = false;
    try {
        if (platform::FileExists(FProgramFolder + "wow.exe"))
            InstallAddon();
    } catch (...) {
        failed = true;
    }
    if (failed) {
        try {
            SendAddonNotice(kAddonFailed, kFailedText);
        } catch (...) {
        }
    }
    // The page must always learn that the action is over, and only once, after every notice.
    try {
        FForm.Synchronize([this] { FForm.lbl_Addon_End(); });
    } catch (...) {
    }
}

void TaddonSpy::InstallAddon() {
    if (FDownAddonUrl.empty())
        return;
    // The name comes from the page and the URL from anywhere on the web; neither may make the
    // worker write outside the temporary folder or fetch anything but a web resource.
    if (!IsPlainFileName(FDownAddonName))
        throw Error("The add-on name \"" + FDownAddonName + "\" is not a plain file name");
    if (!IsHttpUrl(FDownAddonUrl))
        throw Error("The add-on URL \"" + FDownAddonUrl + "\" is not an http or https URL");
    if (!EnsureFolder(FDownTemp))
        RaiseSystemError("Cannot create the folder", FDownTemp, errno);

    // The archive gets a file of its own: another add-on of the same name, or a patch the page
    // named it after, is written elsewhere, and nothing writes this one once it is checked. It
    // goes when the install ends: the page can ask again, and a page asking name after name
    // cannot fill the disk. The page names no size, so the cap bounds it.
    FreshDownload download(FDownTemp, FDownAddonName);
    download.Get(*FHttp, FDownAddonUrl, DownloadBound{FDownloadLimit, false});
    const std::string& archive = download.Path();

    if (FDownAddonMd5 != download.Md5()) {
        download.Discard();
        SendAddonNotice(kAddonDigestMismatch, kDigestMismatchText);
        return;
    }

    StagingFolder staging;
    staging.path = FDownTemp + kAddonStagingPrefix + std::to_string(platform::CurrentProcessId()) + "-" +
                   std::to_string(++gStagingSerial);
    if (!RemoveFolderTree(staging.path)) // left over by an earlier run of the same process id
        RaiseSystemError("Cannot clear the folder", staging.path, errno);

    SendAddonNotice(kAddonInstallBegin, kInstallBeginText);
    UnpackAddon(archive, staging.path + kSep);
    PutInPlace(staging.path);
    SendAddonNotice(kAddonInstalled, kInstalledText);
}

void TaddonSpy::UnpackAddon(const std::string& archive, const std::string& folder) {
    auto reader = CreateZipReader(FLibraryPaths);
    reader->OpenFile(archive);
    // No real add-on comes near these limits; an archive that does is refused before anything
    // is written.
    if (reader->NumberOfItems() > FUnpackItemLimit)
        throw Error("The add-on archive holds " + std::to_string(reader->NumberOfItems()) + " items, more than " +
                    std::to_string(FUnpackItemLimit));
    FUnpackRefusal.clear();
    reader->SetProgressCallback(nullptr, [this](void* sender, bool total, std::uint64_t value) {
        return OnUnpackProgress(sender, total, value);
    });
    try {
        reader->ExtractTo(folder);
    } catch (...) {
        if (!FUnpackRefusal.empty())
            throw Error(FUnpackRefusal);
        throw;
    }
}

bool TaddonSpy::RoomFor(std::uint64_t bytes) const {
    // The unpack is staged in the temporary folder and, on another file system, copied beside
    // the add-on folder: both must hold it, and leave the player some room.
    const std::uint64_t needed = bytes + kFreeSpaceMargin;
    for (const std::string& folder : {FDownTemp, FProgramFolder}) {
        const std::int64_t free = platform::FreeSpace(folder);
        if (free >= 0 && static_cast<std::uint64_t>(free) < needed)
            return false;
    }
    return true;
}

void TaddonSpy::PutInPlace(const std::string& staging) {
    const std::string interfaceFolder = FProgramFolder + "Interface" + kSep;
    if (!EnsureFolder(interfaceFolder))
        RaiseSystemError("Cannot create the folder", interfaceFolder, errno);
    PlaceStagedAddon(staging, interfaceFolder + "AddOns", FDownAddonType == 1, FDownPath);
}

void TaddonSpy::SendAddonNotice(int code, const std::string& msg) {
    FlblMsg = AddonNoticeText(code, msg);
    FForm.Synchronize([this] {
        FForm.h_LblAddonMsg = FlblMsg;
        FForm.lbl_Down_Addon();
    });
}

// Progress arrives for every chunk; the page only shows whole percentages, so an unchanged one
// is not handed to the main thread again.
void TaddonSpy::SendPercent(int code, std::uint64_t done, std::uint64_t total) {
    int percent = PercentHalfEven(done, total);
    if (percent < 0 || percent == FLastPercent)
        return;
    FLastPercent = percent;
    SendAddonNotice(code, std::to_string(percent));
}

void TaddonSpy::OnDownloadBegin(std::int64_t total) {
    FDownTotal = total;
    FLastPercent = -1;
    SendAddonNotice(kAddonDownloadBegin, kDownloadBeginText);
}

void TaddonSpy::OnDownloadProgress(std::int64_t done) {
    if (done >= 0 && FDownTotal > 0)
        SendPercent(kAddonDownloadProgress, static_cast<std::uint64_t>(done), static_cast<std::uint64_t>(FDownTotal));
}

void TaddonSpy::OnDownloadEnd() {
    SendAddonNotice(kAddonDownloadEnd, kDownloadEndText);
}

z7::HRESULT TaddonSpy::OnUnpackProgress(void*, bool total, std::uint64_t value) {
    if (total) {
        FUnpackTotal = static_cast<std::int64_t>(value);
        FLastPercent = -1;
        // Announced before the first byte is written.
        if (value > FUnpackSizeLimit)
            FUnpackRefusal = "The add-on archive unpacks to " + std::to_string(value) + " bytes, more than " +
                             std::to_string(FUnpackSizeLimit);
        else if (!RoomFor(value))
            FUnpackRefusal = "There is no room for the " + std::to_string(value) + " bytes of the add-on";
        return FUnpackRefusal.empty() ? z7::S_OK : z7::E_ABORT;
    }
    // Sizes in an archive may lie: the writing stops once more arrives than was announced (with
    // a little slack for the reader's reporting steps) or than the limit allows.
    if (value > FUnpackSizeLimit || value > static_cast<std::uint64_t>(FUnpackTotal) + kUnpackSlack) {
        FUnpackRefusal = "The add-on archive unpacks to more than it announced";
        return z7::E_ABORT;
    }
    if (FUnpackTotal > 0) {
        SendPercent(kAddonInstallProgress, value, static_cast<std::uint64_t>(FUnpackTotal));
    }
    return z7::S_OK;
}

void DownAddon(IMainForm& form, const std::string& downTemp, const std::string& downPath,
               const std::string& downAddonUrl, const std::string& downAddonName, const std::string& downAddonMd5,
               std::int32_t downAddonId, std::int32_t downAddonType, const std::string& programFolder) {
    if (!platform::FileExists(programFolder + "wow.exe")) {
        form.lbl_Addon_End();
        return;
    }
    try {
        TaddonSpy::Start(std::make_unique<TaddonSpy>(form, downTemp, downPath, downAddonUrl, downAddonName,
                                                     downAddonMd5, downAddonId, downAddonType, programFolder));
    } catch (...) {
        // No worker could be made (no thread, no HTTP client): the page must still hear the end.
        form.h_LblAddonMsg = AddonNoticeText(kAddonFailed, kFailedText);
        form.lbl_Down_Addon();
        form.lbl_Addon_End();
    }
}

} // namespace tw
