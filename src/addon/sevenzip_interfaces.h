#pragma once
// Our declarations of the binary interfaces that 7-Zip publishes for its format library, as far
// as the archive reader uses them. Only the layout matters: slot order, argument types and the
// calling convention must be 7-Zip's exactly. IUnknown here has no virtual destructor, the
// layout of 7-Zip 23 and later (and of every Windows build); the loader refuses a library that
// reports another one.
#include "platform/library.h"

#include <cstdint>
#include <utility>

namespace tw::z7 {

using HRESULT = std::int32_t;
using PROPID = std::uint32_t;
using VARTYPE = std::uint16_t;
// A wide string with its byte length stored in the 32 bits before it; allocated and freed only by
// the library's own helpers.
using BSTR = wchar_t*;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
    bool operator==(const GUID&) const = default;
};

// 7-Zip's interface ids: {23170F69-40C1-278A-0000-00gg00ss0000}.
constexpr GUID InterfaceId(std::uint8_t group, std::uint8_t sub) {
    return GUID{0x23170F69, 0x40C1, 0x278A, {0, 0, 0, group, 0, sub, 0, 0}};
}
// Format handler class ids: {23170F69-40C1-278A-1000-000110xx0000}.
constexpr GUID HandlerClassId(std::uint8_t format) {
    return GUID{0x23170F69, 0x40C1, 0x278A, {0x10, 0, 0, 0x01, 0x10, format, 0, 0}};
}

inline constexpr GUID IID_IUnknown{0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr GUID IID_IProgress = InterfaceId(0x00, 0x05);
inline constexpr GUID IID_ISequentialInStream = InterfaceId(0x03, 0x01);
inline constexpr GUID IID_ISequentialOutStream = InterfaceId(0x03, 0x02);
inline constexpr GUID IID_IInStream = InterfaceId(0x03, 0x03);
inline constexpr GUID IID_IOutStream = InterfaceId(0x03, 0x04);
inline constexpr GUID IID_IStreamGetSize = InterfaceId(0x03, 0x06);
inline constexpr GUID IID_IOutStreamFinish = InterfaceId(0x03, 0x07);
inline constexpr GUID IID_ICryptoGetTextPassword = InterfaceId(0x05, 0x10);
inline constexpr GUID IID_IArchiveOpenCallback = InterfaceId(0x06, 0x10);
inline constexpr GUID IID_IArchiveExtractCallback = InterfaceId(0x06, 0x20);
inline constexpr GUID IID_IArchiveOpenVolumeCallback = InterfaceId(0x06, 0x30);
inline constexpr GUID IID_IArchiveOpenSetSubArchiveName = InterfaceId(0x06, 0x50);
inline constexpr GUID IID_IInArchive = InterfaceId(0x06, 0x60);
inline constexpr GUID IID_ISetProperties = InterfaceId(0x06, 0x03);

inline constexpr GUID CLSID_ZipHandler = HandlerClassId(0x01);

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);

// Variant types the reader meets.
inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_BSTR = 8;
inline constexpr VARTYPE VT_BOOL = 11;
inline constexpr VARTYPE VT_UI4 = 19;
inline constexpr VARTYPE VT_UI8 = 21;

// Item and archive property ids.
inline constexpr PROPID kpidPath = 3;
inline constexpr PROPID kpidIsDir = 6;
inline constexpr PROPID kpidHostOS = 23;   // the ZIP handler's "made by" system: "FAT", "Unix", ...
inline constexpr PROPID kpidCharacts = 47; // the ZIP handler's header flags and extra fields, as words
inline constexpr PROPID kpidErrorFlags = 71;

// Archive error flags (kpidErrorFlags).
inline constexpr std::uint32_t kErrorFlagDataAfterEnd = 1u << 6;

// Module properties (GetModuleProp): the IUnknown layout and the version (major << 16 | minor).
inline constexpr PROPID kModulePropInterfaceType = 0;
inline constexpr PROPID kModulePropVersion = 1;
inline constexpr std::uint32_t kUnknownWithoutVirtualDestructor = 0;

