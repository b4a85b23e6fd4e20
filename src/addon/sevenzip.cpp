#include "addon/sevenzip.h"

#include "base/helpers.h"
#include "base/safePath.h"
#include "base/text.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/shell.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace tw {

using namespace z7;

namespace {

// Largest distance from the file's start at which Open still looks for the archive.
constexpr std::uint64_t kMaxCheckStartPosition = 1'048'576;
constexpr std::uint32_t kAllItems = 0xFFFFFFFFu;

// The end of every QueryInterface: a found interface is handed out with a reference added.
template <class T> HRESULT HandOut(T* self, void* found) {
    if (!found)
        return E_NOINTERFACE;
    self->AddRef();
    return S_OK;
}

// Drops one reference; `free` runs with the last one.
template <class Free> std::uint32_t ReleaseRef(std::atomic<std::uint32_t>& count, Free free) {
    const std::uint32_t left = --count;
    if (left == 0)
        free();
    return left;
}

// wchar_t is UTF-16 on Windows and UTF-32 elsewhere; unpaired surrogates become U+FFFD.
std::string WideToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<char32_t>(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
                auto low = static_cast<char32_t>(text[i + 1]);
                if (low >= 0xDC00 && low < 0xE000) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        }
        if ((c >= 0xD800 && c < 0xE000) || c > 0x10FFFF)
            c = 0xFFFD;
        AppendUtf8(out, c);
    }
    return out;
}

std::wstring Utf8ToWide(std::string_view text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size();) {
        auto b = static_cast<unsigned char>(text[i]);
        char32_t c;
        std::size_t n;
        if (b < 0x80) {
            c = b;
            n = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            n = 3;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            n = 4;
        } else {
            c = 0xFFFD;
            n = 1;
        }
        if (n > 1) {
            if (i + n > text.size()) {
                c = 0xFFFD;
                n = text.size() - i;
            } else {
                for (std::size_t k = 1; k < n; ++k)
                    c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
            }
        }
        i += n;
        if constexpr (sizeof(wchar_t) == 2) {
            if (c >= 0x10000) {
                c -= 0x10000;
                out += static_cast<wchar_t>(0xD800 + (c >> 10));
                out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
                continue;
            }
        }
        out += static_cast<wchar_t>(c);
    }
    return out;
}

// Asked for UTF-8 names ("cp" = 65001), the ZIP handler decodes a name without a Unicode mark
// as UTF-8 and keeps every byte that is not part of valid UTF-8 as the point U+EF00 + byte (a
// genuine U+EF80..U+EFFF comes back as three such points). The stored bytes can thus be had back.
constexpr char32_t kRawByteBase = 0xEF00;

// The code page of names that are not UTF-8, before the system's: GBK.
constexpr unsigned kLegacyNameCodePage = 936;

// True when every byte above ASCII is part of a GBK pair (lead 81..FE, trail 40..7E or 80..FE;
// 80 alone is the euro sign). Checked before decoding: some decoders (Wine's) take a lead byte
// with any next byte, which could swallow a separator and move the item to another folder.
bool IsGbkShaped(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80 || c == 0x80)
            continue;
        if (c == 0xFF || i + 1 == bytes.size())
            return false;
        const auto trail = static_cast<unsigned char>(bytes[++i]);
        if (trail < 0x40 || trail == 0x7F || trail == 0xFF)
            return false;
    }
    return true;
}

// 7-Zip on Windows hands a backslash inside a name made on Unix back as this private character
// (so that it cannot act as a separator there); here both count as separators on every system.
constexpr wchar_t kBackslashStandIn = 0xF05C;

std::wstring WithBackslashes(std::wstring name) {
    std::replace(name.begin(), name.end(), kBackslashStandIn, L'\\');
    return name;
}

bool IsRawBytePoint(wchar_t c) {
    return static_cast<char32_t>(c) >= kRawByteBase + 0x80 && static_cast<char32_t>(c) <= kRawByteBase + 0xFF;
}

