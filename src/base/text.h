#pragma once
// Small text and path pieces shared by the subsystems. ASCII case rules only: names, header
// fields and digests that are compared without regard to case are ASCII by nature.
#include "platform/fs.h"

#include <string>
#include <string_view>

namespace tw {

inline char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string AsciiLower(std::string s) {
    for (char& c : s)
        c = AsciiLower(c);
    return s;
}

inline bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (AsciiLower(text[i]) != AsciiLower(prefix[i]))
            return false;
    return true;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && StartsWithNoCase(a, b);
}

// One code point appended in UTF-8.
inline void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// This system's path separator as a text, for joining paths.
inline const std::string kSep(1, platform::kPathSeparator);

// `path` without its trailing separators ('/' or '\\'); a lone separator stays, and so does the one
// of a drive root ("C:\\") where drives exist: "C:" alone names that drive's current folder.
inline std::string WithoutTrailingSeparator(std::string path) {
    const std::size_t keep = platform::kPathSeparator == '\\' && path.size() >= 3 && path[1] == ':' ? 3 : 1;
    while (path.size() > keep && (path.back() == '/' || path.back() == '\\'))
        path.pop_back();
    return path;
}

} // namespace tw
