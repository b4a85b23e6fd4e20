#include "platform/shell.h"

#include "platform/process.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <initializer_list>
#include <string>

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

unsigned AnsiCodePage() {
    const std::string loc = LocaleName();
    struct Prefixes {
        unsigned codePage;
        std::initializer_list<const char*> languages;
    };
    // Traditional Chinese first: "zh" alone means the Simplified code page.
    static const Prefixes table[] = {
        {950, {"zh_TW", "zh_HK", "zh_MO"}},
        {936, {"zh"}},
        {932, {"ja"}},
        {949, {"ko"}},
        {874, {"th"}},
        {1251, {"ru", "uk", "be", "bg", "sr", "mk"}},
        {1250, {"pl", "cs", "sk", "hu", "ro", "sl", "hr", "bs"}},
        {1253, {"el"}},
        {1254, {"tr"}},
        {1255, {"he"}},
        {1256, {"ar"}},
        {1257, {"lt", "lv", "et"}},
        {1258, {"vi"}},
    };
    for (const auto& entry : table)
        for (const char* prefix : entry.languages)
            if (StartsWith(loc, prefix))
                return entry.codePage;
    return 1252;
}

std::string AnsiCodePageName() {
    return "CP" + std::to_string(AnsiCodePage());
}

bool DecodeCodePage(const std::string& bytes, unsigned codePage, std::string& utf8) {
    utf8.clear();
    if (bytes.empty())
        return true;
    const std::string name = "CP" + std::to_string(codePage);
    iconv_t cd = ::iconv_open("UTF-8", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char buffer[1024];
    bool ok = true;
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        std::size_t rc = ::iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        utf8.append(buffer, sizeof buffer - outLeft);
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
            ok = false; // an invalid or cut sequence
            break;
        }
    }
    ::iconv_close(cd);
    if (!ok)
        utf8.clear();
    return ok;
}

std::string Utf8ToCodePage(const std::string& utf8, unsigned codePage) {
    if (codePage == 65001)
        return Convert(utf8, "UTF-8", "UTF-8", true);
    const std::string name = "CP" + std::to_string(codePage);
    return Convert(utf8, name.c_str(), "UTF-8", true);
}

std::string Utf8ToAnsi(const std::string& utf8) {
    return Utf8ToCodePage(utf8, AnsiCodePage());
}

std::string AnsiToUtf8(const std::string& ansi) {
    std::string cp = AnsiCodePageName();
    return Convert(ansi, "UTF-8", cp.c_str(), false);
}


} // namespace tw::platform