bool HasRawBytePoints(std::wstring_view name) {
    return std::any_of(name.begin(), name.end(), IsRawBytePoint);
}

std::string StoredBytes(std::wstring_view name) {
    std::string bytes;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && !IsRawBytePoint(name[i]))
            continue;
        bytes += WideToUtf8(name.substr(start, i - start));
        if (i < name.size())
            bytes += static_cast<char>(static_cast<char32_t>(name[i]) - kRawByteBase);
        start = i + 1;
    }
    return bytes;
}

// A name for messages: printable ASCII and valid UTF-8 as they are, other bytes as \xNN.
std::string Printable(std::wstring_view name) {
    std::string out;
    for (wchar_t c : name) {
        if (IsRawBytePoint(c) || static_cast<char32_t>(c) < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(static_cast<char32_t>(c) & 0xFF));
            out += hex;
        } else {
            out += WideToUtf8(std::wstring_view(&c, 1));
        }
    }
    return out;
}

// What the ZIP handler's characteristics say about a name: the header's UTF-8 flag, and a
// Unicode path field among the extras that decide the name (the central header's when there is
// one). The text reads "[Local <extras> [: Central]] <extras> [: <header flags>]", word by word.
struct TNameMarks {
    bool utf8Flag = false;
    bool unicodePathField = false;
};

TNameMarks ReadNameMarks(std::wstring_view characts) {
    std::vector<std::wstring_view> words;
    for (std::size_t start = 0; start < characts.size();) {
        std::size_t end = characts.find(L' ', start);
        if (end == std::wstring_view::npos)
            end = characts.size();
        if (end > start)
            words.push_back(characts.substr(start, end - start));
        start = end + 1;
    }
    TNameMarks marks;
    const bool local = !words.empty() && words.front() == L"Local";
    const bool central = std::find(words.begin(), words.end(), L"Central") != words.end();
    bool deciding = !local || !central;
    for (std::size_t i = local ? 1 : 0; i < words.size(); ++i) {
        if (words[i] == L":")
            deciding = false;
        else if (words[i] == L"Central")
            deciding = true;
        else if (words[i] == L"UTF8")
            marks.utf8Flag = true;
        else if (deciding && words[i] == L"up")
            marks.unicodePathField = true;
    }
    return marks;
}

// A path as Windows compares names: without regard to the case of letters (ASCII ones here).
std::string CaseFolded(std::string path) {
    for (char& c : path)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return path;
}

bool IsArchiveSeparator(char c) {
    return c == '/' || c == '\\';
}

bool IsAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

std::string ResultText(HRESULT result) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(result));
    return platform::ResultCodeText(result) + " (" + code + ")";
}

// Runs a callback body for 7-Zip: nothing may unwind through the library, so an error is kept
// for the reader to raise once the library has returned, and 7-Zip is told to stop.
template <class F> HRESULT Guarded(std::exception_ptr& keep, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        if (!keep)
            keep = std::current_exception();
        return E_ABORT;
    }
}

} // namespace

std::vector<std::string> Default7zLibraryPaths(const std::string& programFolder) {
    std::vector<std::string> paths{programFolder + platform::k7zLibraryName};
    for (const auto& folder : platform::System7zLibraryFolders())
        paths.push_back(folder + platform::k7zLibraryName);
    return paths;
}

bool SafeItemPath(std::string_view archivePath, std::string& relative) {
    relative.clear();
    if (archivePath.empty())
        return true;
    if (IsArchiveSeparator(archivePath.front()))
        return false; // absolute, or a Windows network path
    if (archivePath.size() >= 2 && IsAsciiLetter(archivePath[0]) && archivePath[1] == ':')
        return false; // a drive letter, with or without a separator after it
    std::size_t start = 0;
    while (start <= archivePath.size()) {
        std::size_t end = start;
        while (end < archivePath.size() && !IsArchiveSeparator(archivePath[end]))
            ++end;
        std::string_view part = archivePath.substr(start, end - start);
        if (part == ".." || IsNameWindowsRefuses(part))
            return false;
        if (!part.empty() && part != ".") {
            if (!relative.empty())
                relative += platform::kPathSeparator;
            relative.append(part);
        }
        start = end + 1;
    }
    return true;
}

