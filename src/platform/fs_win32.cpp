#include "platform/fs.h"

#include "platform/error.h"
#include "platform/win32_util.h"

#include <sddl.h>

#include <cerrno>
#include <random>
#include <vector>

namespace tw::platform {

using win32::Fail;
using win32::Handle;
using win32::Narrow;
using win32::Wide;

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

DWORD Attributes(const std::string& path) {
    return path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(Wide(path).c_str());
}

// Opens what the path names for reading its attributes; `followLink` false opens a link itself.
Handle OpenForQuery(const std::string& path, bool followLink) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    return Handle(
        CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr));
}

// Information about the file a path names, links followed.
bool Stat(const std::string& path, BY_HANDLE_FILE_INFORMATION& info, bool followLink = true) {
    if (path.empty()) {
        errno = ENOENT;
        return false;
    }
    Handle h = OpenForQuery(path, followLink);
    if (!h || !GetFileInformationByHandle(h.get(), &info))
        return Fail();
    return true;
}

bool IsLink(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Removes everything inside `folder` (no trailing separator); `lastOk` carries the result of the
// most recent step through the recursion.
void ClearFolder(const std::wstring& folder, bool& lastOk) {
    std::vector<std::pair<std::wstring, DWORD>> entries;
    WIN32_FIND_DATAW data;
    HANDLE find =
        FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        lastOk = false;
        return;
    }
    do {
        if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0)
            entries.emplace_back(data.cFileName, data.dwFileAttributes);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    for (const auto& [name, attributes] : entries) {
        const std::wstring path = folder + L"\\" + name;
        if (attributes & FILE_ATTRIBUTE_READONLY)
            SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A link or junction to a folder goes as the link: what it points to is not ours.
            if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                ClearFolder(path, lastOk);
            lastOk = RemoveDirectoryW(path.c_str()) != 0;
        } else {
            lastOk = DeleteFileW(path.c_str()) != 0;
        }
    }
}

std::wstring FolderOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : path.substr(0, slash + 1);
}

} // namespace

bool IsNativeSeparator(char c) {
    return c == '\\' || c == '/';
}

std::string ExecutablePath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size())
            return Narrow(buffer.data(), static_cast<int>(n));
        buffer.resize(buffer.size() * 2);
    }
}

bool PathExists(const std::string& path) {
    return Attributes(path) != INVALID_FILE_ATTRIBUTES;
}

bool FolderExists(const std::string& path) {
    const DWORD a = Attributes(path);
    if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    return !IsLink(a) || (Stat(path, info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY));
}

bool FileExists(const std::string& path) {
    const DWORD a = Attributes(path);
    if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    return !IsLink(a) || Stat(path, info);
}

std::int64_t FileSize(const std::string& path) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!Stat(path, info))
        return -1;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        errno = EISDIR;
        return -1;
    }
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
}

