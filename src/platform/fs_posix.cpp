#include "platform/fs.h"

#include "platform/error.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace tw::platform {

bool IsNativeSeparator(char c) {
    return c == '/';
}

std::string ExecutablePath() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    buffer[n] = '\0';
    return std::string(buffer, static_cast<std::size_t>(n));
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

bool FolderExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::int64_t FileSize(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool GetFileStamp(const std::string& path, FileStamp& out) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    out.size = static_cast<std::int64_t>(st.st_size);
    out.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    out.changedNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
    out.inode = static_cast<std::uint64_t>(st.st_ino);
    out.device = static_cast<std::uint64_t>(st.st_dev);
    return true;
}

bool CreateFolder(const std::string& path) {
    return ::mkdir(path.c_str(), 0777) == 0;
}

namespace {

// Removes everything inside the open folder `dirFd` (which it closes), then gives the result of
// the last step. `lastOk` carries the result of the most recent step through the recursion.
void ClearFolderAt(int dirFd, bool& lastOk) {
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        lastOk = false;
        return;
    }
    // Collect first: removing entries while reading the same stream may skip some.
    std::vector<std::pair<std::string, bool>> entries;
    while (dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        bool isDir = false;
        if (e->d_type == DT_DIR) {
            isDir = true;
        } else if (e->d_type == DT_UNKNOWN) {
            struct stat st {};
            isDir = ::fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        entries.emplace_back(e->d_name, isDir);
    }
    for (const auto& [name, isDir] : entries) {
        if (isDir) {
            // O_NOFOLLOW: if the entry was swapped for a link since it was read, it is not entered.
            int sub = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0 && errno == EACCES) {
                ::fchmodat(dirFd, name.c_str(), 0700, 0);
                sub = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            }
            if (sub >= 0) {
                struct stat st {};
                // Entries of a folder without write permission cannot be removed: open it up first.
                if (::fstat(sub, &st) == 0 && (st.st_mode & S_IWUSR) == 0)
                    ::fchmod(sub, st.st_mode | S_IRWXU);
                ClearFolderAt(sub, lastOk);
            } else {
                lastOk = false;
            }
            lastOk = ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) == 0;
        } else {
            lastOk = ::unlinkat(dirFd, name.c_str(), 0) == 0;
        }
    }
    ::closedir(dir);
}

} // namespace

bool RemoveTree(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return true;
    // A link to a folder is removed as a link: what it points to is not ours to delete.
    struct stat lst {};
    if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode))
        return ::unlink(path.c_str()) == 0;
    if ((st.st_mode & S_IWUSR) == 0)
        ::chmod(path.c_str(), st.st_mode | S_IRWXU);
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool lastOk = true;
    if (fd >= 0)
        ClearFolderAt(fd, lastOk);
    return ::rmdir(path.c_str()) == 0;
}

bool DeleteEmptyFolder(const std::string& path) {
    return ::rmdir(path.c_str()) == 0;
}

bool DeleteFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool SetReadOnly(const std::string& path, bool readOnly) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    mode_t mode = st.st_mode & 07777;
    mode = readOnly ? (mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
    return ::chmod(path.c_str(), mode) == 0;
}

bool IsReadOnly(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

bool RenameReplace(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool CopyFileNew(const std::string& from, const std::string& to) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat st {};
    if (::fstat(in, &st) != 0) {
        int e = errno;
        ::close(in);
        errno = e;
        return false;
    }
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
    if (out < 0) {
        int e = errno;
        ::close(in);
        errno = e;
        return false;
    }
    std::vector<char> buffer(1 << 20);
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok)
            break;
    }
    int e = errno;
    if (::close(out) != 0 && ok) {
        ok = false;
        e = errno;
    }
    ::close(in);
    if (!ok) {
        ::unlink(to.c_str());
        errno = e;
    }
    return ok;
}

bool ListFolder(const std::string& path, std::vector<DirEntry>& out) {
    out.clear();
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return false;
    while (dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        DirEntry entry;
        entry.name = e->d_name;
        if (e->d_type == DT_DIR) {
            entry.isFolder = true;
        } else if (e->d_type == DT_UNKNOWN) {
            struct stat st {};
            entry.isFolder = ::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        out.push_back(std::move(entry));
    }
    ::closedir(dir);
    return true;
}

namespace {

void WriteThroughTemp(const std::string& path, const std::string& bytes, bool durable, bool ownerOnly = false) {
    std::random_device rd;
    std::string temp = path + ".tmp" + std::to_string(rd() % 1000000u);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, ownerOnly ? 0600 : 0666);
    if (fd < 0)
        RaiseSystemError("Cannot create file", path, errno);
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            int e = w < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(temp.c_str());
            RaiseSystemError("Cannot write file", path, e);
        }
        done += static_cast<std::size_t>(w);
    }
    if ((durable && ::fsync(fd) != 0) || ::close(fd) != 0) {
        int e = errno;
        if (durable)
            ::close(fd);
        ::unlink(temp.c_str());
        RaiseSystemError("Cannot write file", path, e);
    }
    // Keep the permissions of the file being replaced.
    struct stat st {};
    if (!ownerOnly && ::stat(path.c_str(), &st) == 0)
        ::chmod(temp.c_str(), st.st_mode & 07777);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        int e = errno;
        ::unlink(temp.c_str());
        RaiseSystemError("Cannot write file", path, e);
    }
    if (durable) {
        std::string folder = path.substr(0, path.find_last_of('/') + 1);
        if (!SyncPath(folder.empty() ? std::string(".") : folder))
            RaiseSystemError("Cannot write file", path, errno);
    }
}

} // namespace

void WriteFileAtomic(const std::string& path, const std::string& bytes) {
    WriteThroughTemp(path, bytes, false);
}
void WriteFileDurable(const std::string& path, const std::string& bytes) {
    WriteThroughTemp(path, bytes, true);
}
void WritePrivateFile(const std::string& path, const std::string& bytes) {
    WriteThroughTemp(path, bytes, false, true);
}

bool ReadFile(const std::string& path, std::string& out) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            errno = e;
            return false;
        }
        if (n == 0)
            break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

bool SyncPath(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::fsync(fd) == 0 || errno == EINVAL; // some file systems cannot sync a folder
    int e = errno;
    ::close(fd);
    errno = e;
    return ok;
}

bool SyncFileSystem(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::syncfs(fd) == 0;
    int e = errno;
    ::close(fd);
    errno = e;
    return ok;
}

bool GetFileId(const std::string& path, FileId& id) {
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0)
        return false;
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return !a.empty() && !b.empty() && ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::int64_t FreeSpace(const std::string& path) {
    struct statvfs vfs {};
    if (::statvfs(path.c_str(), &vfs) != 0)
        return -1;
    return static_cast<std::int64_t>(vfs.f_bavail) * static_cast<std::int64_t>(vfs.f_frsize);
}

} // namespace tw::platform
