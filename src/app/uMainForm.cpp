#include "app/uMainForm.h"

#include "addon/addonSpy.h"
#include "shell/shellRules.h"
#include "base/helpers.h"
#include "base/pagetext.h"
#include "net/http.h"
#include "bridge/uExtensionHandler.h"
#include "game/maintenance.h"
#include "game/startGame.h"
#include "platform/fs.h"
#include "platform/system.h"
#include "update/aria2.h"
#include "update/downSpy.h"

#include "tarnwick_config.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebEngineContextMenuRequest>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <QWindow>
#include <QtWebEngineCore/qtwebenginecoreglobal.h>

#include <exception>

namespace tw {

namespace {

QWebEngineProfile* g_profile = nullptr;

QString Q(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

// A page command's message with the values it brought: each post carries its own, so that two
// quick commands of one kind never hand each other's values to the handler.
class TCommandEvent : public QEvent {
public:
    TCommandEvent(int message, AddonRequest addonRequest, std::string url)
        : QEvent(static_cast<QEvent::Type>(message)), addon(std::move(addonRequest)), openUrl(std::move(url)) {}
    AddonRequest addon;
    std::string openUrl;
};

void DiscardMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

// Where the engine looks for a part of itself: the environment's choice when set, else the first
// candidate that holds `probe`; the first candidate when none does.
QString EnginePath(const char* variable, const QStringList& candidates, const QString& probe) {
    const QString given = qEnvironmentVariable(variable);
    if (!given.isEmpty())
        return given;
    for (const QString& c : candidates)
        if (QFileInfo::exists(probe.isEmpty() ? c : c + "/" + probe))
            return c;
    return candidates.value(0);
}

} // namespace

// The browser: the page and its engine events.
class TBrowserPage : public QWebEnginePage {
public:
    explicit TBrowserPage(QWebEngineProfile* profile) : QWebEnginePage(profile) {
        // Camera and microphone are allowed without asking, as the runtime settings say, but only
        // to trusted documents; everything else is refused.
        connect(this, &QWebEnginePage::featurePermissionRequested, this, [this](const QUrl& origin, Feature f) {
            const bool media = f == MediaAudioCapture || f == MediaVideoCapture || f == MediaAudioVideoCapture;
            const bool grant = media && extension && extension->TrustsCaller(origin);
            setFeaturePermission(origin, f, grant ? PermissionGrantedByUser : PermissionDeniedByUser);
        });
    }

