// launcher.exe on Windows: one running launcher at a time, the WebView2 runtime found (or the
// player told what to install), the main window and its message loop.
#include "shell/shellRules.h"
#include "base/helpers.h"
#include "platform/instance.h"
#include "platform/win32_util.h"
#include "win/mainWindow.h"

#include "launcher_key.h"

#include <objbase.h>
#include <shellapi.h>

int main() {
    int argc = 0;
    if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc))
        LocalFree(argv);
    // The marker is held from here until the process ends, whatever happens next.
    const bool running = tw::platform::HoldNamedMarker(tw::kInstanceMarkerName);
    if (!tw::StartAllowed(running, argc - 1))
        return 0;

    const std::wstring folder = tw::platform::win32::Wide(tw::ProgramFolder());
    tw::win::TRuntime runtime = tw::win::FindRuntime(folder);
    if (runtime.version.empty()) {
        MessageBoxW(nullptr, tw::win::MissingRuntimeText(runtime).c_str(), L"Tarnwick", MB_OK | MB_ICONERROR);
        return 0;
    }

    // The engine's objects live on this thread, the window's.
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 0;
    {
        tw::win::TMainWindow window(std::move(runtime), folder, TARNWICK_LAUNCHER_SIGNING_KEY);
        if (window.Create(GetModuleHandleW(nullptr))) {
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
        window.FormDestroy();
    }
    CoUninitialize();
    return 0;
}
