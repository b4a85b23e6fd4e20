// A bare Qt WebEngine view: the yardstick the launcher's start-up is measured against. It shows
// the page named on its command line in a plain window with the engine's default profile and
// ends when the window is closed.
#include <QApplication>
#include <QUrl>
#include <QWebEngineSettings>
#include <QWebEngineView>

int main(int argc, char** argv) {
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    QWebEngineView view;
    // As in the launcher: the local page may reach the network (it reports its load there).
    view.settings()->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, true);
    view.resize(1050, 691);
    view.load(QUrl::fromUserInput(QString::fromLocal8Bit(argv[1])));
    view.show();
    return QApplication::exec();
}
