#include "platform/system.h"

#include "platform/win32_util.h"

namespace tw::platform {

std::string UserAgentOsPart() {
    // RtlGetVersion tells the true version; GetVersionEx answers what the manifest allows.
    RTL_OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    using RtlGetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto rtlGetVersion =
        ntdll ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
              : nullptr;
    if (!rtlGetVersion || rtlGetVersion(&version) != 0) {
        version.dwMajorVersion = 10;
        version.dwMinorVersion = 0;
    }
    std::string text =
        "Windows NT " + std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion);
    BOOL wow64 = FALSE;
    if constexpr (sizeof(void*) == 4) {
        if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64)
            text += "; WOW64";
    } else {
        text += "; Win64; x64";
    }
    return text;
}

} // namespace tw::platform
