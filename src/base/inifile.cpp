#include "base/inifile.h"

#include "base/text.h"
#include "platform/fs.h"
#include "platform/shell.h"

#include <string_view>

namespace tw {

namespace {

std::string_view Trim(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

bool IsValidUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (n == 0 || i + n > s.size())
            return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += n;
    }
    return true;
}

std::string Utf16LeToUtf8(std::string_view bytes) {
    std::string out;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char32_t u = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
            char32_t lo = static_cast<unsigned char>(bytes[i + 2]) | (static_cast<unsigned char>(bytes[i + 3]) << 8);
            if (lo >= 0xDC00 && lo < 0xE000) {
                u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(out, u);
    }
    return out;
}

std::string DecodeProfileText(const std::string& raw) {
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF && static_cast<unsigned char>(raw[1]) == 0xFE)
        return Utf16LeToUtf8(std::string_view(raw).substr(2));
    if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0)
        return raw.substr(3);
    if (IsValidUtf8(raw))
        return raw;
    return platform::AnsiToUtf8(raw);
}

// Cuts after `limit` characters (UTF-16 code units, as the Windows buffer counts them).
std::string CutCharacters(std::string_view s, std::size_t limit) {
    std::size_t units = 0, i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        std::size_t w = n == 4 ? 2 : 1;
        if (units + w > limit)
            break;
        units += w;
        i += n;
    }
    return std::string(s.substr(0, i));
}

} // namespace

std::string ReadProfileString(const std::string& path, const std::string& section, const std::string& key,
                              const std::string& defaultValue) {
    std::string raw;
    if (!platform::ReadFile(path, raw))
        return CutCharacters(defaultValue, kProfileValueLimit);
    std::string text = DecodeProfileText(raw);
    std::string_view wantSection = Trim(section), wantKey = Trim(key);

    bool inSection = false;
    std::string_view rest(text);
    while (!rest.empty()) {
        std::size_t eol = rest.find('\n');
        std::string_view line = Trim(rest.substr(0, eol));
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            std::size_t close = line.find(']');
            std::string_view name =
                Trim(line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
            inSection = SameIgnoringCase(name, wantSection);
            continue;
        }
        if (!inSection)
            continue;
        std::size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        if (!SameIgnoringCase(Trim(line.substr(0, eq)), wantKey))
            continue;
        std::string_view value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 &&
            ((value.front() == '"' && value.back() == '"') || (value.front() == '\'' && value.back() == '\'')))
            value = value.substr(1, value.size() - 2);
        return CutCharacters(value, kProfileValueLimit);
    }
    return CutCharacters(defaultValue, kProfileValueLimit);
}

} // namespace tw
