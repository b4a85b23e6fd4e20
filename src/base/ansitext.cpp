#include "base/ansitext.h"

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/shell.h"

#include <cerrno>

namespace tw {

std::string EncodeAnsiLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line;
        text += "\r\n";
    }
    return platform::Utf8ToAnsi(text);
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
    platform::WriteFileAtomic(path, platform::Utf8ToNativeProgramText(text));
}

} // namespace tw
