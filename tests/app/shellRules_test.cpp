#include "shell/shellRules.h"
#include "platform/system.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

struct HitCase {
    int dx, dy; // from the window's left/top; negative counts from right/bottom (-1 = last pixel)
    HitCode expected;
};

TEST(FrameHitTest, BandsCornersAndTheirBoundariesOnAnyMonitor) {
    const int W = 1052, H = 720;
    const HitCase cases[] = {
        {0, 0, kHitTopLeft},       {4, 4, kHitTopLeft},       {5, 5, kHitDefault},     {4, 300, kHitLeft},
        {5, 300, kHitDefault},     {0, 300, kHitLeft},        {-4, 300, kHitRight},    {-5, 300, kHitDefault},
        {-1, 300, kHitRight},      {500, 4, kHitTop},         {500, 5, kHitDefault},   {500, -4, kHitBottom},
        {500, -5, kHitDefault},    {-1, 0, kHitRight},        {-4, 4, kHitRight}, // top right: right edge
        {-1, -1, kHitBottomRight}, {-4, -4, kHitBottomRight}, {-5, -4, kHitBottom},    {0, -1, kHitBottomLeft},
        {4, -4, kHitBottomLeft},   {4, -5, kHitLeft},         {500, 300, kHitDefault},
    };
    // The primary monitor, one to its left and above (negative coordinates), one far right.
    const std::pair<int, int> origins[] = {{0, 0}, {100, 50}, {-1600, -300}, {-W, -H}, {2560, 0}};
    for (auto [L, T] : origins)
        for (const auto& c : cases) {
            const int x = c.dx >= 0 ? L + c.dx : L + W + c.dx;
            const int y = c.dy >= 0 ? T + c.dy : T + H + c.dy;
            EXPECT_EQ(FrameHitTest(x, y, L, T, W, H), c.expected)
                << "window at " << L << "," << T << ", point " << c.dx << "," << c.dy;
        }
}

TEST(UserAgent, ComposedFromTheSystemEngineAndLauncherVersions) {
    EXPECT_EQ(ComposeUserAgent("Windows NT 10.0; WOW64", "98.0.4758.102", "2.0.10.219"),
              "Mozilla/5.0 (Windows NT 10.0; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
              "Chrome/98.0.4758.102 Safari/537.36 voderozader/2.0.10.219");
    // An engine that cannot name its version gets the one the launcher was made for.
    EXPECT_EQ(ComposeUserAgent("X11; Linux x86_64", "", "2.0.10.219"),
              "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
              "Chrome/98.0.4758.102 Safari/537.36 voderozader/2.0.10.219");

    std::string machine = test::ShellOutput("uname -m");
    while (!machine.empty() && machine.back() == '\n')
        machine.pop_back();
    EXPECT_EQ(platform::UserAgentOsPart(), "X11; Linux " + machine);
}

TEST(RuntimeSwitches, RemoteDebuggingNeverReachesTheEngine) {
    const auto given = SplitSwitches("  --disable-gpu --remote-debugging-port=9222\t--remote-debugging-pipe "
                                     "-remote-debugging-address=0.0.0.0 --remote-allow-origins=* --foo=bar ");
    const auto out = RuntimeSwitches(given);
    EXPECT_EQ(JoinSwitches(out), "--disable-gpu --foo=bar --enable-media-stream=1 --disable-logging --log-level=3");
    EXPECT_TRUE(SplitSwitches("").empty());
    EXPECT_TRUE(IsRemoteDebuggingSwitch("--remote-debugging-port"));
    EXPECT_FALSE(IsRemoteDebuggingSwitch("--remote"));
}

TEST(ContextMenu, KeptOnlyForAnEditableFieldOfThePage) {
    EXPECT_TRUE(KeepContextMenu(0x21));
    EXPECT_TRUE(KeepContextMenu(0x31));
    for (int flags : {0x00, 0x01, 0x11, 0x20, 0x23 /* sub-frame */, 0x25 /* link */, 0x29 /* media */, 0x33, 0x35})
        EXPECT_FALSE(KeepContextMenu(flags)) << std::hex << flags;
}

TEST(SingleInstance, OnlyTwoOrMoreArgumentsPassARunningLauncher) {
    EXPECT_TRUE(StartAllowed(false, 0));
    EXPECT_TRUE(StartAllowed(false, 1));
    EXPECT_FALSE(StartAllowed(true, 0));
    EXPECT_FALSE(StartAllowed(true, 1));
    EXPECT_TRUE(StartAllowed(true, 2));
    EXPECT_TRUE(StartAllowed(true, 7));
}

} // namespace
} // namespace tw
