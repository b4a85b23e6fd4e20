#include "base/ansitext.h"

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/shell.h"

#include <cerrno>

namespace tw {

std::string EncodeLinesInCodePage(const std::vector<std::string>& lines, unsigned codePage) {
    std::string text;
    for (const auto& line : lines) {
        text += line;
        text += "\r\n";
    }
    constexpr unsigned kUtf8CodePage = 65001;
    return (codePage == kUtf8CodePage ? "\xEF\xBB\xBF" : "") + platform::Utf8ToCodePage(text, codePage);
}

std::string EncodeAnsiLines(const std::vector<std::string>& lines) {
    return EncodeLinesInCodePage(lines, platform::AnsiCodePage());
}

void WriteAnsiLines(const std::string& path, const std::vector<std::string>& lines) {
    // A read-only file is refused as Windows refuses it, even where the file system would let
    // this process (root, say) replace it.
    if (platform::IsReadOnly(path))
        RaiseSystemError("Cannot create file", path, EACCES);
    platform::WriteFileAtomic(path, EncodeAnsiLines(lines));
}

void WriteNativeProgramLines(const std::string& path, const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line;
        text += "\r\n";
    }
    platform::WriteFileAtomic(path, text);
}

} // namespace tw
