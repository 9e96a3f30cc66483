// A top-level window of the agent's class, owned by the calling thread: what the launcher's
// window checks look for, without running the agent.
#pragma once

#include <windows.h>

#include "launch/product.h"

namespace testsupport {

class ProductWindow {
 public:
  ProductWindow() {
    WNDCLASSW cls{};
    cls.lpfnWndProc = ::DefWindowProcW;
    cls.hInstance = ::GetModuleHandleW(nullptr);
    cls.lpszClassName = lumo::kProductWindowClass;
    ::RegisterClassW(&cls);
    window_ = ::CreateWindowExW(0, lumo::kProductWindowClass, L"agent", WS_OVERLAPPEDWINDOW, 10, 10, 200, 100,
                                nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  }
  ~ProductWindow() {
    if (window_ != nullptr) ::DestroyWindow(window_);
  }
  ProductWindow(const ProductWindow&) = delete;
  ProductWindow& operator=(const ProductWindow&) = delete;
  HWND get() const { return window_; }

 private:
  HWND window_ = nullptr;
};

}  // namespace testsupport
