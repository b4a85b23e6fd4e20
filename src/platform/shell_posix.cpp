#include "platform/shell.h"

#include "platform/process.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <initializer_list>

namespace tw::platform {

void OpenWithDesktop(const std::string& target) {
    std::string opener = FindOnPath("xdg-open");
    if (opener.empty())
        return;
    SpawnDetached(opener, {target});
}

namespace {

std::string LocaleName() {
    for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v)
            return v;
    }
    return "C";
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Converts with iconv; a character the target lacks becomes '?' (as the Windows conversion's
// default character), an invalid input byte too.
std::string Convert(const std::string& text, const char* to, const char* from, bool fromUtf8) {
    if (text.empty())
        return {};
    iconv_t cd = ::iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return text;
    std::string out;
    out.reserve(text.size() * 2);
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char buffer[1024];
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        std::size_t rc = ::iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, sizeof buffer - outLeft);
        if (rc == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG)
                continue;
            // EILSEQ or EINVAL: skip one character of input.
            std::size_t skip = 1;
            if (fromUtf8) {
                unsigned char c = static_cast<unsigned char>(*in);
                skip = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
                if (skip > inLeft)
                    skip = inLeft;
            }
            in += skip;
            inLeft -= skip;
            out += fromUtf8 ? "?" : "\xEF\xBF\xBD";
        }
    }
    ::iconv_close(cd);
    return out;
}

} // namespace

std::string AnsiCodePageName() {
    // Locale prefixes in the order they are tried (zh_TW before zh), each with its code page.
    struct Rule {
        std::initializer_list<const char*> prefixes;
        const char* codePage;
    };
    static const Rule kRules[] = {
        {{"zh_TW", "zh_HK", "zh_MO"}, "CP950"},
        {{"zh"}, "CP936"},
        {{"ja"}, "CP932"},
        {{"ko"}, "CP949"},
        {{"th"}, "CP874"},
        {{"ru", "uk", "be", "bg", "sr", "mk"}, "CP1251"},
        {{"pl", "cs", "sk", "hu", "ro", "sl", "hr", "bs"}, "CP1250"},
        {{"el"}, "CP1253"},
        {{"tr"}, "CP1254"},
        {{"he"}, "CP1255"},
        {{"ar"}, "CP1256"},
        {{"lt", "lv", "et"}, "CP1257"},
        {{"vi"}, "CP1258"},
    };
    const std::string loc = LocaleName();
    for (const Rule& rule : kRules)
        for (const char* prefix : rule.prefixes)
            if (StartsWith(loc, prefix))
                return rule.codePage;
    return "CP1252";
}

std::string Utf8ToAnsi(const std::string& utf8) {
    std::string cp = AnsiCodePageName();
    return Convert(utf8, cp.c_str(), "UTF-8", true);
}

std::string AnsiToUtf8(const std::string& ansi) {
    std::string cp = AnsiCodePageName();
    return Convert(ansi, "UTF-8", cp.c_str(), false);
}

std::string Utf8ToNativeProgramText(const std::string& utf8) { return utf8; }

} // namespace tw::platform
