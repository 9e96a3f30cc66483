// Imports the known DLLs the launcher imports, and nothing else: what Wine's own libraries
// load on their behalf at start-up (Windows takes a known DLL's dependencies from the system
// folder; Wine looks for them beside the program when told "native first").
#include <windows.h>
#include <oleauto.h>
#include <shlobj.h>
#include <shlwapi.h>

int wmain() {
  wchar_t folder[MAX_PATH] = {};
  ::SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, folder);                // shell32
  const BOOL exists = ::PathFileExistsW(folder);                                 // shlwapi
  ::CoTaskMemFree(nullptr);                                                      // ole32
  ::SysFreeString(nullptr);                                                      // oleaut32
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key) == 0)   // advapi32
    ::RegCloseKey(key);
  ::GetStockObject(WHITE_BRUSH);                                                 // gdi32
  return ::GetDesktopWindow() != nullptr && exists ? 0 : 1;                      // user32
}
