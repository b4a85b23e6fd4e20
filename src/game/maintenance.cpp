#include "game/maintenance.h"

#include "base/helpers.h"
#include "platform/shell.h"

#include <initializer_list>

namespace tw {

namespace {

void RemoveFolders(const std::string& programFolder, std::initializer_list<const char*> names) {
    for (const char* name : names)
        RemoveFolderTree(programFolder + ToNativeSeparators(name));
}

bool IsAsciiAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

} // namespace

void ClearCache(const std::string& programFolder) { RemoveFolders(programFolder, {"Cache", "Errors", "Logs"}); }

void ClearUserCache(const std::string& programFolder) {
    RemoveFolders(programFolder, {"WTF\\Account", "Interface\\AddOns"});
}

void ClearFonts(const std::string& programFolder) { RemoveFolders(programFolder, {"Fonts"}); }

bool IsWebAddress(const std::string& url) {
    // scheme ":" "//" authority [path...] with the scheme http or https, in any case.
    std::size_t colon = url.find(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    std::string scheme;
    for (std::size_t i = 0; i < colon; ++i) {
        char c = url[i];
        if (!IsAsciiAlpha(c))
            return false;
        scheme += static_cast<char>(c | 0x20);
    }
    if (scheme != "http" && scheme != "https")
        return false;
    if (url.compare(colon + 1, 2, "//") != 0)
        return false;
    // Nothing that a desktop opener might read as a separate argument or a second line.
    for (unsigned char c : url)
        if (c <= 0x20 || c == 0x7F)
            return false;
    std::size_t hostBegin = colon + 3;
    std::size_t hostEnd = url.find_first_of("/?#", hostBegin);
    std::string authority = url.substr(hostBegin, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostBegin);
    std::size_t at = authority.rfind('@');
    std::string host = at == std::string::npos ? authority : authority.substr(at + 1);
    if (!host.empty() && host.front() == '[')
        return host.find(']') != std::string::npos && host.size() > 2;
    std::size_t port = host.find(':');
    if (port != std::string::npos)
        host.resize(port);
    return !host.empty();
}

bool OpenWebAddress(const std::string& url) {
    if (!IsWebAddress(url))
        return false;
    // Straight to the desktop's opener: a web address is never a program to run.
    platform::OpenWithDesktop(url);
    return true;
}

} // namespace tw
