#include "base/helpers.h"

#include "base/text.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/mapping.h"
#include "platform/md5.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "tarnwick_config.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

namespace tw {

namespace {

bool IsPathSeparator(char c) {
    return c == '/' || c == '\\' || c == ':';
}

std::size_t LastSeparator(std::string_view path) {
    for (std::size_t i = path.size(); i > 0; --i)
        if (IsPathSeparator(path[i - 1]))
            return i - 1;
    return std::string_view::npos;
}

// Byte length of the first `chars` UTF-8 characters of `text` (all of it when shorter).
std::size_t Utf8Prefix(std::string_view text, std::size_t chars) {
    std::size_t i = 0;
    for (std::size_t n = 0; i < text.size() && n < chars; ++n) {
        ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            ++i;
    }
    return i;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Splits argument text as a Windows program's start-up code does: blanks separate, double quotes
// group, 2n backslashes before a quote give n backslashes and a quote mark, 2n+1 give n and a
// literal quote.
std::vector<std::string> SplitWindowsArguments(std::string_view text) {
    std::vector<std::string> args;
    std::size_t i = 0;
    for (;;) {
        while (i < text.size() && IsBlank(text[i]))
            ++i;
        if (i >= text.size())
            break;
        std::string arg;
        bool quoted = false;
        while (i < text.size() && (quoted || !IsBlank(text[i]))) {
            if (text[i] == '\\') {
                std::size_t slashes = 0;
                while (i < text.size() && text[i] == '\\') {
                    ++slashes;
                    ++i;
                }
                if (i < text.size() && text[i] == '"') {
                    arg.append(slashes / 2, '\\');
                    if (slashes % 2) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(slashes, '\\');
                }
            } else if (text[i] == '"') {
                if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
            } else {
                arg += text[i++];
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

bool BeginsWithMZ(const std::string& path) {
    platform::ReadOnlyFile file;
    char head[2] = {};
    return file.Open(path) && file.Read(head, 2) == 2 && head[0] == 'M' && head[1] == 'Z';
}

// Runs `program` with `args`: a Windows executable through wine when wine is there.
bool RunProgram(const std::string& program, const std::vector<std::string>& args) {
    if (BeginsWithMZ(program)) {
        std::string wine = platform::FindOnPath("wine");
        if (!wine.empty()) {
            std::vector<std::string> wineArgs{program};
            wineArgs.insert(wineArgs.end(), args.begin(), args.end());
            return platform::SpawnDetached(wine, wineArgs) > 0;
        }
    }
    return platform::SpawnDetached(program, args) > 0;
}

} // namespace

std::string ProgramFolder() {
    return FolderPart(platform::ExecutablePath());
}

std::string FolderPart(std::string_view path) {
    std::size_t i = LastSeparator(path);
    return i == std::string_view::npos ? std::string() : std::string(path.substr(0, i + 1));
}

std::string FilePart(std::string_view path) {
    std::size_t i = LastSeparator(path);
    return std::string(i == std::string_view::npos ? path : path.substr(i + 1));
}

std::string ToBackslashes(std::string_view path) {
    std::string out(path);
    for (char& c : out)
        if (c == '/')
            c = '\\';
    return out;
}

std::string ToNativeSeparators(std::string_view path) {
    std::string out(path);
    for (char& c : out)
        if (c == '/' || c == '\\')
            c = platform::kPathSeparator;
    return out;
}

bool EnsureFolder(const std::string& path) {
    if (path.empty())
        return false;
    std::string folder = path;
    if (folder.back() == '\\' || folder.back() == '/')
        folder.pop_back();
    if (folder.size() < 3)
        return true;
    if (platform::FolderExists(folder))
        return true;
    std::string parent = FolderPart(folder);
    if (parent == folder)
        return true;
    if (!EnsureFolder(parent))
        return false;
    // Another thread may create the same folder at the same moment; that is success too.
    return platform::CreateFolder(folder) || (errno == EEXIST && platform::FolderExists(folder));
}

bool RemoveFolderTree(const std::string& path) {
    std::string folder = path;
    while (!folder.empty() && IsBlank(folder.front()))
        folder.erase(folder.begin());
    while (!folder.empty() && IsBlank(folder.back()))
        folder.pop_back();
    while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\'))
        folder.pop_back();
    return platform::RemoveTree(folder);
}

void ShellOpen(const std::string& file, const std::string& parameters) {
    if (platform::IsExecutableFile(file) || (platform::FileExists(file) && BeginsWithMZ(file))) {
        RunProgram(file, SplitWindowsArguments(parameters));
        return;
    }
    platform::OpenWithDesktop(file);
}

void OpenLink(const std::string& target) {
    ShellOpen(target, "");
}

bool StartProgram(const std::string& commandLine, int /*showCommand: windows open as they choose here*/) {
    std::string_view line(commandLine);
    line = line.substr(0, Utf8Prefix(line, kCommandLineLimit));
    std::size_t i = 0;
    while (i < line.size() && IsBlank(line[i]))
        ++i;
    if (i >= line.size())
        return false;

    std::string program;
    std::string_view rest;
    if (line[i] == '"') {
        std::size_t close = line.find('"', i + 1);
        program =
            std::string(line.substr(i + 1, close == std::string_view::npos ? std::string_view::npos : close - i - 1));
        rest = close == std::string_view::npos ? std::string_view() : line.substr(close + 1);
    } else {
        // "C:\Program Files\Game\wow.exe" unquoted: try "C:\Program", then "C:\Program Files\Game\wow.exe", ...
        std::size_t end = i;
        for (;;) {
            while (end < line.size() && !IsBlank(line[end]))
                ++end;
            std::string candidate = ToNativeSeparators(line.substr(i, end - i));
            if (platform::FileExists(candidate)) {
                program = candidate;
                rest = line.substr(end);
                break;
            }
            if (FilePart(candidate).find('.') == std::string::npos && platform::FileExists(candidate + ".exe")) {
                program = candidate + ".exe";
                rest = line.substr(end);
                break;
            }
            if (end >= line.size())
                break;
            while (end < line.size() && IsBlank(line[end]))
                ++end;
        }
        if (program.empty()) {
            // Not a file: a program name to look up on PATH.
            std::size_t tokenEnd = i;
            while (tokenEnd < line.size() && !IsBlank(line[tokenEnd]))
                ++tokenEnd;
            program = platform::FindOnPath(std::string(line.substr(i, tokenEnd - i)));
            rest = line.substr(tokenEnd);
            if (program.empty())
                return false;
        }
    }
    return RunProgram(ToNativeSeparators(program), SplitWindowsArguments(rest));
}

void EndProcessesNamed(const std::string& name) {
    std::string wanted = AsciiLower(name);
    platform::ProcessId self = platform::CurrentProcessId();
    for (const auto& p : platform::ListProcesses()) {
        if (p.pid == self)
            continue;
        std::string exe = AsciiLower(p.exeName.substr(0, 260));
        if (!wanted.empty() && exe.find(wanted) != std::string::npos)
            platform::TerminateProcess(p);
    }
}

std::string FileVersionText(const std::string& path) {
    return platform::SameFile(path, platform::ExecutablePath()) ? TARNWICK_VERSION_TEXT : "0.0.0.0";
}

namespace {

// The parts of a dotted version text; false when it is not one.
bool VersionParts(const std::string& text, std::vector<std::uint32_t>& parts) {
    parts.clear();
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = text.find('.', start);
        const std::string part = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (part.empty() || part.size() > 9 || part.find_first_not_of("0123456789") != std::string::npos)
            return false;
        parts.push_back(static_cast<std::uint32_t>(std::stoul(part)));
        if (dot == std::string::npos)
            return true;
        start = dot + 1;
    }
}

} // namespace

bool IsNewerVersion(const std::string& offered, const std::string& own) {
    std::vector<std::uint32_t> a, b;
    if (!VersionParts(offered, a))
        return false;
    if (!VersionParts(own, b))
        b.clear();
    const std::size_t n = std::max(a.size(), b.size());
    a.resize(n);
    b.resize(n);
    return a > b;
}

Md5Digest FileMd5(const std::string& path, const Md5ProgressHandler& handler) {
    platform::Md5 digest;
    platform::ReadOnlyFile file;
    if (!file.Open(path))
        return digest.Finish();
    const std::int64_t length = file.Size();
    if (length < 0)
        RaiseSystemError("Cannot read file", path, errno);
    // Read, never mapped: here the page faults of a mapping cost more than the copy, and a
    // mapped file that shrinks underneath kills the process. A file that changes while it is
    // read gives the digest of what was read; its check then fails and it is fetched again.
    const auto size = static_cast<std::uint64_t>(length);
    const bool report = handler && size > kMd5MappedLimit;
    // One buffer per thread, reused by every call on it; reads sized to stay in the cache.
    thread_local std::vector<unsigned char> buffer(kMd5ReadSize);
    std::uint64_t done = 0, nextReport = std::min<std::uint64_t>(size, kMd5BlockSize);
    while (done < size) {
        const std::int64_t n =
            file.Read(buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - done)));
        if (n < 0)
            RaiseSystemError("Cannot read file", path, errno);
        if (n == 0)
            break;
        digest.Update(buffer.data(), static_cast<std::size_t>(n));
        done += static_cast<std::uint64_t>(n);
        if (report && done >= nextReport) {
            handler(size, done);
            nextReport = std::min<std::uint64_t>(size, done + kMd5BlockSize);
        }
    }
    return digest.Finish();
}

std::string Md5Hex(const Md5Digest& digest) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(32);
    for (std::uint8_t b : digest) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

} // namespace tw
