// The page's native functions in a real browser page (Qt WebEngine, offscreen): what reaches the
// program from the top frame, a sub-frame, before the channel is up and after a reload.
#include "bridge/uExtensionHandler.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <cstdlib>

using tw::test::TempFolder;
using tw::test::WriteBytes;

namespace {

class Page : public QWebEnginePage {
public:
    explicit Page(QWebEngineProfile* profile) : QWebEnginePage(profile) {}
    TExtensionHandler* handler = nullptr;

protected:
    bool javaScriptPrompt(const QUrl& origin, const QString& msg, const QString& def, QString* result) override {
        if (handler && handler->AnswerPrompt(origin, msg, def, result))
            return true;
        return QWebEnginePage::javaScriptPrompt(origin, msg, def, result);
    }
};

// Renders a received message as one line: name(arg,arg,...) with texts quoted.
std::string Show(const tw::PageMessage& m) {
    std::string s = m.name + "(";
    for (std::size_t i = 0; i < m.args.size(); ++i) {
        if (i)
            s += ",";
        const auto& a = m.args[i];
        if (auto t = std::get_if<std::string>(&a))
            s += "'" + *t + "'";
        else if (auto d = std::get_if<double>(&a))
            s += std::to_string(static_cast<long long>(*d));
        else if (auto b = std::get_if<bool>(&a))
            s += *b ? "true" : "false";
        else
            s += "null";
    }
    return s + ")";
}

class NativeFunctions : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
        ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu --disable-logging", 1);
        static int argc = 1;
        static char arg0[] = "bridge_qt_tests";
        static char* argv[] = {arg0, nullptr};
        app_ = new QApplication(argc, argv);
    }

    void SetUp() override {
        profile_ = new QWebEngineProfile();
        page_ = new Page(profile_);
        page_->handler = new TExtensionHandler(page_, dir_.Path(), [this](const tw::PageMessage& m) {
            received_.push_back(Show(m));
        });
    }
    void TearDown() override {
        delete page_;
        delete profile_;
    }

    // Loads `file` and spins the event loop until `count` messages arrived (bounded).
    bool LoadAndWait(const std::string& file, std::size_t count) {
        page_->load(QUrl::fromLocalFile(QString::fromStdString(dir_ / file)));
        return SpinUntil([&] { return received_.size() >= count; });
    }
    template <typename F> bool SpinUntil(F done, int ms = 20000) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return done();
    }

    TempFolder dir_;
    QWebEngineProfile* profile_ = nullptr;
    Page* page_ = nullptr;
    std::vector<std::string> received_;
    static QApplication* app_;
};
QApplication* NativeFunctions::app_ = nullptr;

// Calls made from the first script of the page, before the channel can be up. The last call
// reports the page's own view of the functions so the test sees it too.
const char* kCallsPage = R"(<!DOCTYPE html><html><head><meta charset="utf-8"><script>
const r = [];
r.push(typeof native_system_cmd(), native_system_cmd(), native_system_cmd(5), native_system_cmd(''));
native_system_cmd('movewindows', 'extra');
native_start_game(1, 'two', {});
native_down_addon();
native_down_addon('http://h/a.zip', '插件.zip', 'ABCDEF', 7, 1, 'extra');
native_down_addon('http://h/short.zip');
native_down_addon(12, null, {}, '7', 2.9);
native_clear_cache(); native_clear_user_cache(); native_clear_fonts();
native_open_url(); native_open_url('https://example.com/"quoted"');
const d = Object.getOwnPropertyDescriptor(window, 'native_open_url');
const order = Object.keys(window).filter(k => k.startsWith('native_')).join(' ');
native_open_url('report:' + [d.writable, d.enumerable, d.configurable, typeof native_get_channel(),
    native_system_cmd === undefined, delete window.native_clear_fonts, typeof window.native_clear_fonts].join(',') + ':' + order);
</script></head><body></body></html>)";

} // namespace

