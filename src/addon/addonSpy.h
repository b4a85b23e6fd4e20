#pragma once
// The add-on worker: downloads one add-on archive into the temporary folder, checks its MD5
// digest against the page's value and installs it into Interface/AddOns, reporting every stage
// to the page as an add-on notice and the end with lbl_Addon_End, always last.
//
// The Qt shell handles MSG_DOWN_ADDON with one call, on the main thread:
//
//     tw::DownAddon(*this, FDownTemp, FDownPath, FDownAddonUrl, FDownAddonName, FDownAddonMd5,
//                   FDownAddonId, FDownAddonType);
//
// (with the values of the dispatch's AddonRequest: url, name, md5, id, type, in that order).
// It starts a worker thread that frees itself (nothing to keep or join), or, when the program
// folder holds no wow.exe, calls form.lbl_Addon_End() at once. Every later call the worker makes
// on the form goes through form.Synchronize, so the form must outlive running workers (the main
// window does: it lives until the process ends).
//
// What the worker guarantees beyond a plain download-and-unpack:
// - Nothing outside Interface/AddOns is written: an archive with an absolute item, a drive letter
//   or a ".." part fails (1002) before anything is unpacked, and the archive name must be a plain
//   file name (1002 before any download). Only http and https URLs are fetched, redirects too.
// - The archive is written into a file of its own (net/download.h), at most kUnsizedDownloadCap
//   bytes, and deleted when the install ends, whether it failed its digest or was installed.
// - Nothing is lost: the archive is unpacked into a staging folder under the temporary folder;
//   only a complete unpack replaces (type 1) or is merged into (other types) Interface/AddOns,
//   under a journal in the download folder (addon/addonPlace.h). A failure leaves the add-on
//   folder as it was; so does a kill, once RecoverAddonInstall has run at the next start.
#include "addon/sevenzip.h"
#include "base/helpers.h"
#include "base/mainform.h"
#include "base/safePath.h"
#include "net/download.h"
#include "net/http.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tw {

// Codes of the add-on notice.
enum TAddonNoticeCode : int {
    kAddonDownloadBegin = 0,
    kAddonDownloadProgress = 1,
    kAddonDownloadEnd = 2,
    kAddonInstallBegin = 3,
    kAddonInstallProgress = 4,
    kAddonInstalled = 9,
    kAddonDigestMismatch = 1001,
    kAddonFailed = 1002,
};

// {"code":N,"msg":"..."}: compact, members in that order, only control characters, '"' and '\\'
// escaped in the text.
std::string AddonNoticeText(int code, const std::string& msg);

// PlaceStagedAddon (addon/addonPlace.h) with the journal beside `addons`.
void MoveStagedAddon(const std::string& staging, const std::string& addons, bool replace);

class TaddonSpy {
public:
    // `programFolder` (ending in a separator) is where wow.exe and Interface/AddOns are looked
    // for; the shell passes ProgramFolder(), tests a folder of their own.
    TaddonSpy(IMainForm& form, std::string downTemp, std::string downPath, std::string downAddonUrl,
              std::string downAddonName, std::string downAddonMd5, std::int32_t downAddonId, std::int32_t downAddonType,
              std::string programFolder = ProgramFolder());
    TaddonSpy(const TaddonSpy&) = delete;
    TaddonSpy& operator=(const TaddonSpy&) = delete;
    virtual ~TaddonSpy();

    // Runs Execute on a thread of its own, which frees the worker when Execute returns.
    static void Start(std::unique_ptr<TaddonSpy> worker);
    // Workers started by Start that have not yet freed themselves (tests wait for 0).
    static int Running();

    // The thread's body: install when wow.exe exists, then lbl_Addon_End. Never raises.
    virtual void Execute();

    // Where the archive library is looked for; the program folder's first, then the system's.
    std::vector<std::string> FLibraryPaths;
    // Archives over these are refused before anything is written (no real add-on comes near
    // them); tests lower them.
    std::uint64_t FUnpackSizeLimit = std::uint64_t{2} << 30;
    std::uint32_t FUnpackItemLimit = 100'000;
    // The page names no size for the archive: its download stops here (tests lower it).
    std::uint64_t FDownloadLimit = kUnsizedDownloadCap;
    // Room left for the player after an add-on is unpacked.
    static constexpr std::uint64_t kFreeSpaceMargin = 64u << 20;
    // How far the unpacked bytes may run past the announced total before the unpacking stops.
    static constexpr std::uint64_t kUnpackSlack = 2u << 20;
    // The HTTP client's TLS settings (tests give it their own certificate authority).
    TTlsHandler& TlsHandler() { return *FSSLIO; }
    THttpClient& HttpClient() { return *FHttp; }

protected:
    void InstallAddon();
    void UnpackAddon(const std::string& archive, const std::string& folder);
    void SendAddonNotice(int code, const std::string& msg);
    void OnDownloadBegin(std::int64_t total);
    void OnDownloadProgress(std::int64_t done);
    void OnDownloadEnd();
    z7::HRESULT OnUnpackProgress(void* sender, bool total, std::uint64_t value);

private:
    void SendPercent(int code, std::uint64_t done, std::uint64_t total);
    bool RoomFor(std::uint64_t bytes) const;
    void PutInPlace(const std::string& staging);

    IMainForm& FForm;
    std::unique_ptr<THttpClient> FHttp;
    std::unique_ptr<TTlsHandler> FSSLIO;
    std::string FDownTemp;
    std::string FDownPath;
    std::string FDownAddonUrl;
    std::string FDownAddonName;
    std::string FDownAddonMd5;
    std::int32_t FDownAddonId;
    std::int32_t FDownAddonType;
    std::string FlblMsg;
    std::string FProgramFolder;
    std::int64_t FDownTotal = 0;
    std::int64_t FUnpackTotal = 0;
    std::string FUnpackRefusal; // why the unpacking was stopped from here
    int FLastPercent = -1;      // the percentage last sent in the current series; repeats are not sent
};

// The MSG_DOWN_ADDON handler (main thread): starts a worker with these values when
// `programFolder` holds wow.exe, else calls form.lbl_Addon_End() at once. See the top of the file.
void DownAddon(IMainForm& form, const std::string& downTemp, const std::string& downPath,
               const std::string& downAddonUrl, const std::string& downAddonName, const std::string& downAddonMd5,
               std::int32_t downAddonId, std::int32_t downAddonType,
               const std::string& programFolder = ProgramFolder());

} // namespace tw
