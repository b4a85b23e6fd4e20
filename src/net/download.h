#pragma once
// Downloads into files of their own. Every download (an add-on, a patch, the update program) is
// written into a folder made for it alone below the temporary folder, into a file created there
// exclusively: no other download, whatever name it was given, can open that file, and once its
// writer has closed it nothing in the launcher writes it again. What was checked there is what is
// used: it is unpacked or started from there, or moved into place and found to be the same file.
#include "net/http.h"
#include "net/service.h"
#include "platform/error.h"
#include "platform/filestream.h"
#include "platform/fs.h"

#include <cerrno>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace tw {

// The per-download folders below the temporary folder are named this, then a unique part.
inline constexpr char kDownloadFolderPrefix[] = "download-";
// What a download may bring when its list names no size (an add-on, the update program of a
// service that does not say).
inline constexpr std::uint64_t kUnsizedDownloadCap = std::uint64_t{512} << 20;
// The largest size a list may name; more is no file any disk holds.
inline constexpr std::uint64_t kMaxListedSize = std::uint64_t{1} << 50;

// A download the disk has no room for: Missing() bytes more are needed.
class NoRoomError : public SystemError {
public:
    NoRoomError(const std::string& message, std::uint64_t missing) : SystemError(message, ENOSPC), missing_(missing) {}
    std::uint64_t Missing() const { return missing_; }

private:
    std::uint64_t missing_;
};

// Raises NoRoomError unless the file system of `folder` has `bytes` free (nothing is raised when
// that cannot be told).
void CheckRoom(const std::string& folder, std::uint64_t bytes);

// The status text for a download that does not fit: how much room is missing, in whole MB
// rounded up.
std::string NoRoomText(std::uint64_t missing);

// The size a list entry names for its file: the member "size", a whole number of bytes from 0 to
// kMaxListedSize. None when it is missing or null and not `required`; any other value (a text, a
// fraction, a negative or too large number) raises AnswerError.
std::optional<std::uint64_t> ListedSize(const TAnswer& entry, bool required);

// The sizes of one list by file name (separators and, where the file system ignores it, case
// folded): a list that names one file twice with two sizes raises AnswerError.
class ListedSizes {
public:
    void Add(const std::string& filename, std::optional<std::uint64_t> size);

private:
    std::map<std::string, std::uint64_t> sizes_;
};

// How much one download may bring.
struct DownloadBound {
    std::uint64_t limit = kUnsizedDownloadCap; // more fails, and the transfer stops there
    bool exact = false;                        // less fails too
    // The listed size when there is one, else the cap for downloads without one.
    static DownloadBound Of(std::optional<std::uint64_t> size) {
        return size ? DownloadBound{*size, true} : DownloadBound{};
    }
};

class FreshDownload {
public:
    // Makes the download's own folder below `tempFolder` (which must exist) and creates the
    // empty file `name` (a plain file name) in it. Raises SystemError.
    FreshDownload(const std::string& tempFolder, const std::string& name);
    // Deletes the folder with whatever it still holds.
    ~FreshDownload();
    FreshDownload(const FreshDownload&) = delete;
    FreshDownload& operator=(const FreshDownload&) = delete;

    const std::string& Path() const { return path_; }

    // GETs `url` into the file, held to `bound` while it arrives; an exact size is first checked
    // against the disk's free space (NoRoomError). The file is closed when this returns; on any
    // failure it is deleted and the error raised (HttpError, answered, for a wrong size).
    void Get(THttpClient& http, const std::string& url, DownloadBound bound);

    // The digest text of the closed file (`known` when it was digested already, unchanged since);
    // the file as it is now is what IsAt later compares with.
    std::string Md5(std::optional<std::string> known = {});
    // True when the file at `target` is the one digested: the same file moved there, or, when it
    // was copied, bytes of the same digest.
    bool IsAt(const std::string& target) const;
    // Deletes the file at once (it failed its check).
    void Discard();

private:
    std::string folder_, path_;
    platform::FileStream file_;
    std::string md5_;
    platform::FileStamp stamp_;
};

} // namespace tw
