// The application object's constructor: before any of the launcher's own work, take the
// program's folder and the current directory out of the library search order and load the
// system libraries that the launcher and the system components it calls would otherwise
// look for beside a downloaded executable (a downloads folder, where anybody may have
// planted one). An administrator's run repeats itself elevated from that same folder. Each
// is loaded with its own imports looked for in the system folder first: on Windows 7 without
// its loader update, those of a library loaded by full path are otherwise looked for beside
// the program first.
//
// The libraries that are not "known DLLs" on every supported Windows (gdiplus, userenv,
// version, wtsapi32) are not in the import table at all: Windows would resolve them beside the
// program before any of this code runs. They are bound late, through delay-load import
// libraries, and the delay-load helper below loads each one by its full path in the system
// folder.
#include <windows.h>

#include <delayimp.h>

#include <string>

#include "app/app.h"
#include "util/loaded_function.h"
#include "util/utility.h"

namespace {

// Loaded in this order, each from the system folder by full path. cryptbase comes first of
// the groups: advapi32 forwards SystemFunction036 (RtlGenRandom) to it, so whatever binds that
// function finds it loaded. cryptsp, ntmarta (the first GetSecurityInfo), dwmapi, uxtheme and
// winsta are loaded by name later, by the system's libraries the launcher calls.
constexpr const wchar_t* kFirstGroup[] = {
    L"cryptbase", L"cryptsp",  L"wtsapi32", L"version",  L"wldp",    L"propsys",
    L"profapi",   L"vaultcli", L"edputil",  L"iertutil", L"netutils", L"srvcli",
    L"urlmon",    L"sspicli",  L"logoncli", L"wkscli",   L"samcli",  L"netapi32",
    L"cfgmgr32",  L"TextShaping",
};
constexpr const wchar_t* kSecondGroup[] = {
    L"mpr", L"WindowsCodecs", L"linkinfo", L"ntshrui", L"cscapi", L"ntmarta", L"dwmapi", L"uxtheme", L"winsta",
};

void PreloadSystemLibrary(const wchar_t* systemFolder, const wchar_t* name, const wchar_t* extension = L"dll") {
  wchar_t path[MAX_PATH * 2] = {};
  ::SetDllDirectoryW(L"");
  ::wsprintfW(path, L"%s\\%s.%s", systemFolder, name, extension);
  // Never freed: a loaded name is what every later load by that name gets.
  ::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// From Windows 8 on (and on Windows 7 with its loader update), no load by name, by the
// launcher or by a system component it calls, looks in the program's folder any more.
void SearchSystemFolderOnly() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const auto setDefault =
      lumo::LoadedFunction<SetDefaultDllDirectoriesFn>(L"kernel32.dll", "SetDefaultDllDirectories");
  if (setDefault != nullptr) setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// A late-bound library, from the system folder by its full path; never by a search for its name,
// which on a Windows 7 without the loader update looks beside the program first. A library of
// Windows itself missing from the system folder ends the run: the launcher could not have
// started at all had it imported the library directly, and a search could find a planted copy.
HMODULE LoadLateBoundLibrary(const char* dll) {
  const std::string narrow(dll);
  const std::wstring name(narrow.begin(), narrow.end());  // the import library's ASCII name
  // On Windows 7 without its loader update, the libraries that a library loaded by full path
  // imports are looked for beside the program first: userenv's own import goes first, from
  // the system folder, so that the name is already loaded when userenv asks for it.
  if (::lstrcmpiW(name.c_str(), L"userenv.dll") == 0) CUtility::LoadSystemLibrary(L"profapi.dll");
  const HMODULE module = CUtility::LoadSystemLibrary(name);
  if (module == nullptr) {
    const DWORD error = ::GetLastError();
    CUtility::Log("[%s] %ls cannot be loaded from the system folder (%d); the launcher ends",
                  "CUnPackFileApp::LoadLateBoundLibrary", name.c_str(), static_cast<int>(error));
    ::ExitProcess(error != 0 ? error : ERROR_MOD_NOT_FOUND);
  }
  return module;
}

}  // namespace

// The helper that the late-bound import libraries (src/app/late_bound/*.def) call on a
// function's first use, in place of the toolchain's: it loads the library as above and puts
// the function into its slot. A function missing from the system's library ends the run too.
extern "C" FARPROC WINAPI __delayLoadHelper2(PCImgDelayDescr descriptor, FARPROC* slot) {
  // The descriptor's fields are offsets from the image (or, in the old form, addresses).
  const ULONG_PTR base =
      (descriptor->grAttrs & dlattrRva) != 0 ? reinterpret_cast<ULONG_PTR>(::GetModuleHandleW(nullptr)) : 0;
  const auto at = [base](ULONG_PTR value) { return reinterpret_cast<void*>(base + value); };
  HMODULE* module = static_cast<HMODULE*>(at(descriptor->rvaHmod));
  if (*module == nullptr) *module = LoadLateBoundLibrary(static_cast<const char*>(at(descriptor->rvaDLLName)));
  const auto* names = static_cast<const IMAGE_THUNK_DATA*>(at(descriptor->rvaINT));
  const IMAGE_THUNK_DATA& name = names[slot - static_cast<FARPROC*>(at(descriptor->rvaIAT))];
  const char* function =
      IMAGE_SNAP_BY_ORDINAL(name.u1.Ordinal)
          ? reinterpret_cast<const char*>(static_cast<ULONG_PTR>(IMAGE_ORDINAL(name.u1.Ordinal)))
          : reinterpret_cast<const char*>(static_cast<const IMAGE_IMPORT_BY_NAME*>(at(name.u1.AddressOfData))->Name);
  const FARPROC found = ::GetProcAddress(*module, function);
  if (found == nullptr) {
    CUtility::Log("[%s] a function of %s is missing (%d); the launcher ends", "CUnPackFileApp::LoadLateBoundLibrary",
                  static_cast<const char*>(at(descriptor->rvaDLLName)), static_cast<int>(::GetLastError()));
    ::ExitProcess(ERROR_PROC_NOT_FOUND);
  }
  *slot = found;
  return found;
}

CUnPackFileApp::CUnPackFileApp() {
  SearchSystemFolderOnly();

  // Results are ignored throughout: a library missing from this Windows release simply
  // fails to load, and a failing GetSystemDirectoryW makes every load fail harmlessly.
  ::SetDllDirectoryW(L"");
  wchar_t systemFolder[MAX_PATH + 1] = {};
  ::GetSystemDirectoryW(systemFolder, MAX_PATH);

  PreloadSystemLibrary(systemFolder, L"winspool", L"drv");
  for (const wchar_t* name : kFirstGroup) PreloadSystemLibrary(systemFolder, name);
  for (const wchar_t* name : kSecondGroup) PreloadSystemLibrary(systemFolder, name);
}