bool GetFileStamp(const std::string& path, FileStamp& out) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!Stat(path, info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    out.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    // 100-nanosecond steps since 1601, made nanoseconds since 1970.
    const auto sinceEpoch = [](std::int64_t ticks) { return (ticks - 116'444'736'000'000'000) * 100; };
    out.modifiedNs = sinceEpoch((static_cast<std::int64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                static_cast<std::int64_t>(info.ftLastWriteTime.dwLowDateTime));
    // The change time moves with every write, also when the modification time is set back.
    FILE_BASIC_INFO basic{};
    Handle h = OpenForQuery(path, true);
    out.changedNs = h && GetFileInformationByHandleEx(h.get(), FileBasicInfo, &basic, sizeof basic)
                        ? sinceEpoch(basic.ChangeTime.QuadPart)
                        : 0;
    out.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    out.device = info.dwVolumeSerialNumber;
    return true;
}

bool CreateFolder(const std::string& path) {
    return CreateDirectoryW(Wide(path).c_str(), nullptr) ? true : Fail();
}

bool RemoveTree(const std::string& path) {
    const DWORD a = Attributes(path);
    if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY))
        return true;
    std::wstring wide = Wide(path);
    while (wide.size() > 3 && (wide.back() == L'\\' || wide.back() == L'/'))
        wide.pop_back();
    if (a & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(wide.c_str(), a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (IsLink(a))
        return RemoveDirectoryW(wide.c_str()) ? true : Fail();
    bool lastOk = true;
    ClearFolder(wide, lastOk);
    return RemoveDirectoryW(wide.c_str()) ? true : Fail();
}

bool DeleteEmptyFolder(const std::string& path) {
    return RemoveDirectoryW(Wide(path).c_str()) ? true : Fail();
}

bool DeleteFile(const std::string& path) {
    return DeleteFileW(Wide(path).c_str()) ? true : Fail();
}

bool SetReadOnly(const std::string& path, bool readOnly) {
    const std::wstring wide = Wide(path);
    const DWORD a = GetFileAttributesW(wide.c_str());
    if (a == INVALID_FILE_ATTRIBUTES)
        return Fail();
    DWORD wanted = readOnly ? (a | FILE_ATTRIBUTE_READONLY) : (a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (wanted == 0)
        wanted = FILE_ATTRIBUTE_NORMAL;
    return wanted == a || SetFileAttributesW(wide.c_str(), wanted) ? true : Fail();
}

bool IsReadOnly(const std::string& path) {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY) && (a & FILE_ATTRIBUTE_READONLY);
}

bool RenameReplace(const std::string& from, const std::string& to) {
    // No MOVEFILE_COPY_ALLOWED: across volumes this fails with EXDEV, as rename does elsewhere.
    return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) ? true : Fail();
}

bool CopyFileNew(const std::string& from, const std::string& to) {
    // The copy's attributes follow the source's (the read-only mark included); a partial target
    // is removed by the system.
    return CopyFileW(Wide(from).c_str(), Wide(to).c_str(), TRUE) ? true : Fail();
}

bool ListFolder(const std::string& path, std::vector<DirEntry>& out) {
    out.clear();
    std::wstring pattern = Wide(path);
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/')
        pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        // A folder lists "." and ".." at least, except the empty root of a drive.
        if (GetLastError() == ERROR_FILE_NOT_FOUND && FolderExists(path))
            return true;
        return Fail();
    }
    do {
        if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0)
            continue;
        DirEntry entry;
        entry.name = Narrow(data.cFileName);
        entry.isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                         !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        out.push_back(std::move(entry));
    } while (FindNextFileW(find, &data));
    const DWORD last = GetLastError();
    FindClose(find);
    if (last != ERROR_NO_MORE_FILES) {
        errno = win32::ErrnoFromWin32(last);
        return false;
    }
    return true;
}

namespace {

// A security descriptor whose protected access list lets the current user alone at the file (no
// entries inherited from the folder). Empty when it cannot be made.
struct OwnerOnlyDescriptor {
    PSECURITY_DESCRIPTOR sd = nullptr;
    OwnerOnlyDescriptor() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return;
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::vector<unsigned char> buffer(size ? size : 1);
        LPWSTR sid = nullptr;
        if (GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
            ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
            const std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")";
            ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr);
            LocalFree(sid);
        }
        CloseHandle(token);
    }
    ~OwnerOnlyDescriptor() {
        if (sd)
            LocalFree(sd);
    }
    OwnerOnlyDescriptor(const OwnerOnlyDescriptor&) = delete;
    OwnerOnlyDescriptor& operator=(const OwnerOnlyDescriptor&) = delete;
};

