#include "base/pagetext.h"

#include <nlohmann/json.hpp>

namespace tw {

namespace {

// Length of the valid UTF-8 sequence starting at `i`, or 0 when the bytes there are not one.
std::size_t Utf8SequenceLength(std::string_view s, std::size_t i) {
    auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
            return 0;
    if (n == 2 && c < 0xC2)
        return 0; // overlong
    return n;
}

} // namespace

std::string ScriptStringLiteral(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
            }
            ++i;
            continue;
        }
        std::size_t n = Utf8SequenceLength(text, i);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        std::string_view seq = text.substr(i, n);
        // U+2028 and U+2029 end a line in older script engines: escape them too.
        if (seq == "\xE2\x80\xA8")
            out += "\\u2028";
        else if (seq == "\xE2\x80\xA9")
            out += "\\u2029";
        else
            out += seq;
        i += n;
    }
    out += '"';
    return out;
}

std::string LblMsgScript(std::string_view statusText) {
    return "window.lblmsg(" + ScriptStringLiteral(statusText) + ")";
}

std::string LblStartGameScript() {
    return "window.lblstartgame()";
}

std::string LblDownAddonScript(std::string_view noticeJson) {
    // Our own notices are JSON objects; re-serialising makes sure nothing else can ride along.
    auto parsed = nlohmann::json::parse(noticeJson, nullptr, false);
    if (parsed.is_object())
        return "window.lbldownaddon(" + parsed.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + ")";
    return "window.lbldownaddon(" + ScriptStringLiteral(noticeJson) + ")";
}

std::string LblAddonEndScript() {
    return "window.lbladdonend()";
}

} // namespace tw