// ---- T7zPlugin, T7zArchive ----

T7zPlugin::T7zPlugin(const std::vector<std::string>& libraryPaths) {
    std::string name = libraryPaths.empty() ? platform::k7zLibraryName : libraryPaths.front();
    if (auto slash = name.find_last_of("/\\"); slash != std::string::npos)
        name.erase(0, slash + 1);
    for (const auto& path : libraryPaths) {
        if (platform::FileExists(path)) {
            FLibraryPath = path;
            break;
        }
    }
    if (FLibraryPath.empty()) {
        std::string looked;
        for (const auto& path : libraryPaths)
            looked += (looked.empty() ? "" : ", ") + path;
        throw Error("Error loading library " + name + ": not found (looked for " + looked + ")");
    }
    std::string why;
    FHandle = platform::LoadSharedLibrary(FLibraryPath, why);
    if (!FHandle)
        throw Error("Error loading library " + FLibraryPath + ": " + why);
    try {
        FCreateObject = reinterpret_cast<CreateObjectFunc>(platform::LibrarySymbol(FHandle, "CreateObject"));
        if (!FCreateObject)
            throw Error(FLibraryPath + " is not a 7z library");
        FSysAllocString = reinterpret_cast<SysAllocStringFunc>(platform::ComHelperSymbol(FHandle, "SysAllocString"));
        FVariantClear = reinterpret_cast<VariantClearFunc>(platform::ComHelperSymbol(FHandle, "VariantClear"));
        if (!FSysAllocString || !FVariantClear)
            throw Error(FLibraryPath + " is not a 7z library (it lacks SysAllocString or VariantClear)");

        // Our interface declarations have no virtual destructor in IUnknown. A library built the
        // other way puts two more slots after Release, and every call would land on the wrong
        // method, so such a library is refused here rather than crashing later.
        auto getModuleProp = reinterpret_cast<GetModulePropFunc>(platform::LibrarySymbol(FHandle, "GetModuleProp"));
        bool layoutMatches = !platform::kLegacyUnknownHasVirtualDestructor;
        std::string reported = "does not report its interface layout";
        if (getModuleProp) {
            PROPVARIANT prop{};
            HRESULT hr = getModuleProp(kModulePropInterfaceType, &prop);
            if (hr == S_OK && prop.vt == VT_UI4) {
                layoutMatches = prop.ulVal == kUnknownWithoutVirtualDestructor;
                reported = "reports interface type " + std::to_string(prop.ulVal);
            } else if (hr == S_OK && prop.vt != VT_EMPTY) {
                layoutMatches = false;
                reported = "reports an interface type of variant type " + std::to_string(prop.vt);
            }
            FVariantClear(&prop);
        }
        if (!layoutMatches)
            throw Error(FLibraryPath + " uses an interface layout this program cannot drive (it " + reported +
                        "; 7-Zip 23 or newer without a virtual destructor in IUnknown is needed)");
    } catch (...) {
        platform::UnloadSharedLibrary(FHandle);
        FHandle = nullptr;
        throw;
    }
}

T7zPlugin::~T7zPlugin() {
    platform::UnloadSharedLibrary(FHandle);
}

T7zArchive::T7zArchive(const std::vector<std::string>& libraryPaths) : T7zPlugin(libraryPaths) {
    FGetHandlerProperty =
        reinterpret_cast<GetHandlerPropertyFunc>(platform::LibrarySymbol(FHandle, "GetHandlerProperty"));
    if (!FGetHandlerProperty)
        throw Error(FLibraryPath + " is not a Format library"); // the base's destructor unloads
    FClassId = GUID{};
}

