#pragma once
// The launcher's window frame on Win32: a top-level window of class "UIFrameEx" without caption
// or standard border, a one-pixel dark grey outline of its own, sizing on the edge bands, and the
// work area as its client area when maximised. The page moves, minimises, maximises and closes it
// through the window commands.
#include "bridge/dispatch.h"

#include <windows.h>

namespace tw::win {

inline constexpr wchar_t kFrameClassName[] = L"UIFrameEx";
inline constexpr UINT kMsgRedrawFrame = 0xB110;
inline constexpr COLORREF kFrameColour = RGB(70, 70, 70);

// Registers the class once; `proc` is the window's own procedure, which should hand every message
// to FrameMessage first.
bool RegisterFrameClass(HINSTANCE instance, WNDPROC proc);
// The window style of the launcher's frame (a single border, system menu and minimise box, no
// caption) and its class style.
DWORD FrameStyle();
inline constexpr UINT kFrameClassStyle = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;

// The frame's share of a window message: true when it has consumed it (answer in `result`).
// Called on WM_CREATE too, after which the window draws no themed frame.
bool FrameMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

// Carries out one of the page's window commands for `window` (posted; never waits).
void RunWindowCommand(HWND window, WindowCommand command);

} // namespace tw::win
