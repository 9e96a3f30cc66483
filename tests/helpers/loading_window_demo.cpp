// Shows the loading window for a while, the way the launcher does, so that a check can look
// at it on the screen:
//   loading_window_demo MILLISECONDS [REPORT]
// With REPORT, once the window is up a line "left top right bottom topmost toolwindow
// workright workbottom" goes into that file (written under a temporary name and renamed, so
// a reader never sees half of it). Exit code 0 when the window was shown and closed again.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "ui/loading.h"
#include "ui/loading_wnd.h"

namespace {

bool WriteReport(const std::wstring& path, HWND window) {
  RECT rect{};
  ::GetWindowRect(window, &rect);
  RECT work{};
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const LONG_PTR exStyle = ::GetWindowLongPtrW(window, GWL_EXSTYLE);
  char line[256];
  const int length = std::snprintf(line, sizeof(line), "%ld %ld %ld %ld %d %d %ld %ld\n", rect.left, rect.top,
                                   rect.right, rect.bottom, (exStyle & WS_EX_TOPMOST) ? 1 : 0,
                                   (exStyle & WS_EX_TOOLWINDOW) ? 1 : 0, work.right, work.bottom);
  const std::wstring temporary = path + L".tmp";
  HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = ::WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
  ::CloseHandle(file);
  return ok && ::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 100;
  const DWORD milliseconds = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
  CLoadingWnd* slot = nullptr;
  ShowLoadingWindow(&slot);
  if (slot == nullptr || slot->GetSafeHwnd() == nullptr) return 1;
  if (argc >= 3 && !WriteReport(argv[2], slot->GetSafeHwnd())) return 2;
  AnimatedWait(milliseconds);
  CloseLoadingWindow(&slot);
  return slot == nullptr && !IsLoadingWindowShown() ? 0 : 3;
}
