#include "platform/mapping.h"

#include "platform/win32_util.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>

namespace tw::platform {

ReadOnlyFile::~ReadOnlyFile() {
    Close();
}

bool ReadOnlyFile::Open(const std::string& path) {
    Close();
    HANDLE h =
        CreateFileW(win32::Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return win32::Fail();
    fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd_ < 0) {
        CloseHandle(h);
        errno = EMFILE;
        return false;
    }
    return true;
}

std::int64_t ReadOnlyFile::Size() const {
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    return static_cast<std::int64_t>(::_filelengthi64(fd_));
}

std::int64_t ReadOnlyFile::Read(void* buffer, std::size_t size) {
    const unsigned chunk = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
    return static_cast<std::int64_t>(::_read(fd_, buffer, chunk));
}

void ReadOnlyFile::Close() {
    if (fd_ >= 0)
        ::_close(fd_);
    fd_ = -1;
}

FileView::~FileView() {
    Unmap();
}

bool FileView::Map(const ReadOnlyFile& file, std::size_t length) {
    Unmap();
    // The system cannot map an empty file (error 1006).
    if (length == 0 || file.fd_ < 0) {
        errno = EINVAL;
        return false;
    }
    const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(file.fd_));
    const auto size = static_cast<std::uint64_t>(length);
    HANDLE mapping = CreateFileMappingW(h, nullptr, PAGE_READONLY, static_cast<DWORD>(size >> 32),
                                        static_cast<DWORD>(size & 0xFFFFFFFFu), nullptr);
    if (!mapping)
        return win32::Fail();
    void* p = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, length);
    const DWORD code = GetLastError();
    CloseHandle(mapping); // the view keeps the mapping alive
    if (!p) {
        errno = win32::ErrnoFromWin32(code);
        return false;
    }
    data_ = p;
    length_ = length;
    return true;
}

void FileView::Unmap() {
    if (data_)
        UnmapViewOfFile(data_);
    data_ = nullptr;
    length_ = 0;
}

} // namespace tw::platform
