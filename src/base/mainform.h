#pragma once
// The workers' one way to the main window. The Qt shell implements it on TMainForm; tests use a
// recorder. Workers run on threads of their own and must never touch page or window state
// except through Synchronize and PostMessage.
#include <functional>
#include <mutex>
#include <string>

namespace tw {

// The program's window messages, posted to the main window and handled on the main thread.
enum WindowMessage : int {
    MSG_BROWSER_CREATED = 0x8A03,
    MSG_BROWSER_DESTROY = 0x8A06,
    MSG_START_UPDATE = 0x8A53,
    MSG_DOWN_ADDON = 0x8A54,
    MSG_START_GAME = 0x8A55,
    MSG_CLEAR_CACHE = 0x8A56,
    MSG_CLEAR_USER_CACHE = 0x8A57,
    MSG_CLEAR_FONTS = 0x8A58,
    MSG_OPEN_URL = 0x8A62,
    MSG_REDRAW_FRAME = 0xB110,
};

class IMainForm {
public:
    virtual ~IMainForm() = default;

    // Runs `fn` on the main thread and returns once it has run. Every page notification and the
    // home-page load go through here; `fn` may use the main-thread members below.
    virtual void Synchronize(const std::function<void()>& fn) = 0;
    // Posts one of the program's window messages (handled later, on the main thread).
    virtual void PostMessage(int message) = 0;

    // Main thread only (that is, inside Synchronize):
    virtual void lbl_Msg() = 0;        // window.lblmsg(h_LblMsg)
    virtual void lbl_Start_Game() = 0; // window.lblstartgame()
    virtual void lbl_Down_Addon() = 0; // window.lbldownaddon(h_LblAddonMsg)
    virtual void lbl_Addon_End() = 0;  // window.lbladdonend()
    virtual void LoadURL(const std::string& url) = 0; // the browser's main frame
    std::string h_LblMsg;
    std::string h_LblAddonMsg;

    // The game server's host: written by the update worker, read by the start-game handler.
    void SetWowHost(const std::string& host) {
        std::lock_guard lock(wowHostMutex_);
        h_WowHost = host;
    }
    std::string WowHost() const {
        std::lock_guard lock(wowHostMutex_);
        return h_WowHost;
    }

private:
    mutable std::mutex wowHostMutex_;
    std::string h_WowHost;
};

} // namespace tw
