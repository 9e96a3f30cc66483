// Imports version.dll in its import table, as the launcher once did: the control that shows
// the test bed loads a library planted beside a program that imports it directly.
#include <windows.h>

int wmain() {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  DWORD ignored = 0;
  return ::GetFileVersionInfoSizeW(self, &ignored) != 0 ? 0 : 1;
}
