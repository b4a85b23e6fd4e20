#pragma once
// The shell's decisions that need no window: which starts may go on, how the browser presents
// itself, which switches reach the engine, and the frame's edge rules. Plain C++ so that they can
// be tested without a display.
#include <string>
#include <string_view>
#include <vector>

namespace tw {

// The text of the marker that tells a running launcher.
inline constexpr const char* kInstanceMarkerName = "444246EC-95BD-40CF-84CA-F078865AB9E9";

// A start goes on when no launcher runs, or when it was given two or more arguments.
bool StartAllowed(bool markerExisted, int argumentCount);

// "Mozilla/5.0 (<os>) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/<chromium> Safari/537.36
// voderozader/<launcher>". An empty Chromium version falls back to the one the launcher was made
// for.
std::string ComposeUserAgent(std::string_view osPart, std::string_view chromiumVersion,
                             std::string_view launcherVersion);
inline constexpr const char* kFallbackChromiumVersion = "98.0.4758.102";

// The engine's switches for this process: `given` (from the environment or the command line)
// without anything that opens remote debugging, followed by the launcher's own switches.
std::vector<std::string> RuntimeSwitches(const std::vector<std::string>& given);
// Splits a switch list as the engine reads its environment variable (blank-separated).
std::vector<std::string> SplitSwitches(std::string_view text);
std::string JoinSwitches(const std::vector<std::string>& switches);
// True for a switch that would open the engine to remote debugging.
bool IsRemoteDebuggingSwitch(std::string_view argument);

// Context-menu type flags, as the engine reports them for a right click.
enum ContextFlags : int {
    kContextPage = 0x01,
    kContextFrame = 0x02,
    kContextLink = 0x04,
    kContextMedia = 0x08,
    kContextSelection = 0x10,
    kContextEditable = 0x20,
};
// Only an editable field of the page itself, with or without a selection, keeps its menu.
bool KeepContextMenu(int typeFlags);

// Answers of the frame's edge test (the Windows hit-test codes).
enum HitCode : int {
    kHitDefault = 0, // not on an edge band: the window's ordinary handling
    kHitLeft = 10,
    kHitRight = 11,
    kHitTop = 12,
    kHitTopLeft = 13,
    kHitBottom = 15,
    kHitBottomLeft = 16,
    kHitBottomRight = 17,
};
// Which edge band of a window at (left, top) with outer size width × height holds the screen
// point (x, y). The left and top bands are 5 pixels wide, the right and bottom bands 4; the top
// right corner counts as the right edge, and no point is ever a caption.
HitCode FrameHitTest(int x, int y, int left, int top, int width, int height);

} // namespace tw
