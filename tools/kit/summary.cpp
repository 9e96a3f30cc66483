// The release kit's summary: reads GoogleTest's XML results of the kit's run and writes
// results\summary.txt (and shows it): the machine, one line per release check, the counts per
// class of test, and a closing line "N passed, N failed".
//   lumokit-summary.exe CHECKS RESULTS
// CHECKS is the kit's checks.txt (summary_core.h); RESULTS the folder holding:
//   *.xml          one per run of a test program (--gtest_output=xml:...)
//   runs.txt       "NAME EXITCODE" per program run-checks.cmd started; a NAME.xml missing is a failure;
//                  "NAME skipped: WHY" for one it did not start
//   account.txt    what became of the second, standard account (lumokit.exe as-user)
//   machine.txt    whether the machine is as the kit found it (lumokit.exe compare)
// Exit code: 0 when nothing failed, 1 otherwise, 2 for a usage error.
#include <windows.h>
#include <winternl.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "summary_core.h"
#include "utf8.h"

namespace {

using kit::Utf8;

std::string ReadFile(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

DWORD MachineDword(const wchar_t* key, const wchar_t* name, DWORD fallback) {
  DWORD value = 0, size = sizeof value;
  return ::RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD, nullptr, &value,
                        &size) == ERROR_SUCCESS
             ? value
             : fallback;
}

bool ExplorerInSession(DWORD session) {
  // The system's process list names each process's session without opening it.
  using Query = NTSTATUS(WINAPI*)(SYSTEM_INFORMATION_CLASS, void*, ULONG, ULONG*);
  const auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  std::vector<BYTE> buffer(4 << 20);
  ULONG needed = 0;
  if (query == nullptr ||
      query(SystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) != 0)
    return false;
  for (size_t at = 0;;) {
    const auto* process = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buffer.data() + at);
    const std::wstring name(process->ImageName.Buffer != nullptr ? process->ImageName.Buffer : L"",
                            process->ImageName.Length / sizeof(wchar_t));
    if (process->SessionId == session && _wcsicmp(name.c_str(), L"explorer.exe") == 0) return true;
    if (process->NextEntryOffset == 0) return false;
    at += process->NextEntryOffset;
  }
}

// What the summary says of the machine, and why its results are no release run where so.
std::vector<std::string> MachineLines(bool* releaseRun) {
  std::vector<std::string> lines;
  std::vector<std::string> notRelease;
  using WineVersion = const char*(__cdecl*)();
  const auto wine = reinterpret_cast<WineVersion>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
  OSVERSIONINFOEXW os{};
  os.dwOSVersionInfoSize = sizeof os;
  using GetVersion = LONG(WINAPI*)(OSVERSIONINFOEXW*);
  const auto getVersion = reinterpret_cast<GetVersion>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  if (getVersion != nullptr) getVersion(&os);
  const DWORD revision = MachineDword(L"Software\\Microsoft\\Windows NT\\CurrentVersion", L"UBR", 0);
  std::string system = "Windows " + std::to_string(os.dwMajorVersion) + "." + std::to_string(os.dwMinorVersion) +
                       " build " + std::to_string(os.dwBuildNumber) + (revision ? "." + std::to_string(revision) : "") +
                       (os.szCSDVersion[0] ? " " + Utf8(os.szCSDVersion) : "") +
                       (os.wProductType == VER_NT_WORKSTATION ? ", a workstation" : ", a Server edition");
  if (wine != nullptr) {
    system = "Wine " + std::string(wine()) + " (reporting " + system + ")";
    notRelease.push_back("Wine");
  } else if (os.wProductType != VER_NT_WORKSTATION) {
    notRelease.push_back("a Server edition");
  }
  lines.push_back("Machine: " + system);
  const DWORD lua = MachineDword(L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", L"EnableLUA", 1);
  lines.push_back("User Account Control: EnableLUA=" + std::to_string(lua) + (lua ? "" : " (off)"));
  if (lua == 0) notRelease.push_back("User Account Control off");

  DWORD session = 0;
  ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
  const bool shell = ExplorerInSession(session);
  lines.push_back("Session: " + std::to_string(session) + "; explorer.exe " + (shell ? "runs in it" : "does not run in it"));
  if (!shell) notRelease.push_back("no desktop in the session");

  wchar_t user[256] = {};
  DWORD size = 256;
  ::GetUserNameW(user, &size);
  HANDLE token = nullptr;
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  TOKEN_ELEVATION elevation{};
  DWORD returned = 0;
  if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    ::GetTokenInformation(token, TokenElevationType, &type, sizeof type, &returned);
    ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &returned);
    ::CloseHandle(token);
  }
  lines.push_back("Account: " + Utf8(user) +
                  (type == TokenElevationTypeFull      ? ", elevated (the full half of a split token)"
                   : type == TokenElevationTypeLimited ? ", not elevated"
                   : elevation.TokenIsElevated         ? ", elevated, without a split token"
                                                       : ", not elevated, without a split token"));
  *releaseRun = notRelease.empty();
  std::string reasons;
  for (const std::string& reason : notRelease) reasons += (reasons.empty() ? "" : ", ") + reason;
  if (!notRelease.empty()) lines.push_back("Not a release run: " + reasons + ".");
  return lines;
}

