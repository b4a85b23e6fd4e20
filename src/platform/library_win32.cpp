#include "platform/library.h"

#include "platform/error.h"
#include "platform/win32_util.h"

#include <cerrno>
#include <cstdio>

namespace tw::platform {

namespace {

std::string SystemMessage(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = n ? win32::Narrow(text, static_cast<int>(n)) : std::string();
    if (text)
        LocalFree(text);
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message;
}

} // namespace

std::vector<std::string> System7zLibraryFolders() {
    // A 32-bit process needs the 32-bit 7-Zip, which under a 64-bit system lives in the
    // "Program Files (x86)" folder that %ProgramFiles% names for it.
    std::vector<std::string> folders;
    if (const wchar_t* programs = _wgetenv(L"ProgramFiles"))
        folders.push_back(win32::Narrow(programs) + "\\7-Zip\\");
    return folders;
}

LibraryHandle LoadSharedLibrary(const std::string& path, std::string& error) {
    // The library's own folder first for what it loads in turn; no error box for a bad file.
    const UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryExW(win32::Wide(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD code = GetLastError();
    SetErrorMode(oldMode);
    if (!module) {
        const std::string text = SystemMessage(code);
        error = text.empty() ? "system error " + std::to_string(code) : text;
    }
    return reinterpret_cast<LibraryHandle>(module);
}

void* LibrarySymbol(LibraryHandle library, const char* name) {
    if (!library)
        return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void UnloadSharedLibrary(LibraryHandle library) {
    if (library)
        FreeLibrary(static_cast<HMODULE>(library));
}

void* ComHelperSymbol(LibraryHandle, const char* name) {
    // The system's BSTR and VARIANT functions, which the library itself uses.
    static HMODULE oleaut = LoadLibraryW(L"oleaut32.dll");
    return oleaut ? reinterpret_cast<void*>(GetProcAddress(oleaut, name)) : nullptr;
}

std::int32_t ResultFromErrno(int err) {
    // Windows builds of 7-Zip report system errors as HRESULT_FROM_WIN32 codes.
    DWORD code = 0;
    switch (err) {
    case ENOSPC:
        code = ERROR_DISK_FULL;
        break;
    case EACCES:
    case EPERM:
        code = ERROR_ACCESS_DENIED;
        break;
    case ENOENT:
        code = ERROR_FILE_NOT_FOUND;
        break;
    case ENOMEM:
        code = ERROR_NOT_ENOUGH_MEMORY;
        break;
    case EEXIST:
        code = ERROR_FILE_EXISTS;
        break;
    case EINVAL:
        code = ERROR_INVALID_PARAMETER;
        break;
    case EIO:
        code = ERROR_READ_FAULT;
        break;
    default:
        return static_cast<std::int32_t>(0x80004005u); // E_FAIL
    }
    return static_cast<std::int32_t>(HRESULT_FROM_WIN32(code));
}

std::string ResultCodeText(std::int32_t result) {
    const auto code = static_cast<std::uint32_t>(result);
    std::string text = SystemMessage(code);
    if (text.empty() && (code >> 16) == 0x8007u)
        text = SystemMessage(code & 0xFFFFu);
    if (!text.empty())
        return text;
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%s 0x%08X", ((code >> 16) & 0x1FFFu) == 7 ? "system error" : "error",
                  static_cast<unsigned>(code));
    return buffer;
}

} // namespace tw::platform
