#pragma once
// Script texts that native code runs in the UI page. Every value is put into the script as a
// proper literal, so that whatever the text holds arrives in the page exactly as sent and can
// never end the literal and run as script of its own.
#include <string>
#include <string_view>

namespace tw {

// `text` as a double-quoted script string literal (quotes, backslashes, line breaks and other
// control characters escaped; invalid UTF-8 replaced by U+FFFD).
std::string ScriptStringLiteral(std::string_view text);

// window.lblmsg("<status text>")
std::string LblMsgScript(std::string_view statusText);
// window.lblstartgame()
std::string LblStartGameScript();
// window.lbldownaddon(<notice>); the notice is the add-on JSON object text, which the page
// receives as an object. A notice that is not a JSON object is passed as a string instead.
std::string LblDownAddonScript(std::string_view noticeJson);
// window.lbladdonend()
std::string LblAddonEndScript();

} // namespace tw
