#pragma once
// A read-only view of a whole file. Opening never raises; the caller maps the failure codes onto
// its own messages.
#include <cstddef>
#include <cstdint>
#include <string>

namespace tw::platform {

class ReadOnlyFile {
public:
    ReadOnlyFile() = default;
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    ~ReadOnlyFile();

    // Opens for reading with a sequential-scan hint. False with errno on failure.
    bool Open(const std::string& path);
    // Size of the open file, or -1 with errno on failure.
    std::int64_t Size() const;
    // Reads up to `size` bytes; returns the count (0 at the end), or -1 with errno.
    std::int64_t Read(void* buffer, std::size_t size);
    void Close();

private:
    int fd_ = -1;
    friend class FileView;
};

class FileView {
public:
    FileView() = default;
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;
    ~FileView();

    // Maps `length` bytes of an open file read-only. False with errno on failure.
    bool Map(const ReadOnlyFile& file, std::size_t length);
    const unsigned char* Data() const { return static_cast<const unsigned char*>(data_); }
    std::size_t Length() const { return length_; }
    void Unmap();

private:
    void* data_ = nullptr;
    std::size_t length_ = 0;
};

} // namespace tw::platform
