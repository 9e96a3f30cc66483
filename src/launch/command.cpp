// Command execution: the one way the launcher runs an external step. The interpreter runs
// hidden in the work folder, with the system's environment and nothing to read; the launcher
// waits for it through the animated wait.
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>
#include <vector>

#include "app/app.h"
#include "launch/backup.h"
#include "launch/command.h"
#include "launch/core/command_environment.h"
#include "launch/core/command_lines.h"
#include "launch/impersonate.h"
#include "launch/product.h"
#include "ui/loading.h"
#include "unpack/folder_tree.h"
#include "util/folder_chain.h"
#include "util/launcher_file.h"
#include "util/loaded_function.h"
#include "util/utility.h"

namespace {

constexpr const wchar_t* kSource = L"CUnPackFileApp::ExecuteCommand";
constexpr DWORD kPollSliceMs = 120;

std::wstring Interpreter() {
  wchar_t windows[MAX_PATH] = {};
  ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
  wchar_t system[MAX_PATH] = {};
  ::GetSystemDirectoryW(system, MAX_PATH);
  return lumo::InterpreterPath(CUtility::IsPreVista(), CUtility::IsWow64(), windows, system);
}

// One of the machine's environment values, as stored, into `value` (room for 32767 characters
// and a null, the longest an environment value may be); empty when it cannot be read.
void ReadMachineValue(HKEY key, const wchar_t* name, wchar_t* value) {
  DWORD type = 0, size = 32767 * sizeof(wchar_t);
  if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    value[0] = L'\0';
}

// The commands' own environment block (launch/core/command_environment.h). The machine's
// Path and PATHEXT are read here, read-only, from the machine's hive: CRegistry reaches only
// the session user's hive, and these are no setting of the agent's.
std::wstring CommandEnvironmentBlock() {
  wchar_t windows[MAX_PATH] = {};
  ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
  std::wstring values(2 * 32768, L'\0');  // Path, then PATHEXT
  lumo::UniqueKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
                      KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS) {
    ReadMachineValue(key.get(), L"Path", &values[0]);
    ReadMachineValue(key.get(), L"PATHEXT", &values[32768]);
  }
  wchar_t* own = ::GetEnvironmentStringsW();
  std::wstring block = lumo::CommandEnvironment(own, windows, &values[0], &values[32768]);
  if (own != nullptr) ::FreeEnvironmentStringsW(own);
  return block;
}

// A command may itself end with exit code 259 (STILL_ACTIVE); the process handle's state
// tells that apart from a command that still runs.
bool HasEnded(HANDLE process, DWORD& exitCode) {
  if (!::GetExitCodeProcess(process, &exitCode)) exitCode = STILL_ACTIVE;
  if (exitCode != STILL_ACTIVE) return true;
  return ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

}  // namespace

int CUnPackFileApp::ExecuteCommand(const std::wstring& workFolder, const std::wstring& parameters, bool backup) {
  return lumo::ExecuteProgram(Interpreter(), workFolder, parameters, backup, &m_pMainWnd);
}

int lumo::ExecuteProgram(const std::wstring& program, const std::wstring& workFolder,
                         const std::wstring& parameters, bool backup, CLoadingWnd** loadingWindow) {
  // The work folder stays the current directory afterwards: later steps resolve the task
  // definition and the agent's files against it.
  ::SetCurrentDirectoryW(workFolder.c_str());

  // Started directly, never through the shell: its "open" of an executable goes through the
  // exefile association, which the user's HKCU\Software\Classes overrides for an elevated
  // caller too. Standard input is the null device, so that no command waits on a question
  // (schtasks asks before it replaces a task); output and error go nowhere, as nothing reads
  // them.
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  lumo::UniqueFile input(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                       OPEN_EXISTING, 0, nullptr));
  // That handle and no other is inherited: a process started with handle inheritance otherwise
  // gets every inheritable handle of the launcher. Attribute lists came with Windows Vista;
  // without them the command inherits nothing and has no input at all.
  using InitializeFn = BOOL(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD, PSIZE_T);
  using UpdateFn = BOOL(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID, SIZE_T, PVOID, PSIZE_T);
  using DeleteFn = VOID(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST);
  const auto initialize = lumo::LoadedFunction<InitializeFn>(L"kernel32.dll", "InitializeProcThreadAttributeList");
  const auto update = lumo::LoadedFunction<UpdateFn>(L"kernel32.dll", "UpdateProcThreadAttribute");
  const auto release = lumo::LoadedFunction<DeleteFn>(L"kernel32.dll", "DeleteProcThreadAttributeList");
  alignas(8) BYTE attributes[128];  // a list of one attribute takes 48 bytes on x64
  const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes);
  SIZE_T size = sizeof(attributes);
  HANDLE inherited = input.get();
  bool listed = initialize != nullptr && update != nullptr && release != nullptr && input &&
                initialize(list, 1, 0, &size);
  if (listed && !update(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &inherited, sizeof(inherited), nullptr, nullptr)) {
    release(list);
    listed = false;
  }

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = listed ? sizeof(startup) : sizeof(STARTUPINFOW);
  startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  if (listed) {
    startup.StartupInfo.hStdInput = inherited;
    startup.lpAttributeList = list;
  }
  std::wstring commandLine(1, L'"');
  ((commandLine += program) += L"\" ") += parameters;
  std::wstring environment = CommandEnvironmentBlock();
  lumo::UniqueProcessInformation created;
  const BOOL started = ::CreateProcessW(
      program.c_str(), &commandLine[0], nullptr, nullptr, listed,
      CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0), &environment[0],
      workFolder.c_str(), &startup.StartupInfo, &created.info);
  const DWORD error = ::GetLastError();
  if (listed) release(list);
  if (!started) {
    CUtility::Log(L"[%ls] fail %d", kSource, static_cast<int>(error));
    return static_cast<int>(error);
  }
  const HANDLE process = created.info.hProcess;
  const DWORD processId = created.info.dwProcessId;
  CUtility::Log(L"[%ls] succ wait pid:%d", kSource, static_cast<int>(processId));

  if (backup) lumo::WriteBackupForElevation();

  bool windowSeen = false;
  DWORD exitCode = STILL_ACTIVE;
  do {
    // Only the product start watches for the agent's window: once it exists the loading
    // window has done its job.
    if (backup && !windowSeen && lumo::FindProductWindow() != nullptr) {
      windowSeen = true;
      CloseLoadingWindow(loadingWindow);
    }
    AnimatedWait(kPollSliceMs);
  } while (!HasEnded(process, exitCode));

  created.reset();
  CUtility::Log(L"[%ls] pid:%d finish ecode:%d", kSource, static_cast<int>(processId), static_cast<int>(exitCode));
  return static_cast<int>(exitCode);
}
