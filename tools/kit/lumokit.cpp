// The release kit's helper for run-checks.cmd: what cmd cannot do well on Windows 7 to 11.
//   lumokit.exe unblocked DIR           exit 1, naming each file, while a file below DIR carries
//                                       a Zone.Identifier stream (a downloaded zip not unblocked)
//   lumokit.exe elevated                exit 1 unless this runs elevated, as an administrator
//   lumokit.exe snapshot FILE           writes what the kit may leave on the machine (machine_state.h),
//                                       and keeps in FILE.saved what its tests may change
//   lumokit.exe compare FILE            lists what differs from FILE; exit 1 when anything does
//   lumokit.exe clean FILE              removes what was added since FILE and puts back what was
//                                       moved aside or changed; exit 1 when something stays
//   lumokit.exe modules XML PROGRAM...  lists what each PROGRAM maps before its entry point and
//                                       writes the outcome as a test program would (loaded_modules.h);
//                                       exit 1 when one failed
//   lumokit.exe as-user REPORT DIR PROGRAM [ARGS...]
//                                       runs PROGRAM in DIR as a temporary standard user
//                                       (account.h) and writes one line about it to REPORT
// Exit code 2: a usage error.
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "account.h"
#include "loaded_modules.h"
#include "machine_state.h"
#include "utf8.h"

namespace {

using kit::Utf8;

bool UnderWine() { return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// A line on the console, or as UTF-8 into a file or pipe.
void Say(const std::wstring& text) {
  const std::wstring line = text + L"\n";
  DWORD written = 0;
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (!::WriteConsoleW(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
    const std::string bytes = Utf8(line);
    ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
}

// State files are UTF-16 LE without a byte-order mark, as the machine's own names are.
bool WriteText(const std::wstring& path, const std::wstring& text) {
  std::ofstream file(path.c_str(), std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(text.data()), static_cast<std::streamsize>(text.size() * sizeof(wchar_t)));
  return static_cast<bool>(file);
}

bool ReadText(const std::wstring& path, std::wstring& text) {
  std::ifstream file(path.c_str(), std::ios::binary);
  if (!file) return false;
  std::ostringstream bytes;
  bytes << file.rdbuf();
  const std::string raw = bytes.str();
  text.assign(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / sizeof(wchar_t));
  return true;
}

// The files below `folder` that carry the stream a browser adds to what it downloads.
void FindMarked(const std::wstring& folder, int& marked) {
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName, path = folder + L"\\" + name;
    if (name == L"." || name == L"..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      FindMarked(path, marked);
      continue;
    }
    const HANDLE stream = ::CreateFileW((path + L":Zone.Identifier").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
    if (stream == INVALID_HANDLE_VALUE) continue;
    ::CloseHandle(stream);
    Say(L"  " + path);
    ++marked;
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
}

int Unblocked(const std::wstring& folder) {
  if (UnderWine()) {
    Say(L"Wine keeps no NTFS streams: whether the kit was unblocked cannot be told here.");
    return 0;
  }
  int marked = 0;
  FindMarked(folder, marked);
  if (marked == 0) return 0;
  Say(std::to_wstring(marked) + L" files of the kit still carry the mark of a download (Zone.Identifier).");
  Say(L"Windows would stop the launcher's elevated relaunch at its open-file security warning. Unblock the zip");
  Say(L"(its Properties, \"Unblock\") and unpack it again, or run: powershell Get-ChildItem -Recurse | Unblock-File");
  return 1;
}

int Elevated() {
  HANDLE token = nullptr;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof admins;
  BOOL member = FALSE;
  const bool elevated = ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) &&
                        ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                        elevation.TokenIsElevated != 0;
  if (token != nullptr) ::CloseHandle(token);
  const bool admin = ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &sidSize) &&
                     ::CheckTokenMembership(nullptr, admins, &member) && member;
  if (elevated && admin) return 0;
  Say(L"Start run-checks.cmd from an elevated command prompt of an administrator (\"Run as administrator\").");
  return 1;
}

int Compare(const std::wstring& file) {
  std::wstring text;
  if (!ReadText(file, text)) {
    Say(L"Machine state: no snapshot at " + file);
    return 1;
  }
  const std::wstring differences = kit::Differences(kit::ParseState(text), kit::ReadMachineState());
  if (differences.empty()) {
    Say(L"Machine state: as the kit found it.");
    return 0;
  }
  Say(L"Machine state: NOT as the kit found it:");
  std::wistringstream lines(differences);
  for (std::wstring line; std::getline(lines, line);) Say(L"  " + line);
  return 1;
}

// The state, and beside it ("FILE.saved") what of it the run may change.
int Snapshot(const std::wstring& file) {
  const kit::MachineState state = kit::ReadMachineState();
  return WriteText(file, kit::FormatState(state)) && kit::SaveContents(state, file + L".saved") ? 0 : 1;
}

// A folder moved aside goes back first (what stands at its name is the run's; one that cannot
// go back stays where it is, with all it holds), then what was added goes, then what was
// changed is written back.
int Clean(const std::wstring& file) {
  std::wstring text, report;
  if (!ReadText(file, text)) return 0;  // no earlier state: nothing of the kit's to remove
  const kit::MachineState before = kit::ParseState(text);
  std::vector<std::wstring> stranded;
  bool all = kit::PutBackMovedFolders(file + L".saved", stranded, report);
  kit::MachineState now = kit::ReadMachineState();
  for (const std::wstring& path : stranded) kit::LeaveOut(now, path);
  all = kit::RemoveAdded(before, now, report) && all;
  all = kit::PutBackChanged(before, file + L".saved", report) && all;
  std::wistringstream lines(report);
  for (std::wstring line; std::getline(lines, line);) Say(L"  " + line);
  return all ? 0 : 1;
}

int AsUser(int argc, wchar_t** argv) {
  std::wstring line;
  for (int i = 4; i < argc; ++i) line += (i > 4 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
  long exitCode = -1;
  const std::wstring report =
      UnderWine() ? L"not made: Wine has one account, an administrator (the standard user's tests do not run here)"
                  : kit::RunAsStandardUser(line, argv[3], exitCode);
  Say(L"Second account: " + report);
  std::ofstream(argv[2], std::ios::binary) << Utf8(report) << "\r\n";
  return report.compare(0, 9, L"not made:") == 0 ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"unblocked" && argc == 3) return Unblocked(argv[2]);
  if (command == L"elevated" && argc == 2) return Elevated();
  if (command == L"snapshot" && argc == 3) return Snapshot(argv[2]);
  if (command == L"compare" && argc == 3) return Compare(argv[2]);
  if (command == L"clean" && argc == 3) return Clean(argv[2]);
  if (command == L"as-user" && argc >= 5) return AsUser(argc, argv);
  if (command == L"modules" && argc >= 4)
    return kit::WriteModulesReport(argv[2], std::vector<std::wstring>(argv + 3, argv + argc)) == 0 ? 0 : 1;
  Say(L"usage: lumokit.exe unblocked DIR | elevated | snapshot FILE | compare FILE | clean FILE |\n"
      L"       modules XML PROGRAM... | as-user REPORT DIR PROGRAM [ARGS...]");
  return 2;
}
