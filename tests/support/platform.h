// Where a Windows-side test runs: under Wine on the build machine, on Windows from the release
// kit (scripts/windows-kit). Every test is of one class, recorded in its XML result for the
// kit's summary:
//   - both (no mark): it holds wherever it runs;
//   - LUMO_WINE_ONLY(why): it leans on what only the project's prefix has (the stand-ins' logs,
//     traces or task store, Unix links, Wine's per-program settings, every process elevated);
//     on Windows it skips with "not Wine: why";
//   - LUMO_WINDOWS_ONLY(why): what Wine cannot do (junctions, ...); under Wine it skips with
//     "not Windows: why".
// A test of both classes may hold a block of assertions that only Windows can answer for a
// release check (docs/RELEASE-CHECKS.md): LUMO_ON_WINDOWS("N", "what") { ... } runs it on
// Windows; under Wine the block is recorded as skipped. LUMO_RELEASE_CHECK("N") tags a test that
// answers check N as it stands. A test that cannot answer on this machine skips with
// "not applicable here: why" (no UAC, no desktop) or "by hand: why".
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "support/winsupport.h"
#include "util/handles.h"

namespace testsupport {

// Adds `value` to the running test's property `key`, a list joined by `separator` (GoogleTest
// keeps one value per key); a value already in the list is not added again.
inline void AddProperty(const char* key, const std::string& value, const char* separator = ",") {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string list = value;
  for (int i = 0; test != nullptr && i < test->result()->test_property_count(); ++i) {
    const ::testing::TestProperty& property = test->result()->GetTestProperty(i);
    if (std::string(property.key()) != key) continue;
    const std::string old = property.value();
    if ((separator + old + separator).find(separator + value + separator) != std::string::npos) return;
    list = old + separator + value;
  }
  ::testing::Test::RecordProperty(key, list);
}

// Whether the block of release check `check` runs: on Windows. Under Wine it is recorded as a
// Windows-only assertion skipped.
inline bool RunsOnWindows(const char* check, const char* what) {
  AddProperty("release_check", check);
  if (!UnderWine()) return true;
  AddProperty("windows_skipped", std::string(check) + ": " + what, "; ");
  return false;
}

// A fact of this machine the summary names at the check (e.g. what Windows did with a link).
inline void ReleaseNote(const std::string& note) { AddProperty("release_note", note, "; "); }

// The version Windows reports (not the one the manifest admits).
inline OSVERSIONINFOEXW WindowsVersion() {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
  using RtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOEXW*);
  const auto get = reinterpret_cast<RtlGetVersion>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  if (get != nullptr) get(&info);
  return info;
}

inline bool IsWindows10OrLater() { return WindowsVersion().dwMajorVersion >= 10; }

// The exit code of the system's schtasks for `arguments`, run by the native interpreter
// (the schtasks stand-in in the project's prefix).
inline long SystemSchtasks(const std::wstring& arguments) {
  wchar_t folder[MAX_PATH + 1] = {};
  ::GetSystemWindowsDirectoryW(folder, MAX_PATH);
  const std::wstring system = std::wstring(folder) + (sizeof(void*) == 4 ? L"\\sysnative" : L"\\system32");
  std::wstring line = L"\"" + system + L"\\cmd.exe\" /d /c \"" + system + L"\\schtasks.exe\" " + arguments + L" >nul 2>nul";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process))
    return -2;
  ::CloseHandle(process.hThread);
  DWORD code = static_cast<DWORD>(-1);
  if (::WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hProcess);
  return static_cast<long>(code);
}

// Whether the Task Scheduler holds a task of this name ("schtasks /query" ends with 0 for it
// and with 1 for every error): Windows' own, or the stand-in's store in the project's prefix.
inline bool TaskExists(const std::wstring& name) { return SystemSchtasks(L"/query /tn " + name) == 0; }

// Whether this process runs with the Administrators group enabled (elevated, or an
// administrator on a machine without User Account Control).
inline bool IsAdministratorRun() {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  BOOL member = FALSE;
  return ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
         ::CheckTokenMembership(nullptr, sid, &member) && member;
}

// This process's token without the Administrators group, for impersonation: what an
// unelevated program of the same user holds.
inline lumo::UniqueHandle NonAdministratorToken() {
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof admins;
  lumo::UniqueHandle own, restricted, impersonation;
  SID_AND_ATTRIBUTES disable{admins, 0};
  if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size) ||
      !::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, own.put()) ||
      !::CreateRestrictedToken(own.get(), 0, 1, &disable, 0, nullptr, 0, nullptr, restricted.put()) ||
      !::DuplicateToken(restricted.get(), SecurityImpersonation, impersonation.put()))
    return lumo::UniqueHandle();
  return impersonation;
}

// Whether the shell runs in this process's session: on Windows the launcher works for the
// user of that desktop (its token, its hive), and a session without one (a service's) has no
// such user. (Wine hands out the session's user token without a shell.)
inline bool ExplorerInSession() {
  DWORD own = 0, session = 0;
  ::ProcessIdToSessionId(::GetCurrentProcessId(), &own);
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more && !found; more = ::Process32NextW(snapshot, &entry))
    found = _wcsicmp(entry.szExeFile, L"explorer.exe") == 0 && ::ProcessIdToSessionId(entry.th32ProcessID, &session) &&
            session == own;
  ::CloseHandle(snapshot);
  return found;
}

}  // namespace testsupport

#define LUMO_WINE_ONLY(why)                                                               \
  do {                                                                                    \
    ::testing::Test::RecordProperty("class", "wine-only");                                \
    if (!::testsupport::UnderWine()) GTEST_SKIP() << "not Wine: " << why;                 \
  } while (0)

#define LUMO_WINDOWS_ONLY(why)                                                            \
  do {                                                                                    \
    ::testing::Test::RecordProperty("class", "windows-only");                             \
    if (::testsupport::UnderWine()) GTEST_SKIP() << "not Windows: " << why;               \
  } while (0)

#define LUMO_NEEDS_DESKTOP()                                                              \
  do {                                                                                    \
    if (!::testsupport::UnderWine() && !::testsupport::ExplorerInSession())               \
      GTEST_SKIP() << "not applicable here: no desktop (explorer.exe) in this session";   \
  } while (0)

#define LUMO_RELEASE_CHECK(check) ::testsupport::AddProperty("release_check", check)

#define LUMO_ON_WINDOWS(check, what) if (::testsupport::RunsOnWindows(check, what))
