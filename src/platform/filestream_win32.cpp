#include "platform/filestream.h"

#include "platform/win32_util.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>

namespace tw::platform {

namespace {

// A C runtime descriptor over a file opened with the sharing the POSIX side has: others may go
// on reading, writing, renaming and deleting it.
int OpenDescriptor(const std::string& path, DWORD access, DWORD disposition, int flags,
                   DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE) {
    HANDLE h = CreateFileW(win32::Wide(path).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        win32::Fail();
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
        CloseHandle(h);
        errno = EMFILE;
    }
    return fd;
}

} // namespace

FileStream::~FileStream() {
    Close();
}

bool FileStream::OpenRead(const std::string& path) {
    Close();
    fd_ = OpenDescriptor(path, GENERIC_READ, OPEN_EXISTING, _O_RDONLY);
    return fd_ >= 0;
}

bool FileStream::Create(const std::string& path) {
    Close();
    // CREATE_ALWAYS truncates an existing file in place; a link at the name goes first, so that
    // nothing is written through it into another file.
    const DWORD a = GetFileAttributesW(win32::Wide(path).c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) && !(a & FILE_ATTRIBUTE_DIRECTORY))
        DeleteFileW(win32::Wide(path).c_str());
    fd_ = OpenDescriptor(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, _O_RDWR);
    return fd_ >= 0;
}

bool FileStream::CreateNew(const std::string& path) {
    Close();
    // CREATE_NEW fails on anything at the name, a reparse point included; others may read the
    // file while it is written, nobody may write, rename or delete it.
    fd_ = OpenDescriptor(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, _O_RDWR, FILE_SHARE_READ);
    return fd_ >= 0;
}

std::int64_t FileStream::Read(void* data, std::size_t size) {
    const unsigned chunk = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
    return static_cast<std::int64_t>(::_read(fd_, data, chunk));
}

std::int64_t FileStream::Write(const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const std::size_t left = size - done;
        const unsigned chunk = left > 0x40000000u ? 0x40000000u : static_cast<unsigned>(left);
        const int n = ::_write(fd_, p + done, chunk);
        if (n <= 0) {
            if (done == 0)
                return -1;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

std::int64_t FileStream::Seek(std::int64_t offset, int origin) {
    const int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : -1;
    if (whence < 0) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<std::int64_t>(::_lseeki64(fd_, offset, whence));
}

std::int64_t FileStream::Size() const {
    return static_cast<std::int64_t>(::_filelengthi64(fd_));
}

bool FileStream::SetSize(std::uint64_t size) {
    return ::_chsize_s(fd_, static_cast<long long>(size)) == 0;
}

bool FileStream::Close() {
    if (fd_ < 0)
        return true;
    const int rc = ::_close(fd_);
    fd_ = -1;
    return rc == 0;
}

} // namespace tw::platform