// ---- T7zStream ----

T7zStream::~T7zStream() {
    if (FOwnership == TOwnership::Owned)
        delete FStream;
}

HRESULT TW_COM_CALL T7zStream::QueryInterface(const GUID& iid, void** object) {
    if (!object)
        return E_INVALIDARG;
    if (iid == IID_IUnknown || iid == IID_ISequentialInStream || iid == IID_IInStream)
        *object = static_cast<IInStream*>(this);
    else if (iid == IID_ISequentialOutStream || iid == IID_IOutStream)
        *object = static_cast<IOutStream*>(this);
    else if (iid == IID_IStreamGetSize)
        *object = static_cast<IStreamGetSize*>(this);
    else if (iid == IID_IOutStreamFinish)
        *object = static_cast<IOutStreamFinish*>(this);
    else
        *object = nullptr;
    return HandOut(this, *object);
}

std::uint32_t TW_COM_CALL T7zStream::AddRef() {
    return ++FRefCount;
}

std::uint32_t TW_COM_CALL T7zStream::Release() {
    return ReleaseRef(FRefCount, [this] { delete this; });
}

HRESULT TW_COM_CALL T7zStream::Read(void* data, std::uint32_t size, std::uint32_t* processed) {
    if (processed)
        *processed = 0;
    std::int64_t n = FStream->Read(data, size);
    if (n < 0)
        return platform::ResultFromErrno(errno);
    if (processed)
        *processed = static_cast<std::uint32_t>(n);
    return S_OK;
}

HRESULT TW_COM_CALL T7zStream::Write(const void* data, std::uint32_t size, std::uint32_t* processed) {
    if (processed)
        *processed = 0;
    std::int64_t n = FStream->Write(data, size);
    if (n < 0)
        return platform::ResultFromErrno(errno);
    if (processed)
        *processed = static_cast<std::uint32_t>(n);
    // A short write means the disk refused the rest; 7-Zip must hear of it.
    return static_cast<std::uint64_t>(n) == size ? S_OK : platform::ResultFromErrno(errno ? errno : ENOSPC);
}

HRESULT TW_COM_CALL T7zStream::Seek(std::int64_t offset, std::uint32_t origin, std::uint64_t* newPosition) {
    std::int64_t pos = FStream->Seek(offset, static_cast<int>(origin));
    if (pos < 0)
        return platform::ResultFromErrno(errno);
    if (newPosition)
        *newPosition = static_cast<std::uint64_t>(pos);
    return S_OK;
}

HRESULT TW_COM_CALL T7zStream::SetSize(std::uint64_t newSize) {
    return FStream->SetSize(newSize) ? S_OK : platform::ResultFromErrno(errno);
}

HRESULT TW_COM_CALL T7zStream::GetSize(std::uint64_t* size) {
    std::int64_t n = FStream->Size();
    if (n < 0)
        return platform::ResultFromErrno(errno);
    if (size)
        *size = static_cast<std::uint64_t>(n);
    return S_OK;
}

HRESULT TW_COM_CALL T7zStream::OutStreamFinish() {
    return S_OK;
}

// ---- T7zInArchive ----

T7zInArchive::T7zInArchive(const std::vector<std::string>& libraryPaths)
    : T7zArchive(libraryPaths), FNameCodePage(platform::AnsiCodePage()) {}

T7zInArchive::~T7zInArchive() {
    // The archive object, with the stream it holds, goes before the base class unloads the library.
    if (FInArchive && FOpened)
        FInArchive->Close();
    FInArchive.Reset();
}

