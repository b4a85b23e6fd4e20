#pragma once
// A plain file opened for streaming reads or writes with seeking. Nothing here raises: failures
// return false or -1 with errno set, and the caller words the error.
#include <cstddef>
#include <cstdint>
#include <string>

namespace tw::platform {

class FileStream {
public:
    FileStream() = default;
    FileStream(const FileStream&) = delete;
    FileStream& operator=(const FileStream&) = delete;
    ~FileStream();

    // Opens an existing file for reading; others may go on reading and writing it.
    bool OpenRead(const std::string& path);
    // Creates a file for writing, replacing an existing one of that name (a link there is
    // replaced, never followed); nobody else is meant to use it meanwhile.
    bool Create(const std::string& path);
    // Creates a file that must not exist yet (nothing at the name, not even a link), for writing;
    // while it is open nobody else may write it. False with errno (EEXIST) otherwise.
    bool CreateNew(const std::string& path);
    bool IsOpen() const { return fd_ >= 0; }

    // Reads up to `size` bytes; the count read (0 at the end), or -1.
    std::int64_t Read(void* data, std::size_t size);
    // Writes all `size` bytes unless an error stops it; the count written, or -1 when nothing was.
    std::int64_t Write(const void* data, std::size_t size);
    // origin: 0 from the start, 1 from the current position, 2 from the end. New position or -1.
    std::int64_t Seek(std::int64_t offset, int origin);
    std::int64_t Size() const;
    bool SetSize(std::uint64_t size);
    bool Close();

private:
    int fd_ = -1;
};

} // namespace tw::platform