TEST_F(NativeFunctions, CallsReachTheProgramInOrderWithTheirChecks) {
    WriteBytes(dir_ / "launcherui/calls.html", kCallsPage);
    ASSERT_TRUE(LoadAndWait("launcherui/calls.html", 11)) << received_.size();
    std::vector<std::string> expected = {
        "native_system_cmd('')",
        "native_system_cmd('movewindows')",
        "native_start_game()",
        "native_down_addon('http://h/a.zip','插件.zip','ABCDEF',7,1)",
        "native_down_addon('http://h/short.zip','','',0,0)",
        "native_down_addon(12,null,null,'7',2)",
        "native_clear_cache()",
        "native_clear_user_cache()",
        "native_clear_fonts()",
        "native_open_url('https://example.com/\"quoted\"')",
        "native_open_url('report:true,true,true,string,false,true,undefined:native_system_cmd native_start_game "
        "native_down_addon native_clear_cache native_clear_user_cache native_clear_fonts native_open_url "
        "native_get_channel')",
    };
    EXPECT_EQ(received_, expected);
}

TEST_F(NativeFunctions, SubFramesAndReloadsGetTheFunctionsToo) {
    WriteBytes(dir_ / "launcherui/inner.html", "<script>native_start_game(); native_open_url('from-frame:' + native_get_channel());</script>");
    WriteBytes(dir_ / "launcherui/outer.html", "<script>native_clear_cache();</script><iframe src='inner.html'></iframe>");
    WriteBytes(dir_ / "cfg.ini", "[channel]\r\nID = c042 \r\n");
    ASSERT_TRUE(LoadAndWait("launcherui/outer.html", 3));
    EXPECT_EQ(received_[0], "native_clear_cache()");
    EXPECT_EQ(received_[1], "native_start_game()");
    EXPECT_EQ(received_[2], "native_open_url('from-frame:c042')");

    received_.clear();
    WriteBytes(dir_ / "cfg.ini", "[channel]\r\nID=\r\n");
    page_->triggerAction(QWebEnginePage::Reload);
    ASSERT_TRUE(SpinUntil([&] { return received_.size() >= 3; }));
    EXPECT_EQ(received_[2], "native_open_url('from-frame:')") << "read anew; an empty value stays empty";
}

TEST_F(NativeFunctions, LocalPagesOutsideTheUiFolderAndOpaqueFramesAreNotTrusted) {
    // A local page beside launcherui/ (and one reached through "..") acts on nothing and reads
    // the default channel; a data: frame inside the trusted UI page is no local page either. The
    // trusted page's own report comes last, so everything before it has been answered.
    WriteBytes(dir_ / "cfg.ini", "[channel]\r\nID=c042\r\n");
    const std::string calls = "native_start_game(); native_clear_fonts(); native_open_url('x'); ";
    WriteBytes(dir_ / "outside.html", "<script>" + calls + "document.title = native_get_channel();</script>");
    WriteBytes(dir_ / "launcherui/data.html",
               "<iframe src=\"data:text/html,<script>" + calls + "</script>\" onload=\"native_open_url('trusted:' + "
               "native_get_channel())\"></iframe>");
    for (const char* file : {"outside.html", "launcherui/../outside.html"}) {
        page_->load(QUrl(QStringLiteral("file://") + QString::fromStdString(dir_ / file)));
        ASSERT_TRUE(SpinUntil([&] { return page_->title() == "x001"; })) << file << " " << page_->title().toStdString();
    }
    ASSERT_TRUE(LoadAndWait("launcherui/data.html", 1));
    EXPECT_EQ(received_, std::vector<std::string>{"native_open_url('trusted:c042')"});
}

TEST(ChannelId, DefaultsWithoutFileAndCutsLongValues) {
    TempFolder dir;
    EXPECT_EQ(TExtensionHandler::ChannelId(dir.Path()), "x001");
    WriteBytes(dir / "cfg.ini", "[Channel]\nid=" + std::string(5000, 'z') + "\n");
    EXPECT_EQ(TExtensionHandler::ChannelId(dir.Path()), std::string(2047, 'z'));
}