HRESULT TW_COM_CALL T7zInArchive::QueryInterface(const GUID& iid, void** object) {
    if (!object)
        return E_INVALIDARG;
    if (iid == IID_IUnknown || iid == IID_IArchiveOpenCallback)
        *object = static_cast<IArchiveOpenCallback*>(this);
    else if (iid == IID_IProgress || iid == IID_IArchiveExtractCallback)
        *object = static_cast<IArchiveExtractCallback*>(this);
    else if (iid == IID_ICryptoGetTextPassword)
        *object = static_cast<ICryptoGetTextPassword*>(this);
    else if (iid == IID_IArchiveOpenVolumeCallback)
        *object = static_cast<IArchiveOpenVolumeCallback*>(this);
    else if (iid == IID_IArchiveOpenSetSubArchiveName)
        *object = static_cast<IArchiveOpenSetSubArchiveName*>(this);
    else
        *object = nullptr;
    return HandOut(this, *object);
}

std::uint32_t TW_COM_CALL T7zInArchive::AddRef() {
    return ++FRefCount;
}

std::uint32_t TW_COM_CALL T7zInArchive::Release() {
    return ReleaseRef(FRefCount, [this] { delete this; });
}

void T7zInArchive::SetClassId(const GUID& classId) {
    FClassId = classId;
}

void T7zInArchive::SetProgressCallback(void* sender, T7zProgressCallback callback) {
    FProgressSender = sender;
    FProgress = std::move(callback);
}

void T7zInArchive::SetNameCodePage(std::uint32_t codePage) {
    FNameCodePage = codePage;
}

// The ZIP handler takes a code page for unmarked names, but this build decodes them through the
// C library's locale whatever number it is given (only UTF-8 is honoured), and a forced code
// page would also drop its rule that names made on Unix are UTF-8. So it is asked for UTF-8,
// which hands back the stored bytes of every name (see kRawByteBase) whatever the process's
// locale, and the decoding with the name code page is done here.
void T7zInArchive::AskForStoredNames() {
    FStoredNames = false;
    ComPtr<ISetProperties> settings;
    if (FInArchive->QueryInterface(IID_ISetProperties, reinterpret_cast<void**>(settings.Put())) != S_OK || !settings)
        return;
    const wchar_t* names[] = {L"cp"};
    PROPVARIANT value{};
    value.vt = VT_UI4;
    value.ulVal = kCodePageUtf8;
    FStoredNames = settings->SetProperties(names, &value, 1) == S_OK;
}

void T7zInArchive::CreateInArchive() {
    if (FInArchive)
        return;
    HRESULT hr = FCreateObject(&FClassId, &IID_IInArchive, reinterpret_cast<void**>(FInArchive.Put()));
    if (hr < 0 || !FInArchive) {
        FInArchive.Reset();
        throw Error(FLibraryPath + ": cannot create the archive handler: " + ResultText(hr));
    }
}

void T7zInArchive::OpenFile(const std::string& path) {
    auto file = std::make_unique<platform::FileStream>();
    if (!file->OpenRead(path))
        RaiseSystemError("Cannot open the archive", path, errno);
    ComPtr<IInStream> stream(new T7zStream(file.release(), T7zStream::TOwnership::Owned));
    CreateInArchive();
    if (FOpened) {
        FInArchive->Close();
        FOpened = false;
    }
    AskForStoredNames();
    FCallbackError = nullptr;
    HRESULT hr = FInArchive->Open(stream.Get(), &kMaxCheckStartPosition, static_cast<IArchiveOpenCallback*>(this));
    if (FCallbackError)
        std::rethrow_exception(std::exchange(FCallbackError, nullptr));
    if (hr == S_FALSE)
        throw Error("\"" + path + "\" is not an archive of the selected format");
    if (hr != S_OK)
        throw Error("Cannot open the archive \"" + path + "\": " + ResultText(hr));
    FOpened = true;
    FArchivePath = path;

    // A cut or damaged archive still opens, with the items that could be read; installing only
    // those and reporting success would be wrong, so the damage is an error here.
    PROPVARIANT flags{};
    if (FInArchive->GetArchiveProperty(kpidErrorFlags, &flags) == S_OK && flags.vt == VT_UI4 &&
        (flags.ulVal & ~kErrorFlagDataAfterEnd) != 0) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(flags.ulVal));
        FVariantClear(&flags);
        throw Error("The archive \"" + path + "\" is damaged or incomplete (error flags " + text + ")");
    }
    FVariantClear(&flags);

    if (FInArchive->GetNumberOfItems(&FItemCount) != S_OK)
        FItemCount = 0;
}