std::vector<std::wstring> ResultFiles(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((folder + L"\\*.xml").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do names.push_back(data.cFileName);
  while (::FindNextFileW(find, &data));
  ::FindClose(find);
  return names;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    fwprintf(stderr, L"usage: lumokit-summary.exe CHECKS RESULTS\n");
    return 2;
  }
  const std::wstring results = argv[2];
  const std::vector<kit::ReleaseCheck> checks = kit::ReadChecks(ReadFile(argv[1]));
  if (checks.empty()) {
    fwprintf(stderr, L"lumokit-summary: no release checks in %ls\n", argv[1]);
    return 2;
  }

  std::vector<kit::TestResult> tests;
  kit::RunContext context;
  for (const std::wstring& file : ResultFiles(results)) {
    const std::string program = Utf8(file.substr(0, file.size() - 4));
    for (const kit::TestResult& test : kit::ReadGoogleTestXml(ReadFile(results + L"\\" + file), program))
      tests.push_back(test);
    if (program.compare(0, 13, "standard-user") == 0) context.standardUserRan = true;
  }
  // A program that ended without its XML (a crash, a hang cut short) is one failure; one the
  // kit did not run ("NAME skipped: why", the 32-bit programs where they cannot run) is named.
  std::vector<std::string> notRun;
  for (const std::string& run : Lines(ReadFile(results + L"\\runs.txt"))) {
    const std::string name = run.substr(0, run.find(' '));
    if (run.compare(name.size(), 10, " skipped: ") == 0) {
      notRun.push_back("Not run: " + name + " (" + run.substr(name.size() + 10) + ")");
      continue;
    }
    if (::GetFileAttributesW((results + L"\\" + std::wstring(name.begin(), name.end()) + L".xml").c_str()) !=
        INVALID_FILE_ATTRIBUTES)
      continue;
    kit::TestResult missing;
    missing.name = "(the whole program)";
    missing.program = name;
    missing.failed = true;
    missing.message = "no results (" + run.substr(run.find(' ') + 1) + ")";
    tests.push_back(missing);
  }

  bool releaseRun = false;
  std::vector<std::string> out = {"LUMO release checks on this machine", ""};
  for (const std::string& line : MachineLines(&releaseRun)) out.push_back(line);
  context.wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  const std::vector<std::string> account = Lines(ReadFile(results + L"\\account.txt"));
  const std::string accountLine = account.empty() ? "not run" : account.back();
  if (!context.standardUserRan) context.standardUserReason = "second account: " + accountLine;
  out.push_back("Second account: " + accountLine);
  out.insert(out.end(), notRun.begin(), notRun.end());
  for (const std::string& line : Lines(ReadFile(results + L"\\machine.txt"))) out.push_back(line);
  out.push_back("");
  out.push_back("Release checks (docs/RELEASE-CHECKS.md):");
  for (const kit::ReleaseCheck& check : checks)
    out.push_back(" " + check.number + ". " + check.title + ": " + kit::CheckLine(check, tests, context));
  out.push_back("");
  const std::vector<std::string> closing = kit::ClosingLines(tests, context.wine);
  out.insert(out.end(), closing.begin(), closing.end());

  std::string text;
  for (const std::string& line : out) text += line + "\r\n";
  std::ofstream((results + L"\\summary.txt").c_str(), std::ios::binary) << text;
  fwrite(text.data(), 1, text.size(), stdout);
  bool failed = false;
  for (const kit::TestResult& test : tests) failed = failed || test.failed;
  return failed ? 1 : 0;
}
