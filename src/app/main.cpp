// The launcher's entry: the single-instance rule, the browser runtime, the main window, and the
// order of shutdown.
#include "addon/addonPlace.h"
#include "shell/shellRules.h"
#include "app/uMainForm.h"
#include "base/helpers.h"
#include "launcher_key.h"
#include "platform/instance.h"

#include <QApplication>
#include <QSessionManager>
#include <QSocketNotifier>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The main window is never deleted: a worker that is still running may hold the seam until the
// process ends, as the workers free themselves and are never awaited.
tw::TMainForm* g_mainForm = nullptr;

int Run(int argc, char** argv) {
    // Held by every process that goes on, until it ends; a plain second start ends here, silently.
    const bool running = tw::platform::HoldNamedMarker(tw::kInstanceMarkerName);
    if (!tw::StartAllowed(running, argc - 1))
        return 0;
    // An add-on install that a kill interrupted is finished or undone before anything else can
    // start one; only the first launcher may, a second one would pull it from under the first.
    if (!running)
        tw::RecoverAddonInstallIn(tw::ProgramFolder());

    std::vector<std::string> given(argv, argv + argc);
    std::vector<std::string> arguments = tw::CreateGlobalCEFApp(given);
    std::vector<char*> appArgv;
    for (auto& a : arguments)
        appArgv.push_back(a.data());
    appArgv.push_back(nullptr);
    int appArgc = static_cast<int>(arguments.size());

    QApplication app(appArgc, appArgv.data());
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Tarnwick"));
    // The loop ends when the main window has finished its closing handshake, not when the last
    // visible window goes (the window hides itself while the browser closes).
    QGuiApplication::setQuitOnLastWindowClosed(false);

    if (tw::StartGlobalCEFApp()) {
        g_mainForm = new tw::TMainForm(TARNWICK_LAUNCHER_SIGNING_KEY);
        QObject::connect(g_mainForm, &tw::TMainForm::Closed, &app, &QCoreApplication::quit, Qt::QueuedConnection);

        // The session asking the launcher to end is one more close request.
        const int requests = tw::platform::TerminationRequestDescriptor();
        if (requests >= 0) {
            auto* notifier = new QSocketNotifier(requests, QSocketNotifier::Read, &app);
            QObject::connect(notifier, &QSocketNotifier::activated, g_mainForm, [requests] {
                char buffer[16];
                while (::read(requests, buffer, sizeof buffer) > 0) {
                }
                g_mainForm->close();
            });
        }
        QObject::connect(&app, &QGuiApplication::commitDataRequest, g_mainForm, [](QSessionManager& manager) {
            manager.cancel();
            QMetaObject::invokeMethod(g_mainForm, &QWidget::close, Qt::QueuedConnection);
        });

        g_mainForm->show();
        QApplication::exec();
    }
    tw::DestroyGlobalCEFApp();
    if (g_mainForm)
        g_mainForm->FormDestroy();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const int code = Run(argc, argv);
    // Workers are never awaited and may still run (the update worker in a download, an add-on
    // worker in its journal): the process ends here, without destroying the static objects they
    // use underneath them. What is ours to keep is on the disk already; the streams are flushed.
    std::fflush(nullptr);
    std::_Exit(code);
}