// The code page number that stands for UTF-8 (the ZIP handler's "cp" property).
inline constexpr std::uint32_t kCodePageUtf8 = 65001;

// Extract modes (askExtractMode).
inline constexpr std::int32_t kExtract = 0;

struct PROPVARIANT {
    VARTYPE vt;
    std::uint16_t wReserved1;
    std::uint16_t wReserved2;
    std::uint16_t wReserved3;
    union {
        std::int64_t hVal;
        std::uint64_t uhVal;
        std::int32_t lVal;
        std::uint32_t ulVal;
        std::int16_t boolVal; // VT_BOOL: -1 is true
        BSTR bstrVal;
    };
};
static_assert(sizeof(PROPVARIANT) == 16, "PROPVARIANT must keep 7-Zip's layout");

// Exports of the library.
using CreateObjectFunc = HRESULT(TW_COM_CALL*)(const GUID* classId, const GUID* interfaceId, void** object);
using GetHandlerPropertyFunc = HRESULT(TW_COM_CALL*)(PROPID propId, PROPVARIANT* value);
using GetModulePropFunc = HRESULT(TW_COM_CALL*)(PROPID propId, PROPVARIANT* value);
using SysAllocStringFunc = BSTR(TW_COM_CALL*)(const wchar_t* text);
using VariantClearFunc = HRESULT(TW_COM_CALL*)(PROPVARIANT* value);

// The interfaces. Destructors are protected and not virtual: objects are released, never deleted
// through an interface, and a virtual destructor would shift every slot after Release.
class IUnknown {
public:
    virtual HRESULT TW_COM_CALL QueryInterface(const GUID& iid, void** object) = 0;
    virtual std::uint32_t TW_COM_CALL AddRef() = 0;
    virtual std::uint32_t TW_COM_CALL Release() = 0;

protected:
    ~IUnknown() = default;
};

class ISequentialInStream : public IUnknown {
public:
    virtual HRESULT TW_COM_CALL Read(void* data, std::uint32_t size, std::uint32_t* processed) = 0;

protected:
    ~ISequentialInStream() = default;
};

class ISequentialOutStream : public IUnknown {
public:
    virtual HRESULT TW_COM_CALL Write(const void* data, std::uint32_t size, std::uint32_t* processed) = 0;

protected:
    ~ISequentialOutStream() = default;
};

class IInStream : public ISequentialInStream {
public:
    virtual HRESULT TW_COM_CALL Seek(std::int64_t offset, std::uint32_t origin, std::uint64_t* newPosition) = 0;

protected:
    ~IInStream() = default;
};

class IOutStream : public ISequentialOutStream {
public:
    virtual HRESULT TW_COM_CALL Seek(std::int64_t offset, std::uint32_t origin, std::uint64_t* newPosition) = 0;
    virtual HRESULT TW_COM_CALL SetSize(std::uint64_t newSize) = 0;

protected:
    ~IOutStream() = default;
};

class IStreamGetSize : public IUnknown {
public:
    virtual HRESULT TW_COM_CALL GetSize(std::uint64_t* size) = 0;

protected:
    ~IStreamGetSize() = default;
};

class IOutStreamFinish : public IUnknown {
public:
    virtual HRESULT TW_COM_CALL OutStreamFinish() = 0;

protected:
    ~IOutStreamFinish() = default;
};

class IProgress : public IUnknown {
public:
    virtual HRESULT TW_COM_CALL SetTotal(std::uint64_t total) = 0;
    virtual HRESULT TW_COM_CALL SetCompleted(const std::uint64_t* completed) = 0;

protected:
    ~IProgress() = default;
};

class IArchiveOpenCallback : public IUnknown {
public:
    virtual HRESULT TW_COM_CALL SetTotal(const std::uint64_t* files, const std::uint64_t* bytes) = 0;
    virtual HRESULT TW_COM_CALL SetCompleted(const std::uint64_t* files, const std::uint64_t* bytes) = 0;

protected:
    ~IArchiveOpenCallback() = default;
};