void WriteThroughTemp(const std::string& path, const std::string& bytes, bool durable, bool ownerOnly = false) {
    std::random_device rd;
    const std::wstring target = Wide(path);
    const std::wstring temp = target + L".tmp" + std::to_wstring(rd() % 1000000u);
    OwnerOnlyDescriptor descriptor;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    if (ownerOnly) {
        if (!descriptor.sd)
            RaiseSystemError("Cannot create file", path, win32::ErrnoFromWin32(GetLastError()));
        attributes.lpSecurityDescriptor = descriptor.sd;
    }
    HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, ownerOnly ? &attributes : nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        RaiseSystemError("Cannot create file", path, win32::ErrnoFromWin32(GetLastError()));
    auto failWith = [&](DWORD code) {
        CloseHandle(h);
        DeleteFileW(temp.c_str());
        RaiseSystemError("Cannot write file", path, win32::ErrnoFromWin32(code));
    };
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 24));
        DWORD written = 0;
        if (!WriteFile(h, bytes.data() + done, chunk, &written, nullptr) || written == 0)
            failWith(GetLastError());
        done += written;
    }
    if (durable && !FlushFileBuffers(h))
        failWith(GetLastError());
    CloseHandle(h);
    // Keep the read-only mark of the file being replaced; the system refuses to replace it.
    const DWORD old = GetFileAttributesW(target.c_str());
    const bool wasReadOnly = old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_READONLY);
    if (wasReadOnly)
        SetFileAttributesW(target.c_str(), old & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0);
    if (!MoveFileExW(temp.c_str(), target.c_str(), flags)) {
        const DWORD code = GetLastError();
        if (wasReadOnly)
            SetFileAttributesW(target.c_str(), old);
        DeleteFileW(temp.c_str());
        RaiseSystemError("Cannot write file", path, win32::ErrnoFromWin32(code));
    }
    if (wasReadOnly)
        SetReadOnly(path, true);
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
    Handle h(CreateFileW(Wide(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                         nullptr));
    if (!h)
        return Fail();
    char buffer[65536];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(h.get(), buffer, sizeof buffer, &n, nullptr))
            return Fail();
        if (n == 0)
            break;
        out.append(buffer, n);
    }
    return true;
}

bool SyncPath(const std::string& path) {
    const DWORD a = Attributes(path);
    if (a == INVALID_FILE_ATTRIBUTES)
        return Fail();
    // A folder's entries are in the file system's journal once the call that made them returned.
    if (a & FILE_ATTRIBUTE_DIRECTORY)
        return true;
    Handle h(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!h)
        return Fail();
    return FlushFileBuffers(h.get()) ? true : Fail();
}

namespace {

// Flushes every file of a tree: without administrator rights a whole volume cannot be flushed.
bool SyncTreeFiles(const std::wstring& folder) {
    bool ok = true;
    DWORD failure = 0;
    WIN32_FIND_DATAW data;
    HANDLE find =
        FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return Fail();
    do {
        if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0 ||
            (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        const std::wstring path = folder + L"\\" + data.cFileName;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!SyncTreeFiles(path) && ok) {
                ok = false;
                failure = static_cast<DWORD>(-1);
            }
            continue;
        }
        // A read-only file cannot be opened for writing, and so not flushed; it was written
        // before it was marked, by a writer that closed it.
        if (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
            continue;
        Handle h(CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
        if ((!h || !FlushFileBuffers(h.get())) && ok) {
            ok = false;
            failure = GetLastError();
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    if (!ok && failure != static_cast<DWORD>(-1))
        errno = win32::ErrnoFromWin32(failure);
    return ok;
}

} // namespace

bool SyncFileSystem(const std::string& path) {
    const DWORD a = Attributes(path);
    if (a == INVALID_FILE_ATTRIBUTES)
        return Fail();
    if (!(a & FILE_ATTRIBUTE_DIRECTORY))
        return SyncPath(path);
    std::wstring folder = Wide(path);
    while (folder.size() > 3 && (folder.back() == L'\\' || folder.back() == L'/'))
        folder.pop_back();
    return SyncTreeFiles(folder);
}

bool GetFileId(const std::string& path, FileId& id) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!Stat(path, info, false))
        return false;
    id.device = info.dwVolumeSerialNumber;
    id.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool SameFile(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION ia, ib;
    return Stat(a, ia) && Stat(b, ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

std::int64_t FreeSpace(const std::string& path) {
    std::wstring folder = Wide(path);
    // The call wants a folder; a file's own folder holds it.
    const DWORD a = GetFileAttributesW(folder.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY))
        folder = FolderOf(folder);
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/')
        folder += L'\\';
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) {
        Fail();
        return -1;
    }
    return static_cast<std::int64_t>(available.QuadPart);
}

} // namespace tw::platform
