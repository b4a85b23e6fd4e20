#include "platform/filestream.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw::platform {

FileStream::~FileStream() { Close(); }

bool FileStream::OpenRead(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return fd_ >= 0;
}

bool FileStream::Create(const std::string& path) {
    Close();
    // A link at the name would make O_TRUNC write through it into another file; replace the
    // entry instead, as creating a new file on Windows does.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        ::unlink(path.c_str());
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    return fd_ >= 0;
}

bool FileStream::CreateNew(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    return fd_ >= 0;
}

std::int64_t FileStream::Read(void* data, std::size_t size) {
    for (;;) {
        ssize_t n = ::read(fd_, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<std::int64_t>(n);
    }
}

std::int64_t FileStream::Write(const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd_, p + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
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
    int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : -1;
    if (whence < 0) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<std::int64_t>(::lseek(fd_, static_cast<off_t>(offset), whence));
}

std::int64_t FileStream::Size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool FileStream::SetSize(std::uint64_t size) { return ::ftruncate(fd_, static_cast<off_t>(size)) == 0; }

bool FileStream::Close() {
    if (fd_ < 0)
        return true;
    int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0;
}

} // namespace tw::platform