    TExtensionHandler* extension = nullptr;

protected:
    // The native functions call through a prompt with a marker text, which the engine hands over
    // with the calling frame's origin; every other prompt is the page's.
    bool javaScriptPrompt(const QUrl& origin, const QString& msg, const QString& defaultValue,
                          QString* result) override {
        if (extension && extension->AnswerPrompt(origin, msg, defaultValue, result))
            return true;
        return QWebEnginePage::javaScriptPrompt(origin, msg, defaultValue, result);
    }
    // Every new-window disposition (tab, background tab, pop-up, window) is cancelled: links with
    // a new-window target and window.open open nothing.
    QWebEnginePage* createWindow(WebWindowType) override { return nullptr; }
    // The page's console is not the launcher's log.
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString&, int, const QString&) override {}
};

// The browser's window. Only an editable field keeps its edit menu.
class TBrowserView : public QWebEngineView {
public:
    TBrowserView(QWebEnginePage* page, QWidget* parent) : QWebEngineView(page, parent) {}

protected:
    void contextMenuEvent(QContextMenuEvent* e) override {
        const QWebEngineContextMenuRequest* request = lastContextMenuRequest();
        if (!request)
            return;
        int flags = kContextPage;
        if (!request->linkUrl().isEmpty())
            flags |= kContextLink;
        if (request->mediaType() != QWebEngineContextMenuRequest::MediaTypeNone)
            flags |= kContextMedia;
        if (!request->selectedText().isEmpty())
            flags |= kContextSelection;
        if (request->isContentEditable())
            flags |= kContextEditable;
        if (!KeepContextMenu(flags))
            return;
        QMenu* menu = createStandardContextMenu();
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(e->globalPos());
    }
};

std::vector<std::string> CreateGlobalCEFApp(const std::vector<std::string>& arguments) {
    // Nothing is logged: neither Qt's messages nor the pages' consoles nor the engine's own log.
    qInstallMessageHandler(DiscardMessage);
    // Chromium refuses to start as root with its sandbox on; the launcher runs elevated.
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    qunsetenv("QTWEBENGINE_REMOTE_DEBUGGING");
    std::vector<std::string> switches = SplitSwitches(qgetenv("QTWEBENGINE_CHROMIUM_FLAGS").toStdString());
    switches = RuntimeSwitches(switches);
    switches.emplace_back("--lang=zh-CN");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", QByteArray::fromStdString(JoinSwitches(switches)));
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    // The window system knows the window by its class: on X11 that is the application name.
    QCoreApplication::setApplicationName(QStringLiteral("UIFrameEx"));

    std::vector<std::string> out;
    for (const auto& a : arguments)
        if (!IsRemoteDebuggingSwitch(a))
            out.push_back(a);
    return out;
}

QStringList MissingRuntimeFiles() {
    const QString appDir = QCoreApplication::applicationDirPath();
    QStringList missing;
    const QString process =
        EnginePath("QTWEBENGINEPROCESS_PATH",
                   {QLibraryInfo::path(QLibraryInfo::LibraryExecutablesPath) + "/QtWebEngineProcess",
                    appDir + "/QtWebEngineProcess"},
                   {});
    const QFileInfo processInfo(process);
    if (!processInfo.isFile() || !processInfo.isExecutable())
        missing << process;
    const QString resources =
        EnginePath("QTWEBENGINE_RESOURCES_PATH",
                   {QLibraryInfo::path(QLibraryInfo::DataPath) + "/resources", appDir + "/resources", appDir},
                   "qtwebengine_resources.pak");
    for (const char* pack :
         {"qtwebengine_resources.pak", "qtwebengine_resources_100p.pak", "qtwebengine_resources_200p.pak"})
        if (!QFileInfo(resources + "/" + pack).isFile())
            missing << resources + "/" + pack;
    const QString locales = EnginePath(
        "QTWEBENGINE_LOCALES_PATH",
        {QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtwebengine_locales", appDir + "/qtwebengine_locales"},
        "zh-CN.pak");
    if (!QFileInfo(locales + "/zh-CN.pak").isFile())
        missing << locales + "/zh-CN.pak";
    return missing;
}

bool StartGlobalCEFApp() {
    const QStringList missing = MissingRuntimeFiles();
    if (!missing.isEmpty()) {
        QMessageBox::critical(nullptr, Q(kBoxCaption),
                              QStringLiteral("浏览器组件不完整，登录器无法启动。缺少以下文件：\n\n") +
                                  missing.join('\n'));
        return false;
    }
    const QString userData = Q(ProgramFolder()) + platform::kBrowserDataFolder;
    auto* profile = new QWebEngineProfile(QStringLiteral("launcher"));
    profile->setPersistentStoragePath(userData);
    profile->setCachePath(userData + QLatin1Char(platform::kPathSeparator) + "cache");
    profile->setHttpCacheType(QWebEngineProfile::DiskHttpCache);
    // Session cookies end with the run; cookies with an expiry are kept.
    profile->setPersistentCookiesPolicy(QWebEngineProfile::AllowPersistentCookies);
    profile->setHttpUserAgent(Q(ComposeUserAgent(platform::UserAgentOsPart(), qWebEngineChromiumVersion(),
                                                 FileVersionText(platform::ExecutablePath()))));
    profile->setHttpAcceptLanguage(QStringLiteral("zh-CN"));
    profile->setSpellCheckEnabled(false);
    // With this off window.open answers null at once instead of handing out a dead window.
    profile->settings()->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
    // The first page is a local file; like any Chromium page it must reach the network (the
    // service's pictures, its links). The engine would refuse that to local content otherwise.
    profile->settings()->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, true);
    g_profile = profile;
    return true;
}

void DestroyGlobalCEFApp() {
    delete g_profile;
    g_profile = nullptr;
}

QWebEngineProfile* GlobalProfile() {
    return g_profile;
}

QUrl StartAddress() {
    return QUrl::fromLocalFile(QDir::current().absoluteFilePath("launcherui/index.html"));
}

// ---- TMainForm ----

TMainForm::TMainForm(std::string signingKey)
    : TFormEx(QStringLiteral("Tarnwick")), FSigningKey(std::move(signingKey)) {
    // FormCreate.
    FCanClose = false;
    FClosing = false;
    const std::string folder = ProgramFolder();
    FDownTemp = folder + "down" + platform::kPathSeparator + "temp" + platform::kPathSeparator;
    FDownPath = folder + "down" + platform::kPathSeparator;

    QIcon icon;
    for (int size : {16, 24, 32, 48, 256})
        icon.addFile(QStringLiteral(":/tarnwick/icon-%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);

    CEFWindowParent1 = new QWidget(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(CEFWindowParent1);
    auto* hostLayout = new QVBoxLayout(CEFWindowParent1);
    hostLayout->setContentsMargins(0, 0, 0, 0);

    // Client area 1050 × 691 inside the one-pixel frame, but never below 1024 × 720 outside.
    setMinimumSize(1024, 720);
    resize(1050 + 2, 691 + 2);
    if (const QScreen* s = QGuiApplication::primaryScreen())
        move(s->availableGeometry().center() - QRect(QPoint(), size()).center());

    Timer1 = new QTimer(this);
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TMainForm::Timer1Timer);
    Timer2 = new QTimer(this);
    Timer2->setInterval(1000);
    connect(Timer2, &QTimer::timeout, this, &TMainForm::Timer2Timer);
    Timer2->start();
}

// The destroy step is FormDestroy, which the start-up runs once at the very end; deleting the
// object (tests do) ends no processes.
TMainForm::~TMainForm() = default;

bool TMainForm::BrowserInitialized() const {
    return Chromium1 && FAfterCreated;
}
bool TMainForm::Timer1Active() const {
    return Timer1->isActive();
}

void TMainForm::showEvent(QShowEvent* e) {
    TFormEx::showEvent(e);
    if (!FShown) {
        FShown = true;
        FormShow();
    }
}

void TMainForm::FormShow() {
    FStartAddress = StartAddress();
    if (!CreateBrowser())
        Timer1->start();
}

void TMainForm::Timer1Timer() {
    Timer1->stop();
    if (!CreateBrowser() && !BrowserInitialized() && !FClosing)
        Timer1->start();
}

void TMainForm::Timer2Timer() {
    if (BrowserInitialized()) {
        PostMessage(MSG_START_UPDATE);
        Timer2->stop();
    }
}

bool TMainForm::CreateBrowser() {
    // Fails while the runtime is not up, when a browser exists, and once closing has begun.
    if (!GlobalProfile() || Chromium1 || FClosing || !CEFWindowParent1)
        return false;
    Chromium1 = new TBrowserPage(GlobalProfile());
    Chromium1->setBackgroundColor(Qt::white);
    connect(Chromium1, &QWebEnginePage::loadingChanged, this, &TMainForm::Chromium1LoadError);
    connect(Chromium1, &QWebEnginePage::loadingChanged, this, &TMainForm::Chromium1LoadEnd);
    // The page's native functions, in every frame of every document it loads (a child of the page).
    Chromium1->extension = new TExtensionHandler(
        Chromium1, ProgramFolder(), [this](const PageMessage& m) { Chromium1ProcessMessageReceived(m); },
        TARNWICK_TRUSTED_ORIGINS, !FSigningKey.empty());
    FView = new TBrowserView(Chromium1, CEFWindowParent1);
    CEFWindowParent1->layout()->addWidget(FView);
    Chromium1->load(FStartAddress);
    Chromium1AfterCreated();
    return true;
}

void TMainForm::Chromium1AfterCreated() {
    FAfterCreated = true;
    PostMessage(MSG_BROWSER_CREATED);
}

void TMainForm::Chromium1ProcessMessageReceived(const PageMessage& message) {
    const DispatchResult r = Dispatch(message);
    switch (r.command) {
    case WindowCommand::Move:
        // Follows the mouse while its button is held; needs a window manager to do anything.
        if (QWindow* w = windowHandle())
            w->startSystemMove();
        break;
    case WindowCommand::Minimize:
        showMinimized();
        break;
    case WindowCommand::MaximizeOrRestore:
        if (isMaximized())
            showNormal();
        else
            showMaximized();
        break;
    case WindowCommand::Close:
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
        break;
    case WindowCommand::None:
        break;
    }
    if (r.post)
        QCoreApplication::postEvent(this, new TCommandEvent(r.post, r.addon, r.openUrl));
}

void TMainForm::Chromium1LoadError(const QWebEngineLoadingInfo& info) {
    // An HTTP error status is a page that loaded; an aborted load (-3) is no failure.
    if (info.status() != QWebEngineLoadingInfo::LoadFailedStatus ||
        info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain || info.errorCode() == -3)
        return;
    if (FLoadErrorShown || FClosing)
        return;
    FLoadErrorShown = true;
    // The box runs its own loop; keep it out of the engine's signal.
    QTimer::singleShot(0, this, [this] {
        QMessageBox box(QMessageBox::Critical, Q(kBoxCaption), Q(kLoadErrorText), QMessageBox::Ok, this);
        box.setWindowModality(Qt::ApplicationModal);
        box.exec();
        close();
    });
}

void TMainForm::Chromium1LoadEnd(const QWebEngineLoadingInfo& info) {
    // The worker's notifications run in whatever document is current: one sent while the home
    // page was still on its way, or before the page had defined its functions, is gone with that
    // document. Without this a home page that arrives late keeps its start button disabled. Each
    // trusted document is told once: what it has not taken yet, the status text first.
    if (info.status() != QWebEngineLoadingInfo::LoadSucceededStatus || !Chromium1 || !FNotices.AnySent())
        return;
    if (!Chromium1->extension->TrustsDocument(Chromium1->url()))
        return;
    QPointer<TMainForm> self(this);
    Chromium1->runJavaScript(QStringLiteral("performance.timeOrigin"), [self](const QVariant& document) {
        if (!self || !document.isValid())
            return;
        for (TPageNotices::Kind k : self->FNotices.Missed(document.toDouble()))
            k == TPageNotices::Status ? self->lbl_Msg() : self->lbl_Start_Game();
    });
}

void TMainForm::closeEvent(QCloseEvent* e) {
    // FormCloseQuery: the first request starts the handshake and is refused; the window closes
    // when the browser has gone.
    const bool first = !FClose.Closing();
    const TCloseHandshake::Answer answer = FClose.Query(Chromium1 != nullptr);
    FClosing = FClose.Closing();
    FCanClose = FClose.CanClose();
    e->setAccepted(answer.close);
    if (first)
        hide();
    if (answer.closeBrowser)
        CloseBrowser();
    if (e->isAccepted()) {
        Timer1->stop();
        Timer2->stop();
        emit Closed();
    }
}

void TMainForm::CloseBrowser() {
    // A forced close: the page gets no chance to object or to ask the user.
    Chromium1Close();
}

void TMainForm::Chromium1Close() {
    PostMessage(MSG_BROWSER_DESTROY);
}

void TMainForm::Chromium1BeforeClose() {
    FClose.BrowserGone();
    FCanClose = true;
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

// ---- window messages ----

void TMainForm::PostMessage(int message) {
    QCoreApplication::postEvent(this, new QEvent(static_cast<QEvent::Type>(message)));
}

bool TMainForm::event(QEvent* e) {
    const int type = static_cast<int>(e->type());
    switch (type) {
    case MSG_BROWSER_CREATED:
    case MSG_BROWSER_DESTROY:
    case MSG_START_UPDATE:
    case MSG_DOWN_ADDON:
    case MSG_START_GAME:
    case MSG_CLEAR_CACHE:
    case MSG_CLEAR_USER_CACHE:
    case MSG_CLEAR_FONTS:
    case MSG_OPEN_URL:
        // The values a page command brought travel with its own event.
        if (auto* command = dynamic_cast<TCommandEvent*>(e)) {
            if (type == MSG_DOWN_ADDON) {
                FDownAddonUrl = command->addon.url;
                FDownAddonName = command->addon.name;
                FDownAddonMd5 = command->addon.md5;
                FDownAddonId = command->addon.id;
                FDownAddonType = command->addon.type;
            } else if (type == MSG_OPEN_URL) {
                FOpwnUrl = command->openUrl;
            }
        }
        // As the main loop would: an error inside a handler is shown, and the loop goes on.
        try {
            HandleMessage(type);
        } catch (const std::exception& ex) {
            ShowHandlerError(QString::fromUtf8(ex.what()));
        } catch (...) {
            ShowHandlerError(QStringLiteral("未知错误"));
        }
        return true;
    default:
        return TFormEx::event(e);
    }
}

void TMainForm::ShowHandlerError(const QString& text) {
    QMessageBox::critical(isVisible() ? this : nullptr, QGuiApplication::applicationDisplayName(), text);
}

void TMainForm::HandleMessage(int message) {
    switch (message) {
    case MSG_BROWSER_CREATED:
        WMBrowserCreated();
        break;
    case MSG_BROWSER_DESTROY:
        WMBrowserDestroy();
        break;
    case MSG_START_UPDATE:
        WMStartUpdate();
        break;
    case MSG_DOWN_ADDON:
        WMDownAddon();
        break;
    case MSG_START_GAME:
        WMStartGame();
        break;
    case MSG_CLEAR_CACHE:
        WMClearCache();
        break;
    case MSG_CLEAR_USER_CACHE:
        WMClearUserCache();
        break;
    case MSG_CLEAR_FONTS:
        WMClearFonts();
        break;
    case MSG_OPEN_URL:
        WMOpenUrl();
        break;
    default:
        break;
    }
}

void TMainForm::WMBrowserCreated() {
    if (FView && CEFWindowParent1)
        FView->setGeometry(CEFWindowParent1->contentsRect());
}

void TMainForm::WMBrowserDestroy() {
    // The host goes first and takes the browser's window with it; the page follows, and the
    // profile only after the message loop (view, page, profile).
    delete CEFWindowParent1;
    CEFWindowParent1 = nullptr;
    FView = nullptr;
    TBrowserPage* page = Chromium1;
    Chromium1 = nullptr;
    if (!page) {
        Chromium1BeforeClose();
        return;
    }
    connect(page, &QObject::destroyed, this, &TMainForm::Chromium1BeforeClose);
    page->deleteLater();
}

void TMainForm::WMStartUpdate() {
    if (FUpdateStarted)
        return;
    FUpdateStarted = true;
    StartUpdateWorker();
}

void TMainForm::StartUpdateWorker() {
    // The worker owns itself from here on (down/ and down/temp/ of the program folder, as
    // FDownPath and FDownTemp name them) and frees itself when its run ends.
    TDownSpy::Start(*this, TAnswerVerifier(FSigningKey), ProgramFolder());
}

void TMainForm::LetGoOfUpdateWorker() {
    // Nothing is held: the worker is neither stopped nor awaited, it frees itself when it ends,
    // and the end of the process stops it at the latest. Its calls into this window return
    // without running once FormDestroy has begun (see Synchronize).
}

void TMainForm::EndDownloaderProcesses() {
    // The downloaders this launcher started, and any working in its download folder; other
    // programs' downloads are not ours to end. They are asked to stop first, so that what they
    // fetched is kept for the next start; killed only when they do not go within 5 s.
    StopOurAria2Processes(FDownPath, std::chrono::seconds(5));
}

void TMainForm::WMDownAddon() {
    RunCommand(MSG_DOWN_ADDON);
}
void TMainForm::WMStartGame() {
    RunCommand(MSG_START_GAME);
}
void TMainForm::WMClearCache() {
    RunCommand(MSG_CLEAR_CACHE);
}
void TMainForm::WMClearUserCache() {
    RunCommand(MSG_CLEAR_USER_CACHE);
}
void TMainForm::WMClearFonts() {
    RunCommand(MSG_CLEAR_FONTS);
}
void TMainForm::WMOpenUrl() {
    RunCommand(MSG_OPEN_URL);
}

void TMainForm::RunCommand(int message) {
    // The values the command brought; an error raised by a handler reaches the loop, which shows
    // its text.
    DispatchResult command;
    command.post = message;
    command.addon = AddonRequest{FDownAddonUrl, FDownAddonName, FDownAddonMd5, FDownAddonId, FDownAddonType};
    command.openUrl = FOpwnUrl;
    if (const auto text = RunPageCommand(*this, ProgramFolder(), command))
        QMessageBox::critical(isVisible() ? this : nullptr, Q(kBoxCaption), Q(*text));
}

void TMainForm::FormDestroy() {
    if (FDestroyed.exchange(true))
        return;
    LetGoOfUpdateWorker();
    EndDownloaderProcesses();
}

// ---- the workers' seam ----

void TMainForm::Synchronize(const std::function<void()>& fn) {
    if (QThread::currentThread() == thread()) {
        fn();
        return;
    }
    if (FDestroyed)
        return;
    std::exception_ptr error;
    QMetaObject::invokeMethod(
        this,
        [&] {
            try {
                fn();
            } catch (...) {
                error = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (error)
        std::rethrow_exception(error);
}

void TMainForm::RunInMainFrame(const std::string& script, std::optional<TPageNotices::Kind> notice) {
    // A notification counts as sent even when it is dropped: the next trusted document gets it.
    const std::string text = notice ? FNotices.Send(*notice, script) : script;
    // Dropped while no browser is up (before it exists and after it has closed), and while the
    // main frame shows a document that is not trusted (before the first one, it shows none).
    if (!Chromium1)
        return;
    const QUrl document = Chromium1->url();
    if (!document.isEmpty() && !Chromium1->extension->TrustsDocument(document))
        return;
    if (!notice) {
        Chromium1->runJavaScript(Q(text));
        return;
    }
    // The document answers with its time origin once the page's function has returned; an error
    // (the function not defined yet, say) answers nothing. Answers come in the order of the runs.
    QPointer<TMainForm> self(this);
    const TPageNotices::Kind kind = *notice;
    Chromium1->runJavaScript(Q(text), [self, kind](const QVariant& answer) {
        if (self)
            self->FNotices.Taken(kind, answer.isValid() ? std::optional<double>(answer.toDouble()) : std::nullopt);
    });
}

void TMainForm::lbl_Msg() {
    RunInMainFrame(LblMsgScript(h_LblMsg), TPageNotices::Status);
}
void TMainForm::lbl_Start_Game() {
    RunInMainFrame(LblStartGameScript(), TPageNotices::StartGame);
}
void TMainForm::lbl_Down_Addon() {
    RunInMainFrame(LblDownAddonScript(h_LblAddonMsg));
}
void TMainForm::lbl_Addon_End() {
    RunInMainFrame(LblAddonEndScript());
}

void TMainForm::LoadURL(const std::string& url) {
    // Only a web page takes the window's place. An empty address would leave a blank window with
    // neither start nor close button (the page draws them); a local file, a script or an engine
    // page named over the network would show or run what the service has no business with. The
    // page shown so far stays, and nothing new is trusted.
    if (!Chromium1 || !IsHttpUrl(url))
        return;
    // The site of the page the service names is trusted from now on.
    const QUrl home(Q(url));
    Chromium1->extension->SetHomePage(home);
    Chromium1->load(home);
}

} // namespace tw
