// The application object's constructor: before any of the launcher's own work, take the
// program's folder and the current directory out of the library search order and load the
// system libraries that the launcher and the system components it calls would otherwise
// look for beside a downloaded executable (a downloads folder, where anybody may have
// planted one). An administrator's run repeats itself elevated from that same folder.
//
// The libraries that are not "known DLLs" on every supported Windows (gdiplus, version,
// wtsapi32) are not in the import table at all: Windows would resolve them beside the
// program before any of this code runs. They are bound late, through delay-load import
// libraries, and the hook below loads each one by its full path in the system folder.
#include <windows.h>

#include <delayimp.h>

#include <string>

#include "app/app.h"
#include "util/loaded_function.h"
#include "util/utility.h"

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

void PreloadSystemLibrary(const wchar_t* systemFolder, const wchar_t* name) {
  wchar_t path[MAX_PATH * 2] = {};
  ::SetDllDirectoryW(L"");
  ::wsprintfW(path, L"%s\\%s.dll", systemFolder, name);
  // Never freed: a loaded name is what every later load by that name gets.
  ::LoadLibraryW(path);
}

// From Windows 8 on (and on Windows 7 with its loader update), no load by name, by the
// launcher or by a system component it calls, looks in the program's folder any more.
void SearchSystemFolderOnly() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const auto setDefault =
      lumo::LoadedFunction<SetDefaultDllDirectoriesFn>(L"kernel32.dll", "SetDefaultDllDirectories");
  if (setDefault != nullptr) setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// The delay-load helper asks this hook before it loads a late-bound library. It never gets
// a null answer, because on a null answer it would search for the name, beside the program
// first on a Windows 7 without the loader update.
FARPROC WINAPI LoadLateBoundLibrary(unsigned note, PDelayLoadInfo info) {
  if (note != dliNotePreLoadLibrary || info == nullptr || info->szDll == nullptr) return nullptr;
  const std::string narrow(info->szDll);
  const std::wstring name(narrow.begin(), narrow.end());  // the import library's ASCII name
  const HMODULE module = CUtility::LoadSystemLibrary(name);
  if (module == nullptr) {
    // A library of Windows itself missing from the system folder: the launcher could not
    // have started at all had it imported the library directly. Ending here is the safe
    // answer; searching for the name could find a planted copy.
    const DWORD error = ::GetLastError();
    CUtility::Log(L"[%ls] %ls cannot be loaded from the system folder (%d); the launcher ends",
                  L"CUnPackFileApp::LoadLateBoundLibrary", name.c_str(), static_cast<int>(error));
    ::ExitProcess(error != 0 ? error : ERROR_MOD_NOT_FOUND);
  }
  return reinterpret_cast<FARPROC>(module);
}

}  // namespace

CUnPackFileApp::CUnPackFileApp() {
  SearchSystemFolderOnly();
  __pfnDliNotifyHook2 = &LoadLateBoundLibrary;

  // Results are ignored throughout: a library missing from this Windows release simply
  // fails to load, and a failing GetSystemDirectoryW makes every load fail harmlessly.
  ::SetDllDirectoryW(L"");
  wchar_t systemFolder[MAX_PATH + 1] = {};
  ::GetSystemDirectoryW(systemFolder, MAX_PATH);
  ::SetDllDirectoryW(L"");

  wchar_t winspool[MAX_PATH * 2] = {};
  ::wsprintfW(winspool, L"%s\\winspool.drv", systemFolder);
  ::LoadLibraryW(winspool);

  for (const wchar_t* name : kFirstGroup) PreloadSystemLibrary(systemFolder, name);
  for (const wchar_t* name : kSecondGroup) PreloadSystemLibrary(systemFolder, name);
}
