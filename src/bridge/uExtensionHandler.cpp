#include "bridge/uExtensionHandler.h"

#include "base/inifile.h"
#include "bridge/pageCalls.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>

namespace {

const QString kMarker = QString::fromLatin1(tw::kNativeCallMarker);

QString ReadResource(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll());
}

std::optional<tw::WebOrigin> OriginOf(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != "http" && scheme != "https") || url.host().isEmpty())
        return std::nullopt;
    const int port = url.port();
    const int defaultPort = scheme == "https" ? 443 : 80;
    return tw::WebOrigin{scheme.toStdString(), url.host(QUrl::FullyEncoded).toLower().toStdString(),
                         port == defaultPort ? -1 : port};
}

std::string UiFolder(const std::string& programFolder) {
    // Compared as the engine names files: with links resolved where the folder exists.
    const QString ui = QString::fromStdString(programFolder) + QStringLiteral("launcherui");
    const QString canonical = QDir(ui).canonicalPath();
    return (canonical.isEmpty() ? QDir::cleanPath(ui) : canonical).toStdString() + "/";
}

} // namespace

TExtensionHandler::TExtensionHandler(QWebEnginePage* page, std::string programFolder, MessageSink sink,
                                     const std::string& trustedOrigins, bool secureOnly)
    : QObject(page), page_(page), programFolder_(std::move(programFolder)), sink_(std::move(sink)),
      rules_(UiFolder(programFolder_), tw::ParseOriginList(trustedOrigins), secureOnly) {
    QWebEngineScript script;
    script.setName(QStringLiteral("tarnwick-native-functions"));
    script.setSourceCode(ReadResource(QStringLiteral(":/bridge/native_functions.js")));
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    // The page calls the functions, so they live in its world; nothing there is trusted.
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(true);
    page->scripts().insert(script);
}

void TExtensionHandler::SetHomePage(const QUrl& url) {
    rules_.SetHomePage(OriginOf(url));
}

bool TExtensionHandler::TrustsDocument(const QUrl& url) const {
    if (url.isLocalFile()) {
        const QString path = QDir::cleanPath(url.toLocalFile());
        const QString canonical = QFileInfo(path).canonicalFilePath();
        return rules_.TrustsLocalFile((canonical.isEmpty() ? path : canonical).toStdString());
    }
    const auto origin = OriginOf(url);
    return origin && rules_.TrustsWebOrigin(*origin);
}

bool TExtensionHandler::TrustsCaller(const QUrl& frameOrigin) const {
    // The main frame's document decides for every frame in it: a foreign page around a trusted
    // frame gets nothing.
    const QUrl main = page_->url();
    if (!TrustsDocument(main))
        return false;
    // The engine reports a local document's origin as file:///, without its path. Such a frame
    // can only sit in a local main document (web pages may not show local files), and that one
    // is the local UI page, checked above.
    if (frameOrigin.scheme() == QLatin1String("file"))
        return main.isLocalFile();
    const auto origin = OriginOf(frameOrigin);
    return origin && rules_.TrustsWebOrigin(*origin);
}

bool TExtensionHandler::AnswerPrompt(const QUrl& frameOrigin, const QString& message, const QString& value,
                                     QString* result) {
    if (message != kMarker)
        return false;
    const std::optional<tw::PageMessage> call = tw::ParseNativeCall(value.toStdString());
    const bool trusted = TrustsCaller(frameOrigin);
    if (call && call->name == "native_get_channel") {
        if (result)
            *result = trusted ? QString::fromStdString(ChannelId(programFolder_)) : QStringLiteral("x001");
        return true;
    }
    if (result)
        *result = QString();
    if (trusted && call && sink_)
        sink_(*call);
    return true;
}

std::string TExtensionHandler::ChannelId(const std::string& programFolder) {
    return tw::ReadProfileString(programFolder + "cfg.ini", "channel", "ID", "x001");
}
