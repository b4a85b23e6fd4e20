#include "shell/shellRules.h"

namespace tw {

bool StartAllowed(bool markerExisted, int argumentCount) {
    return !markerExisted || argumentCount >= 2;
}

std::string ComposeUserAgent(std::string_view osPart, std::string_view chromiumVersion,
                             std::string_view launcherVersion) {
    std::string ua = "Mozilla/5.0 (";
    ua += osPart;
    ua += ") AppleWebKit/537.36 (KHTML, like Gecko) Chrome/";
    ua += chromiumVersion.empty() ? std::string_view(kFallbackChromiumVersion) : chromiumVersion;
    ua += " Safari/537.36 voderozader/";
    ua += launcherVersion;
    return ua;
}

bool IsRemoteDebuggingSwitch(std::string_view argument) {
    while (!argument.empty() && argument.front() == '-')
        argument.remove_prefix(1);
    return argument.starts_with("remote-debugging-") || argument.starts_with("remote-allow-origins");
}

std::vector<std::string> SplitSwitches(std::string_view text) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n'))
            ++i;
        std::size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\n')
            ++i;
        if (i > start)
            out.emplace_back(text.substr(start, i - start));
    }
    return out;
}

std::string JoinSwitches(const std::vector<std::string>& switches) {
    std::string out;
    for (const auto& s : switches) {
        if (!out.empty())
            out += ' ';
        out += s;
    }
    return out;
}

std::vector<std::string> RuntimeSwitches(const std::vector<std::string>& given) {
    std::vector<std::string> out;
    for (const auto& s : given)
        if (!IsRemoteDebuggingSwitch(s))
            out.push_back(s);
    // Media capture works without asking, and the engine writes no log of its own.
    for (const char* own : {"--enable-media-stream=1", "--disable-logging", "--log-level=3"})
        out.emplace_back(own);
    return out;
}

bool KeepContextMenu(int typeFlags) {
    return typeFlags == (kContextPage | kContextEditable) ||
           typeFlags == (kContextPage | kContextSelection | kContextEditable);
}

HitCode FrameHitTest(int x, int y, int left, int top, int width, int height) {
    const bool right = x >= left + width - 4;
    const bool bottom = y >= top + height - 4;
    const bool leftEdge = x <= left + 4;
    const bool topEdge = y <= top + 4;
    if (right && bottom)
        return kHitBottomRight;
    if (leftEdge && topEdge)
        return kHitTopLeft;
    if (leftEdge && bottom)
        return kHitBottomLeft;
    if (right)
        return kHitRight;
    if (leftEdge)
        return kHitLeft;
    if (bottom)
        return kHitBottom;
    if (topEdge)
        return kHitTop;
    return kHitDefault;
}

} // namespace tw
