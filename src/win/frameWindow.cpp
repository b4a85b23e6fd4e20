#include "win/frameWindow.h"

#include "shell/shellRules.h"

#include <uxtheme.h>

namespace tw::win {

namespace {

void RedrawFrame(HWND window) {
    RECT r;
    GetWindowRect(window, &r);
    HDC dc = GetWindowDC(window);
    if (!dc)
        return;
    HPEN pen = CreatePen(PS_SOLID, 1, kFrameColour);
    HGDIOBJ oldPen = SelectObject(dc, pen);
    HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
    Rectangle(dc, 0, 0, r.right - r.left, r.bottom - r.top);
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    DeleteObject(pen);
    ReleaseDC(window, dc);
}

// The client area a window with outer rectangle `r` gets: one pixel in on every side, or, when
// maximised, the work area of its monitor (the system lets a maximised window overhang it).
RECT ClientOf(HWND window, RECT r) {
    if (IsZoomed(window)) {
        MONITORINFO mi{};
        mi.cbSize = sizeof mi;
        if (GetMonitorInfoW(MonitorFromRect(&r, MONITOR_DEFAULTTONEAREST), &mi)) {
            RECT c;
            if (IntersectRect(&c, &r, &mi.rcWork))
                return c;
        }
        return r;
    }
    return RECT{r.left + 1, r.top + 1, r.right - 1, r.bottom - 1};
}

} // namespace

DWORD FrameStyle() {
    // Sizing comes from the frame's edge bands; the maximise box lets the system maximise and
    // restore on request.
    return (WS_OVERLAPPED | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME | WS_CLIPCHILDREN |
            WS_CLIPSIBLINGS) &
           ~static_cast<DWORD>(WS_CAPTION);
}

bool RegisterFrameClass(HINSTANCE instance, WNDPROC proc) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    if (GetClassInfoExW(instance, kFrameClassName, &wc))
        return true;
    wc.cbSize = sizeof wc;
    wc.style = kFrameClassStyle;
    wc.lpfnWndProc = proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    wc.lpszClassName = kFrameClassName;
    return RegisterClassExW(&wc) != 0;
}

bool FrameMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    *result = 0;
    switch (message) {
    case WM_CREATE:
        SetWindowTheme(window, L"", L"");
        return false;
    case WM_NCCALCSIZE: {
        auto* rects = reinterpret_cast<RECT*>(lParam);
        const RECT client = ClientOf(window, rects[0]);
        rects[0] = client;
        if (wParam) {
            rects[1] = client;
            *result = WVR_VALIDRECTS;
        }
        return true;
    }
    case WM_NCHITTEST: {
        RECT r;
        GetWindowRect(window, &r);
        const int x = static_cast<short>(LOWORD(lParam));
        const int y = static_cast<short>(HIWORD(lParam));
        const HitCode hit = FrameHitTest(x, y, r.left, r.top, r.right - r.left, r.bottom - r.top);
        if (hit == kHitDefault)
            return false;
        *result = hit;
        return true;
    }
    case WM_SIZE:
        *result = DefWindowProcW(window, message, wParam, lParam);
        RedrawFrame(window);
        return true;
    case WM_SETTEXT:
    case WM_NCPAINT:
    case kMsgRedrawFrame:
        RedrawFrame(window);
        return true;
    case WM_NCACTIVATE:
        RedrawFrame(window);
        *result = 1;
        return true;
    case 0x00AE: // the theme's caption and frame drawing
    case 0x00AF:
        *result = 1;
        return true;
    case WM_ENTERMENULOOP:
        PostMessageW(window, kMsgRedrawFrame, 0, 0);
        return true;
    default:
        return false;
    }
}

void RunWindowCommand(HWND window, WindowCommand command) {
    switch (command) {
    case WindowCommand::Move:
        ReleaseCapture();
        PostMessageW(window, WM_NCLBUTTONDOWN, HTCAPTION, 0);
        break;
    case WindowCommand::Minimize:
        PostMessageW(window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
        break;
    case WindowCommand::MaximizeOrRestore:
        PostMessageW(window, WM_SYSCOMMAND, IsZoomed(window) ? SC_RESTORE : SC_MAXIMIZE, 0);
        break;
    case WindowCommand::Close:
        PostMessageW(window, WM_CLOSE, 0, 0);
        break;
    case WindowCommand::None:
        break;
    }
}

} // namespace tw::win
