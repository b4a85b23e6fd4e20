#include "base/safePath.h"

#include <array>

namespace tw {

bool IsNameWindowsRefuses(std::string_view name) {
    if (name.empty() || name == "." || name == "..")
        return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F || std::string_view("<>:\"|?*").find(static_cast<char>(c)) != std::string_view::npos)
            return true;
    if (name.back() == '.' || name.back() == ' ')
        return true;
    // The device names count with any extension ("nul.txt") and blanks before it ("CON .lua").
    std::string_view base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.remove_suffix(1);
    std::string upper(base);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    static constexpr std::array<std::string_view, 4> kDevices = {"CON", "PRN", "AUX", "NUL"};
    for (std::string_view device : kDevices)
        if (upper == device)
            return true;
    return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) && upper[3] >= '1' &&
           upper[3] <= '9';
}

bool IsContainedRelativePath(const std::string& path) {
    if (path.empty() || path.front() == '/' || path.front() == '\\')
        return false;
    if (path.find(':') != std::string::npos || path.find('\0') != std::string::npos)
        return false;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = path.find_first_of("/\\", start);
        std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part == ".." || IsNameWindowsRefuses(part))
            return false;
        if (end == std::string::npos)
            return !part.empty() && part != ".";
        start = end + 1;
    }
}

bool IsPlainFileName(const std::string& name) {
    return IsContainedRelativePath(name) && name.find_first_of("/\\") == std::string::npos;
}

} // namespace tw
