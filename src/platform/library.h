#pragma once
// Run-time loading of shared libraries, and the binary conventions of the COM-style interfaces
// that such libraries (7-Zip's format library) export.
#include <cstdint>
#include <string>
#include <vector>

// Calling convention of COM-style methods and exports: __stdcall on 32-bit Windows, the plain
// C convention everywhere else.
#if defined(_WIN32) && !defined(_WIN64)
#define TW_COM_CALL __stdcall
#else
#define TW_COM_CALL
#endif

namespace tw::platform {

// File name of 7-Zip's format library on this system.
#ifdef _WIN32
inline constexpr const char* k7zLibraryName = "7z.dll";
#else
inline constexpr const char* k7zLibraryName = "7z.so";
#endif

// Folders (ending in a separator) where the system keeps its own 7-Zip format library; they are
// searched after the program folder.
std::vector<std::string> System7zLibraryFolders();

// Builds that do not report their IUnknown layout (7-Zip before 23, p7zip) used this system's
// historic one: on Linux those builds put a virtual destructor into IUnknown.
#ifdef _WIN32
inline constexpr bool kLegacyUnknownHasVirtualDestructor = false;
#else
inline constexpr bool kLegacyUnknownHasVirtualDestructor = true;
#endif

using LibraryHandle = void*;

// Loads a library from a full path. Null on failure, with the system's reason in `error`.
LibraryHandle LoadSharedLibrary(const std::string& path, std::string& error);
// An export of the library, or null.
void* LibrarySymbol(LibraryHandle library, const char* name);
void UnloadSharedLibrary(LibraryHandle library);

// BSTR and VARIANT helpers (SysAllocString, SysFreeString, VariantClear) as the library uses
// them: the system's own on Windows, the library's exports elsewhere. Null when missing.
void* ComHelperSymbol(LibraryHandle library, const char* name);

// The COM result code that 7-Zip builds of this system use for an errno value.
std::int32_t ResultFromErrno(int err);
// The system's description of a COM result code.
std::string ResultCodeText(std::int32_t result);

} // namespace tw::platform
