// What the launcher relies on of the agent it carries: its window class and program names.
#pragma once

#include <windows.h>

namespace lumo {

constexpr const wchar_t* kProductWindowClass = L"OndrixRemoteAttendedSupport";
constexpr const wchar_t* kManagerExe = L"OXManagerLUMO.exe";
constexpr const wchar_t* kServerExe = L"OXServerLUMO.exe";

// The agent's top-level window (class only, no title), or null when none exists.
inline HWND FindProductWindow() {
  HWND window = ::FindWindowW(kProductWindowClass, nullptr);
  return window != nullptr && ::IsWindow(window) ? window : nullptr;
}

}  // namespace lumo
