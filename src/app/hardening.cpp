// The application object's constructor: before any of the launcher's own work, take the
// current directory out of the library search order and load the system libraries that the
// launcher and the system components it calls would otherwise look for beside a downloaded
// executable (a downloads folder, where anybody may have planted one).
#include <windows.h>

#include "app/app.h"

namespace {

// Loaded in this order, each from the system folder by full path.
constexpr const wchar_t* kFirstGroup[] = {
    L"wtsapi32", L"version", L"wldp",    L"propsys",  L"profapi",  L"vaultcli",
    L"edputil",  L"iertutil", L"netutils", L"srvcli",  L"urlmon",   L"sspicli",
    L"logoncli", L"wkscli",  L"samcli",  L"netapi32", L"cfgmgr32", L"TextShaping",
};
constexpr const wchar_t* kSecondGroup[] = {
    L"mpr", L"WindowsCodecs", L"linkinfo", L"ntshrui", L"cscapi",
};

void LoadSystemLibrary(const wchar_t* systemFolder, const wchar_t* name) {
  wchar_t path[MAX_PATH * 2] = {};
  ::SetDllDirectoryW(L"");
  ::wsprintfW(path, L"%s\\%s.dll", systemFolder, name);
  // Never freed: a loaded name is what every later load by that name gets.
  ::LoadLibraryW(path);
}

}  // namespace

CUnPackFileApp::CUnPackFileApp() {
  // Results are ignored throughout: a library missing from this Windows release simply
  // fails to load, and a failing GetSystemDirectoryW makes every load fail harmlessly.
  ::SetDllDirectoryW(L"");
  wchar_t systemFolder[MAX_PATH + 1] = {};
  ::GetSystemDirectoryW(systemFolder, MAX_PATH);
  ::SetDllDirectoryW(L"");

  wchar_t winspool[MAX_PATH * 2] = {};
  ::wsprintfW(winspool, L"%s\\winspool.drv", systemFolder);
  ::LoadLibraryW(winspool);

  for (const wchar_t* name : kFirstGroup) LoadSystemLibrary(systemFolder, name);
  for (const wchar_t* name : kSecondGroup) LoadSystemLibrary(systemFolder, name);
}
