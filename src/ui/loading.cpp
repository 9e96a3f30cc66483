#include "ui/loading.h"

#include <new>

#include "ui/core/animation.h"
#include "ui/loading_wnd.h"
#include "util/utility.h"

namespace {

// The GDI+ session that the loading window's pictures live in; 0 while none is open.
ULONG_PTR g_gdiplusToken = 0;

void ShutdownGdiplus() {
  if (g_gdiplusToken != 0) Gdiplus::GdiplusShutdown(g_gdiplusToken);
  g_gdiplusToken = 0;
}

}  // namespace

void ShowLoadingWindow(CLoadingWnd** slot) {
  if (CLoadingWnd* existing = CLoadingWnd::Instance()) {
    if (existing->GetSafeHwnd() != nullptr) ::ShowWindow(existing->GetSafeHwnd(), SW_SHOWNOACTIVATE);
    return;
  }

  // Without GDI+ there is no window: its allocations fail until it has started, and the
  // pictures would be made on nothing.
  Gdiplus::GdiplusStartupInput input;  // version 1, no debug callback, background thread on
  if (g_gdiplusToken == 0) {
    const Gdiplus::Status status = Gdiplus::GdiplusStartup(&g_gdiplusToken, &input, nullptr);
    if (status != Gdiplus::Ok) {
      g_gdiplusToken = 0;
      CUtility::Log("[%s] GDI+ did not start (%d); no loading window", "ShowLoadingWindow",
                    static_cast<int>(status));
      return;
    }
  }

  CLoadingWnd* window = new (std::nothrow) CLoadingWnd();
  if (window == nullptr) {
    CUtility::Log("[%s] no memory for the loading window", "ShowLoadingWindow");
    ShutdownGdiplus();
    return;
  }
  if (slot != nullptr) *slot = window;

  if (!window->Create()) {
    // Nothing to show: take the object down again, so no half-made window outlives this
    // call and GDI+ is not left running without an owner.
    if (slot != nullptr) *slot = nullptr;
    delete window;
    ShutdownGdiplus();
    return;
  }
  // The window stays until the launcher closes it. Its dwell would hide it a few seconds
  // after it appears once its timers are delivered (they are now, while the launcher waits),
  // and a window that vanishes while the agent is still being prepared looks like a launcher
  // that gave up: the user starts the download again.
  window->SetDwellTimeout(0);
  window->Layout();
  ::ShowWindow(window->GetSafeHwnd(), SW_SHOWNOACTIVATE);
}

void CloseLoadingWindow(CLoadingWnd** slot) {
  CLoadingWnd* window = CLoadingWnd::Instance();
  if (window == nullptr) return;
  if (window->GetSafeHwnd() != nullptr) ::ShowWindow(window->GetSafeHwnd(), SW_HIDE);
  delete window;
  if (slot != nullptr) *slot = nullptr;
  ShutdownGdiplus();
}

void AnimatedWait(DWORD milliseconds) {
  // The slices as planned; within each, the window's messages are handled as they come, so
  // that it answers (and its timers and DPI changes reach it) while the launcher waits.
  const lumo::WaitPlan plan = lumo::PlanAnimatedWait(milliseconds);
  for (std::uint32_t slice = 0; slice < plan.slices; ++slice) {
    if (CLoadingWnd* window = CLoadingWnd::Instance()) window->ShowNextFrame();
    CUtility::WaitTakingMessages(nullptr, lumo::kFrameSliceMs);
  }
  CUtility::WaitTakingMessages(nullptr, plan.restMs);
}

bool IsLoadingWindowShown() { return CLoadingWnd::Instance() != nullptr; }
