#include "base/pagetext.h"
#include "platform/process.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace tw;

namespace {

// Runs `script` in a script engine with a page stand-in whose notification functions print what
// they receive as JSON; empty when no engine is installed.
std::string RunInScriptEngine(const std::string& script, tw::test::TempFolder& dir) {
    std::string node = platform::FindOnPath("node");
    if (node.empty())
        node = platform::FindOnPath("nodejs");
    if (node.empty())
        return {};
    tw::test::WriteBytes(dir / "page.js",
                         "const window = globalThis; const out = [];\n"
                         "window.lblmsg = (t) => out.push(['lblmsg', t]);\n"
                         "window.lbldownaddon = (o) => out.push(['lbldownaddon', o]);\n"
                         "window.hacked = () => out.push(['hacked']);\n"
                         "try { eval(require('fs').readFileSync(process.argv[2], 'utf8')); } catch (e) { out.push(['error']); }\n"
                         "process.stdout.write(JSON.stringify(out));\n");
    tw::test::WriteBytes(dir / "script.js", script);
    return tw::test::ShellOutput("'" + node + "' '" + dir / "page.js" + "' '" + dir / "script.js" + "'");
}

} // namespace

TEST(PageText, StatusTextIsOneLiteralWhateverItHolds) {
    EXPECT_EQ(LblMsgScript("正在检查更新"), "window.lblmsg(\"正在检查更新\")");
    EXPECT_EQ(LblMsgScript("a\"b\\c\nd\re\x01"), "window.lblmsg(\"a\\\"b\\\\c\\nd\\re\\u0001\")");
    EXPECT_EQ(LblMsgScript("\xE2\x80\xA8"), "window.lblmsg(\"\\u2028\")");
    EXPECT_EQ(LblMsgScript("bad\xFF"), "window.lblmsg(\"bad\\ufffd\")");
    EXPECT_EQ(LblStartGameScript(), "window.lblstartgame()");
    EXPECT_EQ(LblAddonEndScript(), "window.lbladdonend()");
}

TEST(PageText, TextsArriveExactlyInARealScriptEngine) {
    tw::test::TempFolder dir;
    const std::string tricky = "下载 \"a.zip\" C:\\new\\table\n第二行 \");window.hacked();(\" </script>";
    std::string out = RunInScriptEngine(LblMsgScript(tricky) + ";" +
                                            LblDownAddonScript(R"({"code":1,"msg":"45%"})") + ";" +
                                            LblDownAddonScript("1);window.hacked();(1"),
                                        dir);
    if (out.empty())
        GTEST_SKIP() << "no script engine (node) on this machine";
    EXPECT_EQ(out, "[[\"lblmsg\",\"下载 \\\"a.zip\\\" C:\\\\new\\\\table\\n第二行 \\\");window.hacked();(\\\" "
                   "</script>\"],[\"lbldownaddon\",{\"code\":1,\"msg\":\"45%\"}],[\"lbldownaddon\","
                   "\"1);window.hacked();(1\"]]");
}