IInArchive& T7zInArchive::Opened() {
    if (!FOpened)
        throw Error("No archive is open");
    return *FInArchive.Get();
}

std::uint32_t T7zInArchive::NumberOfItems() {
    Opened();
    return FItemCount;
}

// The library does not check the index; asking beyond the end crashes, so it is checked here.
std::wstring T7zInArchive::WideProperty(std::uint32_t index, PROPID propId) {
    IInArchive& archive = Opened();
    if (index >= FItemCount)
        throw Error("Item " + std::to_string(index) + " is beyond the end of \"" + FArchivePath + "\"");
    PROPVARIANT prop{};
    HRESULT hr = archive.GetProperty(index, propId, &prop);
    std::wstring text;
    if (hr == S_OK && prop.vt == VT_BSTR && prop.bstrVal)
        text = prop.bstrVal;
    FVariantClear(&prop);
    if (hr != S_OK)
        throw Error("Cannot read item " + std::to_string(index) + " of \"" + FArchivePath + "\": " + ResultText(hr));
    return text;
}

std::string T7zInArchive::ItemPath(std::uint32_t index) {
    const std::wstring reported = WithBackslashes(WideProperty(index, kpidPath));
    if (!FStoredNames)
        return WideToUtf8(reported);
    const TNameMarks marks = ReadNameMarks(WideProperty(index, kpidCharacts));
    const bool stored = HasRawBytePoints(reported); // not valid UTF-8 as stored
    if (marks.utf8Flag) {
        if (stored)
            throw Error("The archive \"" + FArchivePath + "\" holds the item name \"" + Printable(reported) +
                        "\", which is marked as UTF-8 but is not");
        return WideToUtf8(reported);
    }
    if (!stored && (marks.unicodePathField || WideProperty(index, kpidHostOS) == L"Unix"))
        return WideToUtf8(reported);
    std::string name;
    if (!stored) {
        if (!platform::DecodeCodePage(StoredBytes(reported), FNameCodePage, name))
            throw Error("The archive \"" + FArchivePath + "\" holds the item name \"" + Printable(reported) +
                        "\", which is not text in code page " + std::to_string(FNameCodePage));
        return name;
    }
    // Bytes that are not UTF-8: the add-ons met here come from Chinese sites whatever the
    // player's own language, so GBK is tried before the system's code page.
    const std::string bytes = StoredBytes(reported);
    if ((IsGbkShaped(bytes) && platform::DecodeCodePage(bytes, kLegacyNameCodePage, name)) ||
        (FNameCodePage != kLegacyNameCodePage && platform::DecodeCodePage(bytes, FNameCodePage, name)))
        return name;
    std::string codePages = std::to_string(kLegacyNameCodePage);
    if (FNameCodePage != kLegacyNameCodePage)
        codePages += " or " + std::to_string(FNameCodePage);
    throw Error("The archive \"" + FArchivePath + "\" holds the item name \"" + Printable(reported) +
                "\", which is not text in code page " + codePages);
}

bool T7zInArchive::ItemIsFolder(std::uint32_t index) {
    IInArchive& archive = Opened();
    if (index >= FItemCount)
        throw Error("Item " + std::to_string(index) + " is beyond the end of \"" + FArchivePath + "\"");
    PROPVARIANT prop{};
    HRESULT hr = archive.GetProperty(index, kpidIsDir, &prop);
    bool folder = hr == S_OK && prop.vt == VT_BOOL && prop.boolVal != 0;
    FVariantClear(&prop);
    if (hr != S_OK)
        throw Error("Cannot read item " + std::to_string(index) + " of \"" + FArchivePath + "\": " + ResultText(hr));
    return folder;
}

