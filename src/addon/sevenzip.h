#pragma once
// The archive reader: unpacks every file of one archive into one folder through 7-Zip's format
// library, loaded at run time. One reader serves one unpack on one thread:
//   auto reader = CreateZipReader(Default7zLibraryPaths(programFolder));
//   reader->OpenFile(path); reader->SetProgressCallback(sender, cb); reader->ExtractTo(folder);
// and dropping the last reference releases the archive object, the file and the library, in that
// order. Every failure is raised as tw::Error.
#include "addon/sevenzip_interfaces.h"
#include "platform/filestream.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace tw {

// Progress of an unpack, on the unpacking thread: once with total = true and the unpacked size
// of all items, then with total = false and the bytes unpacked so far. The result goes back to
// 7-Zip unchanged; anything but S_OK stops the run.
using T7zProgressCallback = std::function<z7::HRESULT(void* sender, bool total, std::uint64_t value)>;
// Asked for an encrypted item's password; false when there is none.
using T7zPasswordCallback = std::function<bool(void* sender, std::string& password)>;

// Candidate files for the library, in search order: the program folder's, then the system's.
std::vector<std::string> Default7zLibraryPaths(const std::string& programFolder);

// An archive item's path made relative to the target folder with this system's separators, both
// '/' and '\\' counting as separators in the archive. False for a path that could leave the
// folder: absolute, with a drive letter, or with a ".." part. Empty and "." parts are dropped;
// the result may be empty (the root itself).
bool SafeItemPath(std::string_view archivePath, std::string& relative);

// The reader's own interface. Reference-counted like 7-Zip's objects.
class I7zInArchive : public z7::IUnknown {
public:
    // The format handler to create (the ZIP handler by default for CreateZipReader).
    virtual void SetClassId(const z7::GUID& classId) = 0;
    virtual void OpenFile(const std::string& path) = 0;
    virtual void SetProgressCallback(void* sender, T7zProgressCallback callback) = 0;
    // The Windows code page of names that carry no Unicode mark (the system's ANSI code page
    // unless set otherwise).
    virtual void SetNameCodePage(std::uint32_t codePage) = 0;
    virtual std::uint32_t NumberOfItems() = 0;
    // The item's path in UTF-8, separators as stored. A name marked as UTF-8, or with a Unicode
    // path field, is taken as such; a name made on Unix is UTF-8 when it is valid UTF-8; another
    // valid UTF-8 name is decoded with the name code page; a name that is not valid UTF-8 is
    // decoded as GBK (936) when it is GBK, else with the name code page. Raises tw::Error for a
    // name that does not decode.
    virtual std::string ItemPath(std::uint32_t index) = 0;
    virtual bool ItemIsFolder(std::uint32_t index) = 0;
    // Unpacks all items into `folder` (created when missing). Refuses the whole archive, before
    // anything is written, when any item's path could leave the folder, does not decode, or
    // names the same file as another item (or a file where another item needs a folder).
    // Per-item results (damaged data, a missing password) do not fail the run; the item keeps
    // what was written.
    virtual void ExtractTo(const std::string& folder) = 0;

protected:
    ~I7zInArchive() = default;
};

// The loaded library. Loading tries the first existing file of `libraryPaths`.
class T7zPlugin {
public:
    explicit T7zPlugin(const std::vector<std::string>& libraryPaths);
    T7zPlugin(const T7zPlugin&) = delete;
    T7zPlugin& operator=(const T7zPlugin&) = delete;
    virtual ~T7zPlugin();
    const std::string& LibraryPath() const { return FLibraryPath; }

protected:
    platform::LibraryHandle FHandle = nullptr;
    z7::CreateObjectFunc FCreateObject = nullptr;
    z7::SysAllocStringFunc FSysAllocString = nullptr;
    z7::VariantClearFunc FVariantClear = nullptr;
    std::string FLibraryPath;
};

// A format library: adds the handler property export and the handler to create.
class T7zArchive : public T7zPlugin {
public:
    explicit T7zArchive(const std::vector<std::string>& libraryPaths);

protected:
    z7::GetHandlerPropertyFunc FGetHandlerProperty = nullptr;
    z7::GUID FClassId{};
};

