// Where a Windows-side test runs: under Wine here, on Windows from the release kit
// (scripts/windows-kit). A test runs on both unless marked LUMO_WINE_ONLY(why) (it leans on what
// only the project's prefix has; on Windows it skips with "not Wine: why") or
// LUMO_WINDOWS_ONLY(why) (under Wine it skips with "not Windows: why"). LUMO_ON_WINDOWS("N",
// "what") { ... } holds what only Windows answers for release check N, recorded as skipped
// under Wine; LUMO_RELEASE_CHECK("N") tags a test that answers check N as it stands. A test that
// cannot answer on this machine skips with "not applicable here: why" or "by hand: why". The
// kit's summary reads all of it from GoogleTest's XML (RecordProperty).
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

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

// The version Windows reports, whatever the program's manifest admits.
inline OSVERSIONINFOEXW WindowsVersion() {
  OSVERSIONINFOEXW info{sizeof info};
  const auto get = reinterpret_cast<LONG(WINAPI*)(OSVERSIONINFOEXW*)>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  if (get != nullptr) get(&info);
  return info;
}

inline bool IsWindows10OrLater() { return WindowsVersion().dwMajorVersion >= 10; }

// The exit code of the system's schtasks for `arguments` (the stand-in in the project's prefix).
inline long SystemSchtasks(const std::wstring& arguments) {
  return RunWait(NativeInterpreter() + L" /d /c " + NativeSystemFolder() + L"\\schtasks.exe " + arguments + L" >nul 2>nul");
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

// Whether a test may take over "Ondrix" in the common application-data folder: under Wine (the
// project's prefix) always; on Windows only where none stands or the kit found none before its
// run (run-checks.cmd sets LUMOKIT_ONDRIX_ABSENT), since one that stood may be the product's.
inline bool OndrixMayBeTakenOver() {
  wchar_t common[MAX_PATH] = {};
  char absent[4] = {};
  return UnderWine() || ::GetEnvironmentVariableA("LUMOKIT_ONDRIX_ABSENT", absent, sizeof absent) != 0 ||
         FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common)) ||
         ::GetFileAttributesW((std::wstring(common) + L"\\Ondrix").c_str()) == INVALID_FILE_ATTRIBUTES;
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

#define LUMO_RELEASE_CHECK(check) ::testsupport::AddProperty("release_check", check)

// For a test that takes over "Ondrix" (above): elsewhere it is not applicable here.
#define LUMO_ONLY_WHERE_ONDRIX_MAY_BE_TAKEN_OVER()                                        \
  do {                                                                                    \
    if (!::testsupport::OndrixMayBeTakenOver())                                           \
      GTEST_SKIP() << "not applicable here: Ondrix stood in the common application-data " \
                      "folder before the kit ran";                                        \
  } while (0)

#define LUMO_ON_WINDOWS(check, what) if (::testsupport::RunsOnWindows(check, what))
