// Processes and tokens of the launcher's session, copies made as the session's user, and
// process creation. None of these keeps state or writes to the log: the callers report.
#include <windows.h>

#include <shellapi.h>
#include <winternl.h>
#include <wtsapi32.h>

#include <algorithm>

#include "launch/impersonate.h"
#include "util/utility.h"

namespace {

// The system's process list, with the session of every process. The session comes with the
// list: asking a process for it needs a handle to the process, which an unelevated
// launcher cannot get for the agent's processes that run as SYSTEM in its session.
bool ListProcesses(std::vector<BYTE>& buffer) {
  using QueryFn = NTSTATUS(NTAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const auto query = ntdll == nullptr ? nullptr
      : reinterpret_cast<QueryFn>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtQuerySystemInformation")));
  if (query == nullptr) return false;
  constexpr NTSTATUS kLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);
  buffer.resize(256 * 1024);
  // Processes come and go between the calls: a few tries with room to spare.
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    const NTSTATUS status =
        query(SystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status >= 0) return true;
    if (status != kLengthMismatch) return false;
    buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 64 * 1024));
  }
  return false;
}

}  // namespace

bool CUtility::FindProcesses(const std::wstring& name, std::vector<DWORD>& ids, DWORD sessionId) {
  ids.clear();
  std::vector<BYTE> buffer;
  if (!ListProcesses(buffer)) return false;

  for (std::size_t offset = 0;;) {
    const auto* process = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buffer.data() + offset);
    const UNICODE_STRING& image = process->ImageName;
    if (image.Buffer != nullptr) {
      const std::wstring imageName(image.Buffer, image.Length / sizeof(wchar_t));
      if (::lstrcmpiW(imageName.c_str(), name.c_str()) == 0 &&
          (sessionId == 0xFFFFFFFF || process->SessionId == sessionId))
        ids.push_back(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(process->UniqueProcessId)));
    }
    if (process->NextEntryOffset == 0) break;
    offset += process->NextEntryOffset;
    if (offset + sizeof(SYSTEM_PROCESS_INFORMATION) > buffer.size()) break;
  }
  return true;
}

BOOL CUtility::GetExplorerToken(lumo::UniqueHandle& token) {
  token.reset();
  // Only the shell of the launcher's own session: the first shell of any session could be
  // another user's on a shared machine, and the work done with this token (copies, the
  // user's registry hive) must land with the user in front of this launcher.
  std::vector<DWORD> shells;
  if (!FindProcesses(L"explorer.exe", shells, GetOwnSessionId()) || shells.empty()) return FALSE;

  lumo::UniqueHandle process(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, shells.front()));
  if (!process) return FALSE;
  lumo::UniqueHandle shellToken;
  if (!::OpenProcessToken(process.get(), TOKEN_ALL_ACCESS, shellToken.put())) return FALSE;
  return ::DuplicateTokenEx(shellToken.get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification,
                            TokenPrimary, token.put());
}

BOOL CUtility::GetSessionUserToken(lumo::UniqueHandle& token) {
  token.reset();
  // Succeeds only for a caller that holds the trusted computing base privilege (SYSTEM).
  if (::WTSQueryUserToken(GetOwnSessionId(), token.put()) && token) return TRUE;
  return GetExplorerToken(token);
}

int CUtility::CopyFileAsUser(const std::wstring& source, const std::wstring& destination) {
  CImpersonateUser scope;

  // One-entry lists, each ended by a second null character.
  std::wstring from = source;
  from.push_back(L'\0');
  std::wstring to = destination;
  to.push_back(L'\0');

  SHFILEOPSTRUCTW operation{};
  operation.hwnd = nullptr;
  operation.wFunc = FO_COPY;
  operation.pFrom = from.c_str();
  operation.pTo = to.c_str();
  // Silent and without confirmation; also without an error box, which would hold the
  // launcher (and the user) on a modal window: the caller logs the result instead.
  operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;

  int result = ::SHFileOperationW(&operation);
  if (result != 0) {
    // The user may lack rights the launcher has: once more with the launcher's own token.
    scope.RevertNow();
    operation.fAnyOperationsAborted = FALSE;
    result = ::SHFileOperationW(&operation);
  }
  return result;
}

BOOL CUtility::StartProcess(const std::wstring& program, PROCESS_INFORMATION& info,
                            const wchar_t* arguments, const wchar_t* currentDirectory,
                            WORD showCommand, bool programInCommandLine) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = showCommand;

  const bool hasArguments = arguments != nullptr && arguments[0] != L'\0';
  std::wstring commandLine;
  if (programInCommandLine) {
    // The program leads the command line in quotes, as its argv[0]. Unquoted, a path with
    // blanks would have the system try each blank-ended prefix first: "C:\Ondrix.exe", which
    // anyone may put there, before "C:\Ondrix Support\x.exe".
    ((commandLine = L"\"") += program) += L'"';
    if (hasArguments) (commandLine += L' ') += arguments;
  } else if (hasArguments) {
    commandLine = arguments;
  }
  // CreateProcessW may write into the command line: give it a buffer of its own.
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');

  info = PROCESS_INFORMATION{};
  // The program is the application name either way: the system never searches for it.
  return ::CreateProcessW(program.c_str(), buffer.data(), nullptr, nullptr, TRUE,
                          CREATE_DEFAULT_ERROR_MODE, nullptr, currentDirectory, &startup, &info);
}
