#pragma once
// TMainForm: the launcher's only window. It hosts the browser, creates it once the runtime is up,
// carries the browser's events over to the main thread, owns the handlers of the program's window
// messages, starts the update worker once, and closes browser and window in order.
//
// The browser runtime of the process lives here too: CreateGlobalCEFApp prepares the process
// before the application object exists, StartGlobalCEFApp checks the engine and creates the one
// profile every browser uses, DestroyGlobalCEFApp lets it go after the last page.
#include "app/FromEx.h"
#include "base/mainform.h"
#include "bridge/dispatch.h"
#include "shell/shellCore.h"

#include <QStringList>
#include <QUrl>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QTimer;
class QWebEngineProfile;
class QWebEngineLoadingInfo;

namespace tw {

class TBrowserPage;
class TBrowserView;

// Before QApplication: sandbox off (the launcher may run as root), the engine's switches (no
// remote debugging whatever the environment says, no log), no message output, the locale and the
// window class. Returns `arguments` as the application object should see them.
std::vector<std::string> CreateGlobalCEFApp(const std::vector<std::string>& arguments);
// After QApplication, in the browser process: checks the engine's files (an error box names what
// is missing) and creates the profile. False means no window may open.
bool StartGlobalCEFApp();
// The profile goes last, after every view and page.
void DestroyGlobalCEFApp();
// The runtime's profile; null until StartGlobalCEFApp has succeeded.
QWebEngineProfile* GlobalProfile();
// Files of the engine that this process would need and cannot find (full paths).
QStringList MissingRuntimeFiles();

class TMainForm : public TFormEx, public IMainForm {
    Q_OBJECT
public:
    // `signingKey`: the build's key for the service's answers (TARNWICK_SIGNING_KEY); empty:
    // answers are taken unsigned.
    explicit TMainForm(std::string signingKey = {});
    ~TMainForm() override;

    // The workers' seam; see base/mainform.h. Synchronize runs `fn` at once when called on the
    // main thread; an error raised by `fn` reaches the caller.
    void Synchronize(const std::function<void()>& fn) override;
    void PostMessage(int message) override;
    void lbl_Msg() override;
    void lbl_Start_Game() override;
    void lbl_Down_Addon() override;
    void lbl_Addon_End() override;
    void LoadURL(const std::string& url) override;

    // The destroy step: runs once, at the very end, after the runtime has been shut down.
    void FormDestroy();

    // True once the browser exists and its after-created step has run.
    bool BrowserInitialized() const;
    bool Timer1Active() const;

    bool FCanClose = false;
    bool FClosing = false;
    std::string FDownTemp;
    std::string FDownPath;
    // Hand-over fields of the page commands; the dispatch fills them just before it posts.
    std::string FDownAddonUrl;
    std::string FDownAddonName;
    std::string FDownAddonMd5;
    std::int32_t FDownAddonId = 0;
    std::int32_t FDownAddonType = 0;
    std::string FOpwnUrl;

signals:
    // The closing handshake has ended and the window has closed: the message loop may end.
    void Closed();

protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    void FormShow();
    void Timer1Timer();
    void Timer2Timer();
    bool CreateBrowser();
    void CloseBrowser();
    void HandleMessage(int message);
    void ShowHandlerError(const QString& text);
    // Runs `script` in the main frame's document when that one is trusted. With `notice`, records
    // which document ran that notification without an error.
    void RunInMainFrame(const std::string& script, std::optional<TPageNotices::Kind> notice = std::nullopt);

    // Browser events.
    void Chromium1AfterCreated();
    // A call of one of the page's native functions (main thread). Window commands act at once;
    // every other command is posted with its own values to its window-message handler.
    void Chromium1ProcessMessageReceived(const PageMessage& message);
    void Chromium1LoadError(const QWebEngineLoadingInfo& info);
    // A page that has loaded is handed what the update worker has said so far (the current status
    // text, and that the game may be started): what went to the page before it lost it.
    void Chromium1LoadEnd(const QWebEngineLoadingInfo& info);
    void Chromium1Close();
    void Chromium1BeforeClose();

    // Window-message handlers.
    void WMBrowserCreated();
    void WMBrowserDestroy();
    void WMStartUpdate();
    void WMDownAddon();
    void WMStartGame();
    void WMClearCache();
    void WMClearUserCache();
    void WMClearFonts();
    void WMOpenUrl();
    void RunCommand(int message);

    void StartUpdateWorker();
    void LetGoOfUpdateWorker();
    void EndDownloaderProcesses();

    QTimer* Timer1 = nullptr;
    QTimer* Timer2 = nullptr;
    QWidget* CEFWindowParent1 = nullptr; // the browser's host, filling the client area
    TBrowserView* FView = nullptr;       // the browser's window, a child of the host
    TBrowserPage* Chromium1 = nullptr;   // the browser: the page in the runtime's profile
    QUrl FStartAddress;
    std::string FSigningKey;
    bool FShown = false;
    bool FAfterCreated = false;
    bool FUpdateStarted = false;
    bool FLoadErrorShown = false;
    // What the worker has told the page, and which document took it; the closing handshake.
    TPageNotices FNotices;
    TCloseHandshake FClose;
    std::atomic<bool> FDestroyed{false};
};

// The start address "file:///launcherui/index.html" names no drive or folder: it is resolved
// against the working folder (the program folder when started normally).
QUrl StartAddress();

} // namespace tw
