#include "net/download.h"

#include "base/helpers.h"
#include "base/safePath.h"
#include "base/text.h"
#include "platform/process.h"

#include <atomic>
#include <random>

namespace tw {

namespace {

std::atomic<unsigned> gDownloadSerial{0};

// A part no earlier run, other process or other download of this one has used: the process id,
// a serial, and a random number for a process id used again.
std::string UniquePart() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    return std::to_string(platform::CurrentProcessId()) + "-" + std::to_string(++gDownloadSerial) + "-" +
           std::to_string(random() % 1'000'000'000);
}

} // namespace

void CheckRoom(const std::string& folder, std::uint64_t bytes) {
    const std::int64_t free = platform::FreeSpace(folder);
    if (free >= 0 && static_cast<std::uint64_t>(free) < bytes)
        throw NoRoomError("There is no room for " + std::to_string(bytes) + " bytes in \"" + folder + "\", " +
                              std::to_string(free) + " are free",
                          bytes - static_cast<std::uint64_t>(free));
}

std::string NoRoomText(std::uint64_t missing) {
    const std::uint64_t mb = missing / (1u << 20) + (missing % (1u << 20) != 0);
    return "磁盘空间不足，还需要 " + std::to_string(mb) + " MB 可用空间，请清理磁盘后重新启动登录器";
}

std::optional<std::uint64_t> ListedSize(const TAnswer& entry, bool required) {
    const nlohmann::json& json = entry.Json();
    const auto it = json.find("size");
    if (it == json.end() || it->is_null()) {
        if (required)
            throw AnswerError("A list entry names no size");
        return std::nullopt;
    }
    // A size is a number: a text, a fraction or a sign would each be read some other way by
    // somebody.
    if (!it->is_number_unsigned() || it->get<std::uint64_t>() > kMaxListedSize)
        throw AnswerError("A list entry names the size " + it->dump() + ", no whole number of bytes up to " +
                          std::to_string(kMaxListedSize));
    return it->get<std::uint64_t>();
}

void ListedSizes::Add(const std::string& filename, std::optional<std::uint64_t> size) {
    if (!size)
        return;
    std::string key = ToNativeSeparators(filename);
    if (platform::kNamesIgnoreCase)
        for (char& c : key)
            c = AsciiLower(c);
    const auto [it, added] = sizes_.emplace(key, *size);
    if (!added && it->second != *size)
        throw AnswerError("The list names \"" + filename + "\" twice, with the sizes " + std::to_string(it->second) +
                          " and " + std::to_string(*size));
}

FreshDownload::FreshDownload(const std::string& tempFolder, const std::string& name) {
    if (!IsPlainFileName(name))
        throw Error("The download name \"" + name + "\" is not a plain file name");
    // Making a folder is exclusive: one that exists already (left by a run that was cut off, or
    // put there by anybody) is never taken over.
    for (int attempt = 0;; ++attempt) {
        folder_ = tempFolder + kDownloadFolderPrefix + UniquePart();
        if (platform::CreateFolder(folder_))
            break;
        if (errno != EEXIST || attempt >= 100) {
            const int err = errno;
            folder_.clear();
            RaiseSystemError("Cannot create the folder", tempFolder + kDownloadFolderPrefix, err);
        }
    }
    path_ = folder_ + platform::kPathSeparator + name;
    if (!file_.CreateNew(path_)) {
        const int err = errno;
        platform::RemoveTree(folder_);
        RaiseSystemError("Cannot create file", path_, err);
    }
}

FreshDownload::~FreshDownload() {
    file_.Close();
    if (!folder_.empty())
        platform::RemoveTree(folder_);
}

void FreshDownload::Get(THttpClient& http, const std::string& url, DownloadBound bound) {
    std::uint64_t received = 0;
    try {
        if (!file_.IsOpen())
            throw Error("The download \"" + path_ + "\" was fetched already");
        if (bound.exact)
            CheckRoom(folder_, bound.limit);
        http.Get(url, [&](const char* data, std::size_t size) {
            // Stopped where the bound is, not after the server has had its say.
            if (size > bound.limit - received)
                throw HttpError("GET \"" + url + "\": the file is longer than its " + std::to_string(bound.limit) +
                                    " bytes",
                                true);
            if (file_.Write(data, size) != static_cast<std::int64_t>(size))
                RaiseSystemError("Cannot write file", path_, errno);
            received += size;
        });
        if (bound.exact && received != bound.limit)
            throw HttpError("GET \"" + url + "\": the file brought " + std::to_string(received) + " of its " +
                                std::to_string(bound.limit) + " bytes",
                            true);
        if (!file_.Close())
            RaiseSystemError("Cannot write file", path_, errno);
    } catch (...) {
        Discard();
        throw;
    }
}

std::string FreshDownload::Md5(std::optional<std::string> known) {
    if (file_.IsOpen())
        throw Error("The download \"" + path_ + "\" is digested before it was fetched");
    md5_ = known ? *known : Md5Hex(FileMd5(path_));
    if (!platform::GetFileStamp(path_, stamp_))
        stamp_ = {};
    return md5_;
}

bool FreshDownload::IsAt(const std::string& target) const {
    if (md5_.empty() || stamp_.size < 0)
        return false;
    platform::FileStamp there;
    if (!platform::GetFileStamp(target, there))
        return false;
    // A rename keeps the file and its times but, on most systems, changes its inode change time.
    if (there.inode == stamp_.inode && there.device == stamp_.device && there.size == stamp_.size &&
        there.modifiedNs == stamp_.modifiedNs)
        return true;
    return there.size == stamp_.size && Md5Hex(FileMd5(target)) == md5_;
}

void FreshDownload::Discard() {
    file_.Close();
    if (!path_.empty())
        platform::DeleteFile(path_);
}

} // namespace tw
