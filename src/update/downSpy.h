#pragma once
// The update worker: once per run, on a thread of its own, it loads the service's home page,
// learns the game server, updates the launcher, installs the game client when it is missing,
// brings the patches up to date and finally tells the page that the game may be started.
//
// Life: created suspended (the constructor starts nothing), started once with Resume(), after
// which the object belongs to its thread and frees itself when Execute returns. A worker that was
// never started may be deleted by its creator. The main window (IMainForm) is reached only
// through Synchronize and PostMessage, and must stay usable until the worker has ended (the
// shell's Synchronize must return, without running anything, once the window is gone).
//
// From the shell, on MSG_START_UPDATE:   tw::TDownSpy::Start(mainForm);
#include "base/digestAhead.h"
#include "base/mainform.h"
#include "net/download.h"
#include "net/http.h"
#include "net/service.h"
#include "net/signature.h"
#include "update/aria2.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <set>
#include <string>

namespace tw {

// The worker's fixed pause between polls and retries.
void Wait1000();

// The download passes of the client and the passes of the patch step are bounded: a file that
// can never pass its check would otherwise hold the page's start button for the whole run.
inline constexpr int kMaxDownloadPasses = 3;
inline constexpr int kMaxPatchPasses = 3;

// The last status text of a sequence that ends on a failure, before the game-ready notice: what
// failed and what the player can do. Plain one-line texts, no double quote or backslash.
inline constexpr char kFailUnreachable[] = "无法连接登录器服务，请检查网络连接后重新启动登录器";
inline constexpr char kFailBadAnswer[] = "登录器服务的应答有误，请稍后重新启动登录器";
inline constexpr char kFailUnverified[] = "登录器服务的应答未能通过验证，可能已被篡改，请检查网络后重新启动登录器";
inline constexpr char kFailExpired[] = "登录器服务的应答已过期，请检查电脑的日期和时间是否正确后重新启动登录器";
inline constexpr char kFailDownload[] = "文件下载失败，请检查网络连接后重新启动登录器";
inline constexpr char kFailDiskFull[] = "磁盘空间不足，请清理磁盘后重新启动登录器";
inline constexpr char kFailPortTaken[] =
    "游戏资源下载失败：下载端口 58012 已被其他程序占用，请关闭该程序后重新启动登录器";
inline constexpr char kFailFiles[] = "无法读写游戏文件夹中的文件，请检查磁盘与文件夹权限后重新启动登录器";
inline constexpr char kFailOther[] = "更新未能完成，请重新启动登录器";

class TDownSpy {
public:
    // Creates the worker for `programFolder` (ProgramFolder() by default) with its download
    // folder down/ and temporary folder down/temp/, and starts it. Returns at once.
    // Answers of the service are taken only as `verifier` allows (the shell gives it the build's
    // signing key).
    static void Start(IMainForm& form, const TAnswerVerifier& verifier, const std::string& programFolder = {});

    // Folders end in the native separator. The service endpoints are read from the environment
    // (ServiceUrl, DownloadHost) here, once.
    TDownSpy(IMainForm& form, std::string downTemp, std::string downPath, std::string programFolder,
             TAnswerVerifier verifier = {});
    virtual ~TDownSpy();
    TDownSpy(const TDownSpy&) = delete;
    TDownSpy& operator=(const TDownSpy&) = delete;

    // Starts the thread. Once only; the object must not be touched afterwards.
    void Resume();
    // Runs on the worker thread after the object has been freed (tests wait for it).
    std::function<void()> OnTerminate;

    // The client's trust settings (tests give a test CA here before Resume).
    TTlsHandler& TlsHandler() { return *FSSLIO; }

    // GETs `url` into `download`, held to `bound`, with `downState` as the progress text selector
    // (1 update program, 2 patch). Raises on any failure; nothing that arrived is kept. Public for
    // the benchmark; the steps use it.
    void GetIntoFile(const std::string& url, FreshDownload& download, DownloadBound bound, std::int32_t downState);

protected:
    // The whole sequence; every error ends it, and the page always gets lblstartgame once.
    virtual void Execute();