// Adapts a file stream to 7-Zip's stream interfaces.
class T7zStream final : public z7::IInStream,
                        public z7::IOutStream,
                        public z7::IStreamGetSize,
                        public z7::IOutStreamFinish {
public:
    enum class TOwnership { Owned, Referenced };
    T7zStream(platform::FileStream* stream, TOwnership ownership) : FStream(stream), FOwnership(ownership) {}

    z7::HRESULT TW_COM_CALL QueryInterface(const z7::GUID& iid, void** object) override;
    std::uint32_t TW_COM_CALL AddRef() override;
    std::uint32_t TW_COM_CALL Release() override;
    z7::HRESULT TW_COM_CALL Read(void* data, std::uint32_t size, std::uint32_t* processed) override;
    z7::HRESULT TW_COM_CALL Write(const void* data, std::uint32_t size, std::uint32_t* processed) override;
    z7::HRESULT TW_COM_CALL Seek(std::int64_t offset, std::uint32_t origin, std::uint64_t* newPosition) override;
    z7::HRESULT TW_COM_CALL SetSize(std::uint64_t newSize) override;
    z7::HRESULT TW_COM_CALL GetSize(std::uint64_t* size) override;
    z7::HRESULT TW_COM_CALL OutStreamFinish() override;

private:
    ~T7zStream();
    platform::FileStream* FStream;
    TOwnership FOwnership;
    std::atomic<std::uint32_t> FRefCount{0};
};

class T7zInArchive final : public T7zArchive,
                           public I7zInArchive,
                           public z7::IArchiveOpenCallback,
                           public z7::IArchiveExtractCallback,
                           public z7::ICryptoGetTextPassword,
                           public z7::IArchiveOpenVolumeCallback,
                           public z7::IArchiveOpenSetSubArchiveName {
public:
    explicit T7zInArchive(const std::vector<std::string>& libraryPaths);

    // I7zInArchive
    z7::HRESULT TW_COM_CALL QueryInterface(const z7::GUID& iid, void** object) override;
    std::uint32_t TW_COM_CALL AddRef() override;
    std::uint32_t TW_COM_CALL Release() override;
    void SetClassId(const z7::GUID& classId) override;
    void OpenFile(const std::string& path) override;
    void SetProgressCallback(void* sender, T7zProgressCallback callback) override;
    void SetNameCodePage(std::uint32_t codePage) override;
    std::uint32_t NumberOfItems() override;
    std::string ItemPath(std::uint32_t index) override;
    bool ItemIsFolder(std::uint32_t index) override;
    void ExtractTo(const std::string& folder) override;

    // IArchiveOpenCallback
    z7::HRESULT TW_COM_CALL SetTotal(const std::uint64_t* files, const std::uint64_t* bytes) override;
    z7::HRESULT TW_COM_CALL SetCompleted(const std::uint64_t* files, const std::uint64_t* bytes) override;
    // IProgress, IArchiveExtractCallback
    z7::HRESULT TW_COM_CALL SetTotal(std::uint64_t total) override;
    z7::HRESULT TW_COM_CALL SetCompleted(const std::uint64_t* completed) override;
    z7::HRESULT TW_COM_CALL GetStream(std::uint32_t index, z7::ISequentialOutStream** stream,
                                      std::int32_t askExtractMode) override;
    z7::HRESULT TW_COM_CALL PrepareOperation(std::int32_t askExtractMode) override;
    z7::HRESULT TW_COM_CALL SetOperationResult(std::int32_t result) override;
    // ICryptoGetTextPassword
    z7::HRESULT TW_COM_CALL CryptoGetTextPassword(z7::BSTR* password) override;
    // IArchiveOpenVolumeCallback
    z7::HRESULT TW_COM_CALL GetProperty(z7::PROPID propId, z7::PROPVARIANT* value) override;
    z7::HRESULT TW_COM_CALL GetStream(const wchar_t* name, z7::IInStream** stream) override;
    // IArchiveOpenSetSubArchiveName
    z7::HRESULT TW_COM_CALL SetSubArchiveName(const wchar_t* name) override;

private:
    ~T7zInArchive() override;
    struct TItem {
        std::string folder; // relative, ends in a separator, or empty
        std::string path;   // relative
        bool isFolder = false;
    };
    void CreateInArchive();
    void AskForStoredNames();
    z7::IInArchive& Opened();
    std::wstring WideProperty(std::uint32_t index, z7::PROPID propId);
    std::vector<TItem> PlanItems();
    bool EnsureItemFolder(const std::string& relativeFolder);

    std::atomic<std::uint32_t> FRefCount{0};
    z7::ComPtr<z7::IInArchive> FInArchive;
    std::string FArchivePath;
    bool FOpened = false;
    std::uint32_t FNameCodePage;
    bool FStoredNames = false; // the library hands back the stored bytes of unmarked names
    std::uint32_t FItemCount = 0;
    std::string FTarget; // set only while ExtractTo runs
    std::vector<TItem> FItems;
    std::unordered_set<std::string> FMadeFolders;
    void* FProgressSender = nullptr;
    T7zProgressCallback FProgress;
    bool FPasswordIsDefined = false;
    std::string FPassword;
    void* FPasswordSender = nullptr;
    T7zPasswordCallback FPasswordCallback;
    std::string FSubArchiveName;
    std::exception_ptr FCallbackError; // raised by a callback inside a 7-Zip call
};

// Loads the library from `libraryPaths` (the first that exists) and selects the ZIP handler.
z7::ComPtr<I7zInArchive> CreateZipReader(const std::vector<std::string>& libraryPaths);

} // namespace tw
