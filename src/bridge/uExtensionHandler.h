#pragma once
// The program side of the page's native functions. One handler per page: it injects the
// functions into every frame of the page (after every load, before the page's own scripts),
// receives their calls over the page's web channel, and hands each call to the main window as a
// tw::PageMessage on the main thread. native_get_channel is answered on the spot, from cfg.ini.
#include "bridge/dispatch.h"

#include <QObject>
#include <QString>
#include <QVariantList>
#include <functional>
#include <string>

class QWebEnginePage;
class QWebChannel;

class TExtensionHandler : public QObject {
    Q_OBJECT
public:
    using MessageSink = std::function<void(const tw::PageMessage&)>;

    // `programFolder` (with trailing separator) holds cfg.ini. The handler becomes a child of `page`.
    TExtensionHandler(QWebEnginePage* page, std::string programFolder, MessageSink sink);

    // For the page's javaScriptPrompt: true when `message` is the channel question, with the
    // answer in `result`; false for every other prompt, which the page then handles as usual.
    bool AnswerPrompt(const QString& message, QString* result) const;

    // The channel ID: key "ID" of section "channel" of cfg.ini, read anew on every call.
    static std::string ChannelId(const std::string& programFolder);

    // Called by the page's script (over the web channel) for every native call.
    Q_INVOKABLE void call(const QString& name, const QVariantList& args);

private:
    std::string programFolder_;
    MessageSink sink_;
    QWebChannel* channel_;
};