std::vector<T7zInArchive::TItem> T7zInArchive::PlanItems() {
    std::vector<TItem> items(NumberOfItems());
    std::unordered_set<std::string> files;
    std::unordered_set<std::string> folders; // folder items and the parents of every item
    for (std::uint32_t i = 0; i < items.size(); ++i) {
        TItem& item = items[i];
        std::string stored = ItemPath(i);
        item.isFolder = ItemIsFolder(i);
        if (!SafeItemPath(stored, item.path))
            throw Error("The archive \"" + FArchivePath + "\" holds the item \"" + stored +
                        "\", which leads outside the target folder");
        if (item.path.empty() && !item.isFolder)
            throw Error("The archive \"" + FArchivePath + "\" holds a file item without a name");
        if (auto sep = item.path.rfind(platform::kPathSeparator); sep != std::string::npos)
            item.folder = item.path.substr(0, sep + 1);
        // Two names that differ as stored may be one after decoding, or on Windows, which ignores
        // case; neither may silently replace the other.
        const std::string key = CaseFolded(item.path), folderKey = CaseFolded(item.folder);
        if (!(item.isFolder ? folders : files).insert(key).second && !item.isFolder)
            throw Error("The archive \"" + FArchivePath + "\" holds more than one file \"" + item.path + "\"");
        for (std::size_t sep = folderKey.find(platform::kPathSeparator); sep != std::string::npos;
             sep = folderKey.find(platform::kPathSeparator, sep + 1))
            folders.insert(folderKey.substr(0, sep));
    }
    for (const auto& file : files)
        if (folders.count(file))
            throw Error("The archive \"" + FArchivePath + "\" holds \"" + file + "\" both as a file and as a folder");
    return items;
}

bool T7zInArchive::EnsureItemFolder(const std::string& relativeFolder) {
    if (relativeFolder.empty() || FMadeFolders.count(relativeFolder))
        return true;
    // Create each level below the target; the target's own parents were made by ExtractTo.
    for (std::size_t sep = relativeFolder.find(platform::kPathSeparator); sep != std::string::npos;
         sep = relativeFolder.find(platform::kPathSeparator, sep + 1)) {
        std::string level = relativeFolder.substr(0, sep + 1);
        if (FMadeFolders.count(level))
            continue;
        std::string full = FTarget + level.substr(0, level.size() - 1);
        if (!platform::CreateFolder(full) && !(errno == EEXIST && platform::FolderExists(full)))
            return false;
        FMadeFolders.insert(level);
    }
    return true;
}

void T7zInArchive::ExtractTo(const std::string& folder) {
    IInArchive& archive = Opened();
    std::vector<TItem> items = PlanItems();
    std::string target = folder;
    if (target.empty() || !platform::IsNativeSeparator(target.back()))
        target += platform::kPathSeparator;
    if (!EnsureFolder(target))
        RaiseSystemError("Cannot create the folder", target, errno);

    FTarget = target;
    FItems = std::move(items);
    FMadeFolders.clear();
    FCallbackError = nullptr;
    HRESULT hr = archive.Extract(nullptr, kAllItems, 0, static_cast<IArchiveExtractCallback*>(this));
    FTarget.clear();
    FItems.clear();
    FMadeFolders.clear();
    if (FCallbackError)
        std::rethrow_exception(std::exchange(FCallbackError, nullptr));
    if (hr != S_OK)
        throw Error("Cannot unpack \"" + FArchivePath + "\": " + ResultText(hr));
}

HRESULT TW_COM_CALL T7zInArchive::SetTotal(const std::uint64_t*, const std::uint64_t*) {
    return S_OK;
}

HRESULT TW_COM_CALL T7zInArchive::SetCompleted(const std::uint64_t*, const std::uint64_t*) {
    return S_OK;
}

