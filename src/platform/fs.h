#pragma once
// File-system primitives of one operating system. The portable helpers in base/ are built on
// these; nothing above this folder touches the OS file API directly.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tw::platform {

// The native separator of this system's paths.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Whether this system's file names are one and the same file when they differ only in case.
#ifdef _WIN32
inline constexpr bool kNamesIgnoreCase = true;
#else
inline constexpr bool kNamesIgnoreCase = false;
#endif

// The browser's user data below the program folder. Beside "launcher.exe" it is "launcher"; where
// programs carry no extension, that name is taken by the launcher's executable itself.
#ifdef _WIN32
inline constexpr const char* kBrowserDataFolder = "launcher";
#else
inline constexpr const char* kBrowserDataFolder = "launcher-data";
#endif

// True for every character that ends a folder part in a path of this system.
bool IsNativeSeparator(char c);

// Full, link-resolved path of the running executable.
std::string ExecutablePath();

bool PathExists(const std::string& path);   // anything at all, a dangling link included
bool FolderExists(const std::string& path); // a folder, or a link to one
bool FileExists(const std::string& path);   // a regular file, or a link to one
// Size of a regular file, or -1 (errno kept) when it cannot be read.
std::int64_t FileSize(const std::string& path);

// What tells one version of a file from another without reading it: a file rewritten or
// replaced changes at least one of these (the change time also when the modification time was
// set back by hand).
struct FileStamp {
    std::int64_t size = -1;
    std::int64_t modifiedNs = 0; // modification time, nanoseconds since the epoch
    std::int64_t changedNs = 0;  // inode change time, likewise
    std::uint64_t inode = 0;
    std::uint64_t device = 0;
    bool operator==(const FileStamp&) const = default;
};
// The stamp of a regular file (links followed); false when there is none.
bool GetFileStamp(const std::string& path, FileStamp& out);

// Creates one folder (the parent must exist). Returns false with errno set on failure.
bool CreateFolder(const std::string& path);

// Deletes a folder tree without ever following a link out of it: links are removed as links,
// read-only entries are made writable first. Gives the success of the last step, as the
// Windows walk does; a missing folder gives true.
bool RemoveTree(const std::string& path);

// Deletes a folder only when it is empty. False with errno otherwise.
bool DeleteEmptyFolder(const std::string& path);

// Deletes one file (or link). False with errno on failure; a missing file is a failure.
bool DeleteFile(const std::string& path);

// Marks a file read-only (as the Windows attribute does) or writable again.
bool SetReadOnly(const std::string& path, bool readOnly);
// True when a file exists and carries the read-only mark (no write permission for anybody).
bool IsReadOnly(const std::string& path);

// Renames within one file system, replacing an existing file. False with errno on failure
// (EXDEV when source and target are on different file systems).
bool RenameReplace(const std::string& from, const std::string& to);

// Copies a regular file's bytes and mode into a new file `to` (which must not exist).
// False with errno on failure; a partial target is removed.
bool CopyFileNew(const std::string& from, const std::string& to);

// Directory listing (names only, without "." and ".."). False with errno when it cannot be read.
struct DirEntry {
    std::string name;
    bool isFolder = false; // a real folder, not a link to one
};
bool ListFolder(const std::string& path, std::vector<DirEntry>& out);

// Writes bytes to `path` through a temporary file in the same folder and an atomic rename, so
// that readers see the old file or the new one, never a half-written one. Raises tw::Error
// naming the path on failure.
void WriteFileAtomic(const std::string& path, const std::string& bytes);

// As WriteFileAtomic, and the bytes and the new name are on the disk when it returns: they
// survive a power cut, not only the end of the process.
void WriteFileDurable(const std::string& path, const std::string& bytes);

// As WriteFileAtomic, for a secret: the file is readable and writable by its owner alone from the
// moment it exists (mode 0600; on Windows a protected access list naming the current user only).
void WritePrivateFile(const std::string& path, const std::string& bytes);

// Reads a whole file. False with errno when it cannot be opened or read.
bool ReadFile(const std::string& path, std::string& out);

// Flushes a file's data, or a folder's entries, to the disk. False with errno on failure.
bool SyncPath(const std::string& path);

// Flushes everything written to the file system that holds `path` (one call for a whole tree of
// new files). False with errno on failure.
bool SyncFileSystem(const std::string& path);

// What a path itself names (a link is not followed): equal for two paths only when they are the
// same file or folder. Survives renames within the file system.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileId&) const = default;
};
// False with errno when nothing is there.
bool GetFileId(const std::string& path, FileId& id);

// True when both paths (links followed) name one and the same existing file.
bool SameFile(const std::string& a, const std::string& b);

// Bytes an unprivileged writer may still put on the file system that holds `path`, or -1 with
// errno when it cannot be told.
std::int64_t FreeSpace(const std::string& path);

} // namespace tw::platform
