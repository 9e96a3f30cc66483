// System queries: each asks the system afresh, never caches, and turns a failing call
// into the negative answer.
#include <windows.h>

#include "util/core/os_class.h"
#include "util/loaded_function.h"
#include "util/utility.h"

namespace {

using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);
using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);

OSVERSIONINFOW LegacyVersion() {
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  ::GetVersionExW(&info);
#pragma GCC diagnostic pop
  return info;
}

}  // namespace

int CUtility::GetOSClass(OSVERSIONINFOEXW* version) {
  const auto rtlGetVersion = lumo::LoadedFunction<RtlGetVersionFn>(L"ntdll.dll", "RtlGetVersion");
  if (rtlGetVersion != nullptr) {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (rtlGetVersion(&info) == 0) {
      if (version != nullptr) *version = info;
      return lumo::OsClassFromVersion(info.dwMajorVersion, info.dwMinorVersion);
    }
  }
  return GetOSClassLegacy(version);
}

int CUtility::GetOSClassLegacy(OSVERSIONINFOEXW* version) {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  ::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));
#pragma GCC diagnostic pop
  if (version != nullptr) *version = info;
  return lumo::OsClassFromVersionLegacy(info.dwMajorVersion, info.dwMinorVersion);
}

bool CUtility::IsOSAtLeast(int minimumClass, DWORD minimumBuild) {
  OSVERSIONINFOEXW info{};
  const int osClass = GetOSClass(&info);
  return lumo::OsAtLeast(osClass, info.dwBuildNumber, minimumClass, minimumBuild);
}

bool CUtility::IsPreVista() { return LegacyVersion().dwMajorVersion < 6; }

bool CUtility::IsUserInAdminGroup2(HANDLE token) {
  lumo::UniqueHandle processToken;
  if (token == nullptr) {
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, processToken.put()))
      return false;
    token = processToken.get();
  }

  // A filtered administrator token (UAC) is checked through its linked, unfiltered token.
  lumo::UniqueHandle checked;
  if (LegacyVersion().dwMajorVersion >= 6) {
    TOKEN_ELEVATION_TYPE type{};
    DWORD size = 0;
    if (::GetTokenInformation(token, TokenElevationType, &type, sizeof(type), &size) &&
        type == TokenElevationTypeLimited) {
      TOKEN_LINKED_TOKEN linked{};
      if (::GetTokenInformation(token, TokenLinkedToken, &linked, sizeof(linked), &size))
        checked.reset(linked.LinkedToken);
    }
  }
  if (!checked && !::DuplicateToken(token, SecurityIdentification, checked.put())) return false;

  BYTE sid[SECURITY_MAX_SID_SIZE] = {};
  DWORD sidSize = sizeof(sid);
  if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &sidSize)) return false;
  BOOL member = FALSE;
  if (!::CheckTokenMembership(checked.get(), sid, &member)) return false;
  return member != FALSE;
}

bool CUtility::IsProcessElevated() {
  lumo::UniqueHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size))
    return false;
  return elevation.TokenIsElevated != 0;
}

bool CUtility::IsWow64() {
  const auto isWow64Process = lumo::LoadedFunction<IsWow64ProcessFn>(L"kernel32.dll", "IsWow64Process");
  if (isWow64Process == nullptr) return false;
  BOOL wow64 = FALSE;
  if (!isWow64Process(::GetCurrentProcess(), &wow64)) return false;
  return wow64 != FALSE;
}

bool CUtility::FileExists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void CUtility::OSInfo() {
  const OSVERSIONINFOW info = LegacyVersion();
  Log("[%s] OS %d.%d(%d) %ls x64:%d", "CUtility::OSInfo", static_cast<int>(info.dwMajorVersion),
      static_cast<int>(info.dwMinorVersion), static_cast<int>(info.dwBuildNumber),
      info.szCSDVersion, IsWow64() ? 1 : 0);
}

HMODULE CUtility::LoadSystemLibrary(const std::wstring& fileName) {
  wchar_t systemFolder[MAX_PATH + 1] = {};
  const UINT length = ::GetSystemDirectoryW(systemFolder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(systemFolder) + L"\\" + fileName;
  return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// advapi32 exports RtlGenRandom as SystemFunction036 and, from Windows 7 on, forwards it to
// cryptbase.dll, which is not a known DLL: named in the import table, it would be resolved
// while the loader binds the program, before any of the launcher's code, beside the program
// first. So it is taken from cryptbase loaded by full path. A system folder without cryptbase
// (Wine, Windows XP) has an advapi32 that implements the function itself.
bool CUtility::GenRandom(void* buffer, ULONG size) {
  using GenRandomFn = BOOLEAN(WINAPI*)(PVOID, ULONG);
  HMODULE source = LoadSystemLibrary(L"cryptbase.dll");
  if (source == nullptr && ::GetLastError() == ERROR_MOD_NOT_FOUND) source = ::GetModuleHandleW(L"advapi32.dll");
  const auto generate = source != nullptr ? reinterpret_cast<GenRandomFn>(
                                                reinterpret_cast<void*>(::GetProcAddress(source, "SystemFunction036")))
                                          : nullptr;
  return generate != nullptr && generate(buffer, size) != FALSE;
}
