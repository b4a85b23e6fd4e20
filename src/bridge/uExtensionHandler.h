#pragma once
// The program side of the page's native functions. One handler per page: it injects the
// functions into every frame of the page (after every load, before the page's own scripts) and
// answers their calls, which reach the page's javaScriptPrompt with the calling frame's origin as
// the browser engine reports it. A call is carried out only when it comes from a trusted document
// (see bridge/trust.h) inside a trusted main-frame document; it is then handed to the main window
// as a tw::PageMessage. native_get_channel is answered on the spot: from cfg.ini for a trusted
// document, "x001" for any other.
#include "bridge/dispatch.h"
#include "bridge/trust.h"

#include <QObject>
#include <QString>
#include <QUrl>
#include <functional>
#include <string>

class QWebEnginePage;

class TExtensionHandler : public QObject {
    Q_OBJECT
public:
    using MessageSink = std::function<void(const tw::PageMessage&)>;

    // `programFolder` (with trailing separator) holds cfg.ini and launcherui/. `trustedOrigins`:
    // the build's extra origins, blank-separated. `secureOnly`: no insecure origin is trusted (a
    // build with a signing key). The handler becomes a child of `page`.
    TExtensionHandler(QWebEnginePage* page, std::string programFolder, MessageSink sink,
                      const std::string& trustedOrigins = {}, bool secureOnly = false);

    // For the page's javaScriptPrompt: true when `message` is a native call, answered in
    // `result`; false for every other prompt, which the page then handles as usual.
    bool AnswerPrompt(const QUrl& frameOrigin, const QString& message, const QString& value, QString* result);

    // The home page that the service named: its origin is trusted from now on.
    void SetHomePage(const QUrl& url);
    // A document at `url` (a main-frame address).
    bool TrustsDocument(const QUrl& url) const;
    // A frame of `frameOrigin` inside the page's current main-frame document.
    bool TrustsCaller(const QUrl& frameOrigin) const;

    // The channel ID: key "ID" of section "channel" of cfg.ini, read anew on every call.
    static std::string ChannelId(const std::string& programFolder);

private:
    QWebEnginePage* page_;
    std::string programFolder_;
    MessageSink sink_;
    tw::TTrustRules rules_;
};