HRESULT TW_COM_CALL T7zInArchive::SetTotal(std::uint64_t total) {
    return Guarded(FCallbackError, [&] { return FProgress ? FProgress(FProgressSender, true, total) : S_OK; });
}

HRESULT TW_COM_CALL T7zInArchive::SetCompleted(const std::uint64_t* completed) {
    return Guarded(FCallbackError,
                   [&] { return FProgress && completed ? FProgress(FProgressSender, false, *completed) : S_OK; });
}

HRESULT TW_COM_CALL T7zInArchive::GetStream(std::uint32_t index, ISequentialOutStream** stream,
                                            std::int32_t askExtractMode) {
    if (!stream)
        return E_INVALIDARG;
    *stream = nullptr;
    return Guarded(FCallbackError, [&]() -> HRESULT {
        if (askExtractMode != kExtract || FTarget.empty())
            return S_OK;
        if (index >= FItems.size())
            throw Error("The archive \"" + FArchivePath + "\" asked for item " + std::to_string(index) +
                        " beyond its end");
        const TItem& item = FItems[index];
        if (item.isFolder)
            return S_OK;
        if (!EnsureItemFolder(item.folder))
            RaiseSystemError("Cannot create the folder", FTarget + item.folder, errno);
        auto file = std::make_unique<platform::FileStream>();
        const std::string path = FTarget + item.path;
        if (!file->Create(path))
            RaiseSystemError("Cannot create the file", path, errno);
        auto* adapter = new T7zStream(file.release(), T7zStream::TOwnership::Owned);
        adapter->AddRef();
        *stream = static_cast<IOutStream*>(adapter);
        return S_OK;
    });
}

HRESULT TW_COM_CALL T7zInArchive::PrepareOperation(std::int32_t) {
    return S_OK;
}

// A damaged item, an unsupported method or a wrong password does not end the run.
HRESULT TW_COM_CALL T7zInArchive::SetOperationResult(std::int32_t) {
    return S_OK;
}

HRESULT TW_COM_CALL T7zInArchive::CryptoGetTextPassword(BSTR* password) {
    if (!password)
        return E_INVALIDARG;
    *password = nullptr;
    return Guarded(FCallbackError, [&]() -> HRESULT {
        if (!FPasswordIsDefined && FPasswordCallback) {
            std::string answer;
            if (FPasswordCallback(FPasswordSender, answer)) {
                FPassword = answer;
                FPasswordIsDefined = true;
            }
        }
        // Without a password, an empty one makes just this item fail (wrong password) and the
        // run goes on; "no password" (S_FALSE) or E_ABORT would stop the whole run at this item.
        // The library frees what we return, so its own allocator must make it.
        std::wstring text = FPasswordIsDefined ? Utf8ToWide(FPassword) : std::wstring();
        *password = FSysAllocString(text.c_str());
        return *password ? S_OK : E_OUTOFMEMORY;
    });
}

HRESULT TW_COM_CALL T7zInArchive::GetProperty(PROPID, PROPVARIANT* value) {
    if (value)
        value->vt = VT_EMPTY;
    return S_OK;
}

HRESULT TW_COM_CALL T7zInArchive::GetStream(const wchar_t*, IInStream** stream) {
    if (stream)
        *stream = nullptr;
    return S_OK;
}

HRESULT TW_COM_CALL T7zInArchive::SetSubArchiveName(const wchar_t* name) {
    return Guarded(FCallbackError, [&] {
        FSubArchiveName = name ? WideToUtf8(name) : std::string();
        return S_OK;
    });
}

z7::ComPtr<I7zInArchive> CreateZipReader(const std::vector<std::string>& libraryPaths) {
    z7::ComPtr<I7zInArchive> reader(new T7zInArchive(libraryPaths));
    reader->SetClassId(CLSID_ZipHandler);
    return reader;
}

} // namespace tw
