// Shows the loading window from a program that carries none of its pictures, as a launcher
// with damaged resources would. Exit code 0 when the window still comes up and goes down
// cleanly: no picture loaded, content not ready (so the erase handler leaves painting to the
// default handling), frames neither drawn nor counted, nothing left behind.
#include <windows.h>

#include "ui/loading.h"
#include "ui/loading_wnd.h"

int wmain() {
  CLoadingWnd* slot = nullptr;
  ShowLoadingWindow(&slot);
  if (slot == nullptr || slot->GetSafeHwnd() == nullptr) return 1;
  if (!::IsWindowVisible(slot->GetSafeHwnd())) return 2;
  for (int i = 0; i < 13; ++i)
    if (slot->HasImage(i)) return 3;
  if (slot->IsContentReady()) return 4;
  AnimatedWait(400);
  slot->ShowNextFrame();
  if (slot->GetFrameCounter() != 0) return 5;
  const HWND window = slot->GetSafeHwnd();
  CloseLoadingWindow(&slot);
  if (slot != nullptr || IsLoadingWindowShown() || ::IsWindow(window)) return 6;
  return 0;
}
