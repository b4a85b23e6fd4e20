#include "platform/mapping.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw::platform {

ReadOnlyFile::~ReadOnlyFile() { Close(); }

bool ReadOnlyFile::Open(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
        return false;
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

std::int64_t ReadOnlyFile::Size() const {
    struct stat st {};
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    if (::fstat(fd_, &st) != 0)
        return -1;
    return static_cast<std::int64_t>(st.st_size);
}

std::int64_t ReadOnlyFile::Read(void* buffer, std::size_t size) {
    for (;;) {
        ssize_t n = ::read(fd_, buffer, size);
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<std::int64_t>(n);
    }
}

void ReadOnlyFile::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

FileView::~FileView() { Unmap(); }

bool FileView::Map(const ReadOnlyFile& file, std::size_t length) {
    Unmap();
    if (length == 0) {
        errno = EINVAL;
        return false;
    }
    // Pre-fault the pages: the whole view is read once from front to back straight away.
    void* p = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.fd_, 0);
    if (p == MAP_FAILED)
        return false;
    ::madvise(p, length, MADV_SEQUENTIAL);
    data_ = p;
    length_ = length;
    return true;
}

void FileView::Unmap() {
    if (data_)
        ::munmap(data_, length_);
    data_ = nullptr;
    length_ = 0;
}

} // namespace tw::platform
