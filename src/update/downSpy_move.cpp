#include "update/downSpy.h"

#include "base/helpers.h"
#include "base/text.h"
#include "platform/fs.h"

#include <cerrno>
#include <filesystem>
#include <random>
#include <vector>

namespace tw {

namespace {

std::string Join(const std::string& folder, const std::string& name) {
    return WithoutTrailingSeparator(folder) + kSep + name;
}

bool HasWildcard(const std::string& pattern) {
    return pattern.find_first_of("*?") != std::string::npos;
}

// '*' any run, '?' one character, letters without regard to case (as the shell matches).
bool Matches(const char* pattern, const char* name) {
    if (*pattern == '\0')
        return *name == '\0';
    if (*pattern == '*') {
        for (const char* n = name;; ++n) {
            if (Matches(pattern + 1, n))
                return true;
            if (*n == '\0')
                return false;
        }
    }
    if (*name == '\0')
        return false;
    if (*pattern == '?' || AsciiLower(*pattern) == AsciiLower(*name))
        return Matches(pattern + 1, name + 1);
    return false;
}

bool RemoveEmptyFolder(const std::string& path) {
    std::error_code ec;
    return std::filesystem::remove(std::filesystem::u8path(path), ec);
}

// Copies a file across file systems: the bytes go to a hidden name beside the target first, so
// the final name only ever holds a complete file.
bool CopyThenReplace(const std::string& from, const std::string& to) {
    static thread_local std::mt19937 random{std::random_device{}()};
    const std::string temp = Join(FolderPart(to).empty() ? "." : FolderPart(to),
                                  "." + FilePart(to) + ".moving-" + std::to_string(random() % 1000000));
    if (!platform::CopyFileNew(from, temp))
        return false;
    if (!platform::RenameReplace(temp, to)) {
        int err = errno;
        platform::DeleteFile(temp);
        errno = err;
        return false;
    }
    return platform::DeleteFile(from);
}

bool MoveEntry(const std::string& from, const std::string& to) {
    std::error_code ec;
    // A folder is entered only when it is a real one: a link to a folder moves as a link.
    const bool folder = platform::FolderExists(from) && !std::filesystem::is_symlink(std::filesystem::u8path(from), ec);
    if (folder) {
        std::vector<platform::DirEntry> entries;
        bool realFolder = platform::ListFolder(from, entries);
        if (realFolder && platform::FolderExists(to)) {
            bool ok = true;
            for (const auto& e : entries)
                ok = MoveEntry(Join(from, e.name), Join(to, e.name)) && ok;
            return RemoveEmptyFolder(from) && ok;
        }
        if (platform::PathExists(to))
            return false; // a folder cannot replace a file
        EnsureFolder(FolderPart(to));
        if (platform::RenameReplace(from, to))
            return true;
        if (errno != EXDEV || !realFolder || !platform::CreateFolder(to))
            return false;
        bool ok = true;
        for (const auto& e : entries)
            ok = MoveEntry(Join(from, e.name), Join(to, e.name)) && ok;
        return RemoveEmptyFolder(from) && ok;
    }
    if (!platform::PathExists(from))
        return false;
    if (platform::FolderExists(to) && !platform::FileExists(to))
        return false; // a file cannot replace a folder
    EnsureFolder(FolderPart(to));
    if (platform::RenameReplace(from, to))
        return true;
    return errno == EXDEV && CopyThenReplace(from, to);
}

} // namespace

bool MoveFiles(const std::string& source, const std::string& destination) {
    try {
        const std::string pattern = FilePart(source);
        if (HasWildcard(pattern)) {
            const std::string folder = FolderPart(source);
            std::vector<platform::DirEntry> entries;
            if (!platform::ListFolder(WithoutTrailingSeparator(folder), entries))
                return false;
            const std::string match = pattern == "*.*" ? "*" : pattern;
            if (!EnsureFolder(destination))
                return false;
            bool ok = true;
            for (const auto& e : entries)
                if (Matches(match.c_str(), e.name.c_str()))
                    ok = MoveEntry(folder + e.name, Join(destination, e.name)) && ok;
            return ok;
        }
        const std::string from = WithoutTrailingSeparator(source);
        std::string to = WithoutTrailingSeparator(destination);
        // Onto an existing folder, a single source goes inside it.
        if (platform::FolderExists(to) && !platform::FileExists(to))
            to = Join(to, FilePart(from));
        return MoveEntry(from, to);
    } catch (...) {
        return false;
    }
}

} // namespace tw
