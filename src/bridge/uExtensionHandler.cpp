#include "bridge/uExtensionHandler.h"

#include "base/inifile.h"

#include <QFile>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>

namespace {

const QString kChannelPrompt = QStringLiteral("\u0001tarnwick-get-channel");

QString ReadResource(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll());
}

// The channel library and our functions in one function scope, so the page sees only the eight
// functions on window.
QString InjectedScript() {
    static const QString script = QStringLiteral("(function () {\n'use strict';\n") +
                                  ReadResource(QStringLiteral(":/qtwebchannel/qwebchannel.js")) +
                                  QStringLiteral("\n") + ReadResource(QStringLiteral(":/bridge/native_functions.js")) +
                                  QStringLiteral("\n})();\n");
    return script;
}

tw::PageValue ToPageValue(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::QString:
        return v.toString().toStdString();
    case QMetaType::Bool:
        return v.toBool();
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return v.toDouble();
    default:
        return std::monostate{};
    }
}

} // namespace

TExtensionHandler::TExtensionHandler(QWebEnginePage* page, std::string programFolder, MessageSink sink)
    : QObject(page), programFolder_(std::move(programFolder)), sink_(std::move(sink)), channel_(new QWebChannel(this)) {
    channel_->registerObject(QStringLiteral("tarnwick"), this);
    page->setWebChannel(channel_);

    QWebEngineScript script;
    script.setName(QStringLiteral("tarnwick-native-functions"));
    script.setSourceCode(InjectedScript());
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(true);
    page->scripts().insert(script);
}

bool TExtensionHandler::AnswerPrompt(const QString& message, QString* result) const {
    if (message != kChannelPrompt)
        return false;
    if (result)
        *result = QString::fromStdString(ChannelId(programFolder_));
    return true;
}

std::string TExtensionHandler::ChannelId(const std::string& programFolder) {
    return tw::ReadProfileString(programFolder + "cfg.ini", "channel", "ID", "x001");
}

void TExtensionHandler::call(const QString& name, const QVariantList& args) {
    tw::PageMessage message;
    message.name = name.toStdString();
    // The page's script sends at most five values; anything beyond is not ours to read.
    for (qsizetype i = 0; i < args.size() && i < 5; ++i)
        message.args.push_back(ToPageValue(args[i]));
    if (sink_)
        sink_(message);
}
