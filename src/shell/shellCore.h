#pragma once
// What the main window decides, whichever browser engine it hosts: what the page is told and
// when, the closing handshake, and what each page command does on the main thread. A shell keeps
// one TShellCore and tells it what its engine reports; the core answers with what to do.
#include "base/mainform.h"
#include "bridge/dispatch.h"

#include <optional>
#include <string>
#include <vector>

namespace tw {

// The update worker's two lasting notifications (its status text and that the game may start).
// A document that loads late has missed them; each trusted document is told them once. Which
// document took a notification is the document's time origin, which no two documents share.
class TPageNotices {
public:
    enum Kind { Status, StartGame };

    // The script that runs notification `script` of `kind` in the page and answers the document's
    // time origin once the page's function has returned (an error answers nothing).
    std::string Send(Kind kind, const std::string& script);
    // The answer of a Send script: the document that took it, or nothing.
    void Taken(Kind kind, std::optional<double> document);
    // What a trusted document that has just loaded (`document`: its time origin) has not taken
    // yet, the status text first.
    std::vector<Kind> Missed(double document) const;
    bool AnySent() const { return sent_[0] || sent_[1]; }

private:
    bool sent_[2] = {false, false};
    double takenBy_[2] = {0, 0};
};

// The script that reads a document's time origin.
inline constexpr const char* kTimeOriginScript = "performance.timeOrigin";

// The closing handshake: the first close request hides the window and closes the browser; the
// window closes once the browser has gone (or at once when there is none).
class TCloseHandshake {
public:
    struct Answer {
        bool close = false;        // the window may close now
        bool closeBrowser = false; // hide the window and close the browser (once)
    };
    Answer Query(bool browserExists);
    // The browser has gone: the next query closes.
    void BrowserGone() { canClose_ = true; }
    bool Closing() const { return closing_; }
    bool CanClose() const { return canClose_; }

private:
    bool closing_ = false;
    bool canClose_ = false;
};

// Boxes the command handlers may show.
inline constexpr const char* kBoxCaption = "提示";
inline constexpr const char* kLoadErrorText = "网络出错，请确保网络正常后再运行登录器！";
inline constexpr const char* kNoClientText = "未找到游戏客户端，请确保您已正确安装了魔兽客户端！";

// Runs a posted page command (MSG_START_GAME ... MSG_OPEN_URL) on the main thread with the values
// it brought. Returns a text to show the player, or nothing. Errors of the handlers propagate.
std::optional<std::string> RunPageCommand(IMainForm& form, const std::string& programFolder,
                                          const DispatchResult& command);

} // namespace tw
