#include "bridge/dispatch.h"

#include "base/mainform.h"

#include <cmath>
#include <limits>

namespace tw {

std::string PageMessage::Text(std::size_t index) const {
    if (index >= args.size())
        return {};
    if (const auto* s = std::get_if<std::string>(&args[index]))
        return *s;
    return {};
}

std::int32_t PageMessage::Int(std::size_t index) const {
    if (index >= args.size())
        return 0;
    const auto* d = std::get_if<double>(&args[index]);
    if (!d || !std::isfinite(*d))
        return 0;
    // Like the script engine's integer conversion: toward zero, saturating at the int32 range.
    double v = std::trunc(*d);
    if (v >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
        return std::numeric_limits<std::int32_t>::max();
    if (v <= static_cast<double>(std::numeric_limits<std::int32_t>::min()))
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(v);
}

WindowCommand ParseWindowCommand(const std::string& text) {
    if (text == "movewindows")
        return WindowCommand::Move;
    if (text == "minwindows")
        return WindowCommand::Minimize;
    if (text == "maxwindows")
        return WindowCommand::MaximizeOrRestore;
    if (text == "exitapp")
        return WindowCommand::Close;
    return WindowCommand::None;
}

DispatchResult Dispatch(const PageMessage& message) {
    DispatchResult r;
    const std::string& n = message.name;
    if (n == "native_system_cmd") {
        r.command = ParseWindowCommand(message.Text(0));
    } else if (n == "native_start_game") {
        r.post = MSG_START_GAME;
    } else if (n == "native_down_addon") {
        r.addon = {message.Text(0), message.Text(1), message.Text(2), message.Int(3), message.Int(4)};
        r.post = MSG_DOWN_ADDON;
    } else if (n == "native_clear_cache") {
        r.post = MSG_CLEAR_CACHE;
    } else if (n == "native_clear_user_cache") {
        r.post = MSG_CLEAR_USER_CACHE;
    } else if (n == "native_clear_fonts") {
        r.post = MSG_CLEAR_FONTS;
    } else if (n == "native_open_url") {
        r.openUrl = message.Text(0);
        r.post = MSG_OPEN_URL;
    } else {
        return r;
    }
    r.handled = true;
    return r;
}

} // namespace tw