    // The steps, in their order.
    void InitHome();
    void CheckUpdate();
    // Deletes the download folders that earlier runs left in the temporary folder.
    void RemoveStaleDownloads();
    // Step 5 (the client is missing): the client list, the aria2 passes with their file checks,
    // the deployment. Built in downSpy_client.cpp.
    void InstallClient();
    void GetWowFiles();
    void RunAria2();
    // Polls the pass's aria2c until it has nothing left to do (or is gone).
    void WatchAria2();
    void CheckWowFiles();
    // Queues the files of downloads that stopped complete since the last call (`stoppedTotal` is
    // the pass's numStoppedTotal) for digesting ahead. Any failure only loses the head start.
    void LearnFinished(std::int64_t stoppedTotal);
    // Deletes whatever the download folder's client holds that the list does not name (put there
    // by an earlier run, or by a server that made aria2c fetch more): only checked files move on.
    void RemoveUnlistedClientFiles();
    void DeployWow();
    std::string DeployingGamePath() const;
    // Step 6 (the client is there): the game patches. Built in downSpy_patches.cpp.
    void CheckPatches();

    // Synchronised calls: each runs on the main thread while this thread waits.
    void SendStatus();
    void LoadHomePage();
    void SendStartGame();
    // FlblMsg := text, then SendStatus.
    void ShowStatus(const std::string& text);
    std::string PostAction(const std::string& action, const FormFields& extra = {});
    // GETs the downloader's configuration; verified like a service answer.
    std::string GetAria2Conf();
    // In a build with a key: raises unless `body` is a signed, fresh answer to `action`, no older
    // than one taken before (in this run or an earlier one), and keeps its serial.
    void CheckAnswer(const std::string& action, const std::string& body);
    // The failure text (kFail...) for an error that ended the sequence.
    std::string FailureText(const std::exception_ptr& failure) const;

    // The client's transfer events.
    void OnDownloadBegin(std::int64_t total);
    void OnDownloadProgress(std::int64_t done);
    void OnDownloadEnd();

    IMainForm& FForm;

    // The worker's state (see the field table of the update worker).
    TAnswer FJsonObj;                    // the getWowFiles answer, kept for the file check
    std::unique_ptr<THttpClient> FHttp;  // owned
    std::unique_ptr<TTlsHandler> FSSLIO; // owned
    std::string FDownTemp;               // <program folder>down/temp/
    std::string FDownPath;               // <program folder>down/
    std::string FHostUrl;                // the home page URL from gethomepageurl
    std::int32_t FDownState = 0;         // 0 idle, 1 update program, 2 patch: selects the progress text
    bool FCkok = false;                  // the last download pass ended normally and no file failed since
    std::int32_t FCount = 0;             // count of the getWowFiles answer
    std::string FlblMsg;                 // the status text last set

    // Kept per worker rather than per module, so that two workers (a test, a benchmark) never
    // share them.
    std::int64_t FDownloadTotal = 0; // expected total of the body in transfer, from its begin event
    std::string FCheckFileName;      // the file named in the integrity-check text

    std::string FProgramFolder;
    std::string FServiceUrl;
    std::string FDownloadHost;
    TAnswerVerifier FVerifier; // checks every answer the steps rely on before it is read
    TAnswerSerial FAnswerSerial; // the highest serial taken, kept in <download folder>answer-serial
    std::string FSentText;     // the text the page got last: a progress event with an unchanged text sends nothing

    TAria2 FAria2;                // the aria2c of the current pass
    std::string FFailure;         // why the last download pass could not run, for the give-up text
    bool FServiceRequest = false; // the request under way (or last made) is one to the service
    int FFailedFiles = 0;         // files that failed the last check

    // Client files aria2c has finished, digested on the spare core while the pass goes on; the
    // check after the pass reads again only what it does not know unchanged.
    std::unique_ptr<DigestAhead> FFinished;
    std::set<std::string> FStoppedSeen; // gids of this pass's stopped downloads already looked at
    std::int64_t FStoppedTotal = 0;     // numStoppedTotal when they were last asked for

    // <download folder>wow/<filename> with native separators.
    std::string ClientFilePath(const std::string& filename) const;

private:
    void Run();
    bool FStarted = false;
};

// Moves `source` to `destination` as the shell's move does without asking: a source whose last
// part holds wildcards ('*', '?'; "*.*" is everything) moves every match into the destination
// folder; a folder moved onto an existing folder is merged into it, files replace files, missing
// folders are created, and it works across file systems (copy, then delete). A file copied
// across file systems appears under its final name only when complete. True when every part
// succeeded.
bool MoveFiles(const std::string& source, const std::string& destination);

} // namespace tw