class IArchiveExtractCallback : public IProgress {
public:
    virtual HRESULT TW_COM_CALL GetStream(std::uint32_t index, ISequentialOutStream** stream,
                                          std::int32_t askExtractMode) = 0;
    virtual HRESULT TW_COM_CALL PrepareOperation(std::int32_t askExtractMode) = 0;
    virtual HRESULT TW_COM_CALL SetOperationResult(std::int32_t result) = 0;

protected:
    ~IArchiveExtractCallback() = default;
};

class IArchiveOpenVolumeCallback : public IUnknown {
public:
    virtual HRESULT TW_COM_CALL GetProperty(PROPID propId, PROPVARIANT* value) = 0;
    virtual HRESULT TW_COM_CALL GetStream(const wchar_t* name, IInStream** stream) = 0;

protected:
    ~IArchiveOpenVolumeCallback() = default;
};

class IArchiveOpenSetSubArchiveName : public IUnknown {
public:
    virtual HRESULT TW_COM_CALL SetSubArchiveName(const wchar_t* name) = 0;

protected:
    ~IArchiveOpenSetSubArchiveName() = default;
};

class ICryptoGetTextPassword : public IUnknown {
public:
    virtual HRESULT TW_COM_CALL CryptoGetTextPassword(BSTR* password) = 0;

protected:
    ~ICryptoGetTextPassword() = default;
};

// Handler settings, given as name and value pairs before Open.
class ISetProperties : public IUnknown {
public:
    virtual HRESULT TW_COM_CALL SetProperties(const wchar_t* const* names, const PROPVARIANT* values,
                                              std::uint32_t count) = 0;

protected:
    ~ISetProperties() = default;
};

class IInArchive : public IUnknown {
public:
    virtual HRESULT TW_COM_CALL Open(IInStream* stream, const std::uint64_t* maxCheckStartPosition,
                                     IArchiveOpenCallback* openCallback) = 0;
    virtual HRESULT TW_COM_CALL Close() = 0;
    virtual HRESULT TW_COM_CALL GetNumberOfItems(std::uint32_t* count) = 0;
    virtual HRESULT TW_COM_CALL GetProperty(std::uint32_t index, PROPID propId, PROPVARIANT* value) = 0;
    virtual HRESULT TW_COM_CALL Extract(const std::uint32_t* indices, std::uint32_t count, std::int32_t testMode,
                                        IArchiveExtractCallback* extractCallback) = 0;
    virtual HRESULT TW_COM_CALL GetArchiveProperty(PROPID propId, PROPVARIANT* value) = 0;
    virtual HRESULT TW_COM_CALL GetNumberOfProperties(std::uint32_t* count) = 0;
    virtual HRESULT TW_COM_CALL GetPropertyInfo(std::uint32_t index, BSTR* name, PROPID* propId, VARTYPE* varType) = 0;
    virtual HRESULT TW_COM_CALL GetNumberOfArchiveProperties(std::uint32_t* count) = 0;
    virtual HRESULT TW_COM_CALL GetArchivePropertyInfo(std::uint32_t index, BSTR* name, PROPID* propId,
                                                       VARTYPE* varType) = 0;

protected:
    ~IInArchive() = default;
};

// Holds one reference to a COM-style object.
template <class T> class ComPtr {
public:
    ComPtr() = default;
    explicit ComPtr(T* p, bool addRef = true) : p_(p) {
        if (p_ && addRef)
            p_->AddRef();
    }
    ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
    ComPtr(ComPtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ComPtr& operator=(ComPtr o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~ComPtr() { Reset(); }
    void Reset() {
        if (p_) {
            T* p = p_;
            p_ = nullptr;
            p->Release();
        }
    }
    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // The place for an out-parameter; drops what is held first.
    T** Put() {
        Reset();
        return &p_;
    }

private:
    T* p_ = nullptr;
};

} // namespace tw::z7
