#include "platform/library.h"

#include "platform/error.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>

namespace tw::platform {

std::vector<std::string> System7zLibraryFolders() { return {"/usr/lib/p7zip/"}; }

LibraryHandle LoadSharedLibrary(const std::string& path, std::string& error) {
    // Local binding: the library must keep using its own BSTR helpers, not anything of ours.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        error = why ? why : "unknown reason";
    }
    return handle;
}

void* LibrarySymbol(LibraryHandle library, const char* name) { return library ? ::dlsym(library, name) : nullptr; }

void UnloadSharedLibrary(LibraryHandle library) {
    if (library)
        ::dlclose(library);
}

void* ComHelperSymbol(LibraryHandle library, const char* name) { return LibrarySymbol(library, name); }

namespace {
// 7-Zip's facility for errno values on Linux; Windows codes use facility 7.
constexpr std::uint32_t kFacilityErrno = 0x800;
constexpr std::uint32_t kFacilityWin32 = 7;
} // namespace

std::int32_t ResultFromErrno(int err) {
    if (err <= 0)
        return static_cast<std::int32_t>(0x80004005u); // E_FAIL
    return static_cast<std::int32_t>((static_cast<std::uint32_t>(err) & 0xFFFFu) | (kFacilityErrno << 16) |
                                     0x80000000u);
}

std::string ResultCodeText(std::int32_t result) {
    const auto code = static_cast<std::uint32_t>(result);
    switch (code) {
    case 0x00000000u:
        return "The operation completed successfully";
    case 0x00000001u:
        return "Incorrect function";
    case 0x80004001u:
        return "Not implemented";
    case 0x80004002u:
        return "No such interface supported";
    case 0x80004004u:
        return "Operation aborted";
    case 0x80004005u:
        return "Unspecified error";
    case 0x80040111u:
        return "ClassFactory cannot supply requested class";
    case 0x8007000Eu:
        return "Not enough memory resources are available to complete this operation";
    case 0x80070057u:
        return "The parameter is incorrect";
    case 0x80070083u:
        return "An attempt was made to move the file pointer before the beginning of the file";
    default:
        break;
    }
    const std::uint32_t facility = (code >> 16) & 0x1FFFu;
    if ((code & 0x80000000u) && facility == kFacilityErrno)
        return SystemErrorText(static_cast<int>(code & 0xFFFFu));
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%s 0x%08X", facility == kFacilityWin32 ? "system error" : "error",
                  static_cast<unsigned>(code));
    return buffer;
}

} // namespace tw::platform
