// The window classes on Qt's offscreen platform, without a browser runtime.
#include "app/FromEx.h"
#include "app/uMainForm.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QImage>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace tw {
namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "app_window_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Runs the event loop until `done` or two seconds have passed.
void Spin(const std::function<bool()>& done) {
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(2000, &loop, &QEventLoop::quit);
    tick.start(5);
    loop.exec();
}

QRgb Pixel(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0xFFFFFF;
}

TEST(TFormEx, FramesTheWindowInOnePixelAndKeepsItsCaption) {
    App();
    TFormEx form(QStringLiteral("Tarnwick"));
    form.resize(300, 200);
    form.show();
    const QImage normal = form.grab().toImage();
    for (auto [x, y] : {std::pair{0, 0}, {299, 0}, {0, 199}, {299, 199}, {150, 0}, {0, 100}, {299, 100}, {150, 199}})
        EXPECT_EQ(Pixel(normal, x, y), TFormEx::kFrameRgb) << x << "," << y;
    EXPECT_EQ(Pixel(normal, 1, 1), 0xFFFFFFu);
    EXPECT_EQ(Pixel(normal, 298, 198), 0xFFFFFFu);
    EXPECT_EQ(form.contentsRect(), QRect(1, 1, 298, 198)) << "content must leave the frame ring free";

    form.resize(420, 260); // the frame follows every size
    const QImage resized = form.grab().toImage();
    EXPECT_EQ(Pixel(resized, 419, 259), TFormEx::kFrameRgb);
    EXPECT_EQ(Pixel(resized, 299, 199), 0xFFFFFFu);

    form.setWindowTitle(QStringLiteral("别的标题"));
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Tarnwick"));

    // Maximised, the content covers the whole window (the monitor's work area).
    form.showMaximized();
    Spin([&] { return form.isMaximized(); });
    ASSERT_TRUE(form.isMaximized());
    EXPECT_EQ(form.contentsRect(), form.rect());
    EXPECT_EQ(Pixel(form.grab().toImage(), 0, 0), 0xFFFFFFu);
    form.showNormal();
    Spin([&] { return !form.isMaximized(); });
    EXPECT_EQ(form.contentsMargins(), QMargins(1, 1, 1, 1));
}

TEST(TMainForm, ClosesAtOnceWhenNoBrowserEverCameUp) {
    App();
    ASSERT_EQ(GlobalProfile(), nullptr); // no runtime: every browser request fails
    TMainForm form;
    EXPECT_EQ(form.size(), QSize(1052, 720)) << "client 1050 x 691 in the frame, raised to the minimum height";
    QSignalSpy closed(&form, &TMainForm::Closed);
    form.show();
    EXPECT_TRUE(form.Timer1Active()) << "creation must be retried while the runtime is not up";
    EXPECT_FALSE(form.BrowserInitialized());

    EXPECT_TRUE(form.close()) << "with no browser the window must not wait hidden for a browser's end";
    EXPECT_EQ(closed.count(), 1);
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(form.Timer1Active());
    EXPECT_TRUE(form.FClosing);
    EXPECT_TRUE(form.FCanClose);
}

TEST(TMainForm, SynchronizeRunsOnTheMainThreadAndHandsBackErrors) {
    App();
    TMainForm form;
    // On the main thread itself: at once, not through the queue (which would deadlock).
    bool ran = false;
    form.Synchronize([&] { ran = true; });
    EXPECT_TRUE(ran);

    QThread* main = QThread::currentThread();
    std::atomic<int> onMain{0};
    std::atomic<bool> rethrown{false};
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i)
            form.Synchronize([&] { onMain += QThread::currentThread() == main; });
        try {
            form.Synchronize([] { throw std::runtime_error("handler failed"); });
        } catch (const std::runtime_error& e) {
            rethrown = std::string(e.what()) == "handler failed";
        }
        finished = true;
    });
    Spin([&] { return finished.load(); });
    worker.join();
    EXPECT_EQ(onMain.load(), 100);
    EXPECT_TRUE(rethrown.load());

    // Page notifications without a browser are dropped quietly.
    form.h_LblMsg = "正在初始化……";
    form.lbl_Msg();
    form.lbl_Start_Game();
    form.LoadURL("http://127.0.0.1:9/");
}

} // namespace
} // namespace tw
