#pragma once
// What a message from the page asks of the main window, decided without touching any window.
// The shell receives the page's calls, turns them into a PageMessage, asks Dispatch what to do,
// and carries the result out on the main thread. Each result carries its own values, so two
// quick commands of one kind can never hand each other's values to the handlers.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace tw {

// One argument as the page passed it: text, a number, or anything else (null, objects, ...).
using PageValue = std::variant<std::monostate, std::string, double, bool>;

struct PageMessage {
    std::string name;
    std::vector<PageValue> args;

    // A missing position or a value of another kind reads as empty text / 0.
    std::string Text(std::size_t index) const;
    std::int32_t Int(std::size_t index) const;
};

enum class WindowCommand { None, Move, Minimize, MaximizeOrRestore, Close };

// The five values of an add-on request, in the order the page passes them.
struct AddonRequest {
    std::string url;
    std::string name;
    std::string md5;
    std::int32_t id = 0;
    std::int32_t type = 0;
};

struct DispatchResult {
    bool handled = false;
    WindowCommand command = WindowCommand::None; // for "native_system_cmd"
    int post = 0;                                // a window message to post, or 0
    AddonRequest addon;                          // with MSG_DOWN_ADDON
    std::string openUrl;                         // with MSG_OPEN_URL
};

// The names the page's native functions send, in their registration order.
inline constexpr const char* kNativeFunctionNames[] = {
    "native_system_cmd", "native_start_game",  "native_down_addon", "native_clear_cache",
    "native_clear_user_cache", "native_clear_fonts", "native_open_url", "native_get_channel",
};

DispatchResult Dispatch(const PageMessage& message);

// The window command a "native_system_cmd" text names (exact, case-sensitive), or None.
WindowCommand ParseWindowCommand(const std::string& text);

} // namespace tw
