#include "update/downSpy.h"

#include "base/helpers.h"
#include "base/percent.h"
#include "base/safePath.h"
#include "base/text.h"
#include "net/origin.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/process.h"

#include <cerrno>
#include <chrono>
#include <thread>

namespace tw {

void Wait1000() {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
}

void TDownSpy::Start(IMainForm& form, const TAnswerVerifier& verifier, const std::string& programFolder) {
    std::string folder = programFolder.empty() ? ProgramFolder() : programFolder;
    if (!folder.empty() && !platform::IsNativeSeparator(folder.back()))
        folder += kSep;
    auto* spy = new TDownSpy(form, folder + "down" + kSep + "temp" + kSep, folder + "down" + kSep, folder, verifier);
    spy->Resume();
}

TDownSpy::TDownSpy(IMainForm& form, std::string downTemp, std::string downPath, std::string programFolder,
                   TAnswerVerifier verifier)
    : FForm(form), FHttp(std::make_unique<THttpClient>()), FSSLIO(std::make_unique<TTlsHandler>()),
      FDownTemp(std::move(downTemp)), FDownPath(std::move(downPath)), FProgramFolder(std::move(programFolder)),
      FServiceUrl(ServiceUrl()), FDownloadHost(DownloadHost()), FVerifier(std::move(verifier)),
      FAnswerSerial(FDownPath + "answer-serial") {
    FHttp->SetIOHandler(FSSLIO.get());
    FHttp->SetContentType(kFormContentType);
    FHttp->SetEvents({[this](std::int64_t total) { OnDownloadBegin(total); },
                      [this](std::int64_t done) { OnDownloadProgress(done); }, [this] { OnDownloadEnd(); }});
}

TDownSpy::~TDownSpy() {
    FJsonObj = TAnswer();
    FHttp->SetIOHandler(nullptr);
    FSSLIO.reset();
    FHttp.reset();
}

void TDownSpy::Resume() {
    if (FStarted)
        throw Error("The update worker was started twice");
    FStarted = true;
    std::thread([this] { Run(); }).detach();
}

void TDownSpy::Run() {
    try {
        Execute();
    } catch (...) {
        // Nothing may leave the thread; Execute has already told the page what it could.
    }
    auto done = std::move(OnTerminate);
    delete this;
    if (done)
        done();
}

void TDownSpy::Execute() {
    try {
        InitHome();
        Wait1000();
        EnsureFolder(FDownTemp);
        RemoveStaleDownloads();
        CheckUpdate();
        if (!platform::FileExists(FProgramFolder + "wow.exe"))
            InstallClient();
        if (platform::FileExists(FProgramFolder + "wow.exe"))
            CheckPatches();
    } catch (...) {
        // Any failure ends the sequence; the page says what failed before the game-ready notice,
        // which would otherwise read as success.
        ShowStatus(FailureText(std::current_exception()));
    }
    SendStartGame();
}

std::string TDownSpy::FailureText(const std::exception_ptr& failure) const {
    try {
        std::rethrow_exception(failure);
    } catch (const NoRoomError& e) {
        return NoRoomText(e.Missing());
    } catch (const ExpiredAnswer&) {
        return kFailExpired;
    } catch (const UnverifiedAnswer&) {
        return kFailUnverified;
    } catch (const SystemError& e) {
        return e.Code() == ENOSPC ? kFailDiskFull : kFailFiles;
    } catch (const HttpError& e) {
        if (!FServiceRequest)
            return kFailDownload;
        return e.Answered() ? kFailBadAnswer : kFailUnreachable;
    } catch (const AnswerError&) {
        return kFailBadAnswer;
    } catch (...) {
        return kFailOther;
    }
}

void TDownSpy::InitHome() {
    ShowStatus("正在初始化……");
    FHostUrl = TAnswer::Parse(PostAction("gethomepageurl"), "gethomepageurl").Trimmed("data");
    // A build that checks signatures would hand every native function to whoever sits between the
    // player and a plain-http home page: such a page is no verified answer, whatever its signature.
    if (FVerifier.Enabled()) {
        const auto origin = OriginOfUrl(FHostUrl);
        if (!origin || !IsSecureOrigin(*origin))
            throw UnverifiedAnswer("The home page \"" + FHostUrl + "\" is no https address");
    }
    LoadHomePage();
    FForm.SetWowHost(TAnswer::Parse(PostAction("getwowhost"), "getwowhost").Trimmed("data"));
}

void TDownSpy::CheckUpdate() {
    ShowStatus("正在效验登录器版本...");
    TAnswer answer = TAnswer::Parse(PostAction("getupdate", {{"version", FileVersionText(platform::ExecutablePath())}}),
                                    "getupdate");
    const std::string url = answer.Trimmed("url");
    if (url.empty())
        return;
    // Never a program older than or as old as this one (a saved answer, a mirror left behind); a
    // build with a key takes only an offer that says what it offers.
    const std::string offered = answer.Trimmed("version");
    if (offered.empty() ? FVerifier.Enabled() : !IsNewerVersion(offered, FileVersionText(platform::ExecutablePath())))
        return;
    // The name comes from the network: anything but a bare name could write outside the
    // temporary folder, or start a program that is already on the machine.
    const std::string filename = answer.Text("filename");
    if (!IsPlainFileName(filename))
        return;
    const DownloadBound bound = DownloadBound::Of(ListedSize(answer, FVerifier.Enabled()));
    ShowStatus("发现新版本，正在升级");
    // Fetched and checked in a file of its own, then moved to its name: no other download writes
    // there (each has its own folder), and what is started is the very file that was checked.
    FreshDownload download(FDownTemp, filename);
    GetIntoFile(url, download, bound, 1);
    if (download.Md5() != answer.Text("MD5"))
        return; // deleted with its folder
    const std::string path = FDownTemp + filename;
    if (!MoveFiles(download.Path(), path) || !download.IsAt(path)) {
        platform::DeleteFile(path);
        throw SystemError("The update program could not be put at " + path, EIO);
    }
    platform::MakeExecutable(path);
    ShellOpen(path, answer.Text("paramstr"));
}

void TDownSpy::GetIntoFile(const std::string& url, FreshDownload& download, DownloadBound bound,
                           std::int32_t downState) {
    FDownState = downState;
    FServiceRequest = false;
    download.Get(*FHttp, url, bound);
}

void TDownSpy::RemoveStaleDownloads() {
    // Each download's folder goes when it ends; a run that was cut off leaves its own. Only this
    // process's downloads can be under way (one launcher runs at a time).
    std::vector<platform::DirEntry> entries;
    if (!platform::ListFolder(FDownTemp, entries))
        return;
    const std::string mine = kDownloadFolderPrefix + std::to_string(platform::CurrentProcessId()) + "-";
    for (const auto& e : entries)
        if (e.isFolder && e.name.rfind(kDownloadFolderPrefix, 0) == 0 && e.name.rfind(mine, 0) != 0)
            platform::RemoveTree(FDownTemp + e.name);
}

std::string TDownSpy::PostAction(const std::string& action, const FormFields& extra) {
    FServiceRequest = true;
    std::string body = tw::PostAction(*FHttp, FServiceUrl, action, extra);
    CheckAnswer(action, body);
    return body;
}

std::string TDownSpy::GetAria2Conf() {
    FServiceRequest = false;
    std::string conf = FHttp->Get(FDownloadHost + "/apps/w02/aria2.conf");
    CheckAnswer("aria2.conf", conf);
    return conf;
}

void TDownSpy::CheckAnswer(const std::string& action, const std::string& body) {
    if (!FVerifier.Enabled())
        return;
    const AnswerStamp stamp{FHttp->LastHeader(kSignatureHeader), FHttp->LastHeader(kSerialHeader),
                            FHttp->LastHeader(kExpiresHeader)};
    const std::uint64_t serial = FVerifier.Verify(action, body, stamp, UnixNow(), FAnswerSerial.Highest());
    if (serial > FAnswerSerial.Highest()) {
        EnsureFolder(FDownPath);
        FAnswerSerial.Raise(serial);
    }
}

void TDownSpy::ShowStatus(const std::string& text) {
    FlblMsg = text;
    SendStatus();
}

void TDownSpy::SendStatus() {
    FSentText = FlblMsg;
    FForm.Synchronize([this] {
        FForm.h_LblMsg = FlblMsg;
        FForm.lbl_Msg();
    });
}

void TDownSpy::LoadHomePage() {
    FForm.Synchronize([this] { FForm.LoadURL(FHostUrl); });
}

void TDownSpy::SendStartGame() {
    FForm.Synchronize([this] { FForm.lbl_Start_Game(); });
}

void TDownSpy::OnDownloadBegin(std::int64_t total) {
    FDownloadTotal = total;
}

void TDownSpy::OnDownloadProgress(std::int64_t done) {
    const char* prefix = FDownState == 1 ? "新版本登录器正在下载中 " : FDownState == 2 ? "补丁包正在下载中 " : nullptr;
    if (prefix) {
        // Without an announced total there is no percentage; the amount received is shown instead.
        FlblMsg =
            prefix + (FDownloadTotal > 0 ? std::to_string(PercentHalfEven(static_cast<std::uint64_t>(done),
                                                                          static_cast<std::uint64_t>(FDownloadTotal)))
                                         : std::to_string(done / 1024) + " KiB");
    }
    // Each hand-over costs a round trip to the main thread and a script run in the page; a text
    // the page already shows is not sent again.
    if (FlblMsg != FSentText)
        SendStatus();
}

void TDownSpy::OnDownloadEnd() {
    FDownloadTotal = 0;
    FDownState = 0;
}

} // namespace tw
