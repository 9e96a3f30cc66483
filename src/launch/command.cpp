// Command execution: the one way the launcher runs an external step. The interpreter runs
// hidden in the work folder, with nothing to read and, in an elevated run, an environment
// made from the system's own; the launcher waits for it through the animated wait.
#include <windows.h>
#include <userenv.h>

#include "app/app.h"
#include "launch/backup.h"
#include "launch/command.h"
#include "launch/core/command_environment.h"
#include "launch/core/command_lines.h"
#include "launch/product.h"
#include "ui/loading.h"
#include "util/loaded_function.h"
#include "util/utility.h"

namespace {

constexpr const char* kSource = "CUnPackFileApp::ExecuteCommand";
constexpr DWORD kPollSliceMs = 120;

std::wstring Interpreter() {
  wchar_t windows[MAX_PATH] = {};
  ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
  wchar_t system[MAX_PATH] = {};
  ::GetSystemDirectoryW(system, MAX_PATH);
  return lumo::InterpreterPath(CUtility::IsPreVista(), CUtility::IsWow64(), windows, system);
}

// The block an elevated run's command gets (launch/core/command_environment.h), made from
// the system's own block: false, with the Win32 error, when that cannot be had; the command
// then does not run.
bool ElevatedEnvironment(bool manager, const std::wstring& workFolder, std::wstring& block, DWORD& error) {
  void* system = nullptr;
  if (!::CreateEnvironmentBlock(&system, nullptr, FALSE) || system == nullptr) {
    error = ::GetLastError();
    if (error == ERROR_SUCCESS) error = ERROR_ENVVAR_NOT_FOUND;
    return false;
  }
  wchar_t windows[MAX_PATH] = {}, folder[MAX_PATH] = {};
  ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
  ::GetSystemDirectoryW(folder, MAX_PATH);
  wchar_t* own = ::GetEnvironmentStringsW();
  block = lumo::CommandEnvironment(true, manager, own, static_cast<const wchar_t*>(system), windows, folder, workFolder);
  if (own != nullptr) ::FreeEnvironmentStringsW(own);
  ::DestroyEnvironmentBlock(system);
  return true;
}

// A command may itself end with exit code 259 (STILL_ACTIVE); the process handle's state
// tells that apart from a command that still runs.
bool HasEnded(HANDLE process, DWORD& exitCode) {
  if (!::GetExitCodeProcess(process, &exitCode)) exitCode = STILL_ACTIVE;
  if (exitCode != STILL_ACTIVE) return true;
  return ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

}  // namespace

int CUnPackFileApp::ExecuteCommand(const std::wstring& workFolder, const std::wstring& parameters, bool backup,
                                   DWORD limitMs) {
  // First, whatever becomes of the command: the work folder stays the current directory
  // afterwards, and later steps resolve the task definition and the agent's files against it.
  ::SetCurrentDirectoryW(workFolder.c_str());
  // Only the manager's start asks for the backup copy. An unelevated run's commands get its own
  // environment as it stands; an elevated run's get blocks of their own.
  std::wstring environment;
  DWORD error = ERROR_SUCCESS;
  if (CUtility::IsProcessElevated() && !ElevatedEnvironment(backup, workFolder, environment, error)) {
    CUtility::Log("[%s] fail %d", kSource, static_cast<int>(error));
    return static_cast<int>(error);
  }
  return lumo::ExecuteProgram(Interpreter(), workFolder, parameters, backup, &m_pMainWnd, environment, limitMs);
}

int lumo::ExecuteProgram(const std::wstring& program, const std::wstring& workFolder,
                         const std::wstring& parameters, bool backup, CLoadingWnd** loadingWindow,
                         std::wstring environment, DWORD limitMs) {
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
  // A command with a limit runs only once it is in a job of its own, so that ending the job
  // ends everything it started (schtasks under the interpreter) before any of it can leave.
  const bool limited = limitMs != INFINITE;
  lumo::UniqueProcessInformation created;
  const BOOL started = ::CreateProcessW(
      program.c_str(), &commandLine[0], nullptr, nullptr, listed,
      CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0) |
          (limited ? CREATE_SUSPENDED : 0),
      environment.empty() ? nullptr : &environment[0], workFolder.c_str(), &startup.StartupInfo, &created.info);
  const DWORD error = ::GetLastError();
  if (listed) release(list);
  if (!started) {
    CUtility::Log("[%s] fail %d", kSource, static_cast<int>(error));
    return static_cast<int>(error);
  }
  const HANDLE process = created.info.hProcess;
  const DWORD processId = created.info.dwProcessId;
  lumo::UniqueHandle job;
  if (limited) {
    // Windows 7 puts no process into a second job: a launcher started inside one can then end
    // only the interpreter.
    job.reset(::CreateJobObjectW(nullptr, nullptr));
    if (job && !::AssignProcessToJobObject(job.get(), process)) job.reset();
    ::ResumeThread(created.info.hThread);
  }
  CUtility::Log("[%s] succ wait pid:%d", kSource, static_cast<int>(processId));

  if (backup) lumo::WriteBackupForElevation();

  const DWORD start = ::GetTickCount();
  bool windowSeen = false;
  DWORD exitCode = STILL_ACTIVE;
  do {
    if (limited && ::GetTickCount() - start >= limitMs) {
      // The step has failed; nothing of it is left waiting.
      const bool whole = job && ::TerminateJobObject(job.get(), ERROR_TIMEOUT);
      if (!whole) ::TerminateProcess(process, ERROR_TIMEOUT);
      CUtility::Log("[%s] pid:%d did not end within %d s; ended %s", kSource, static_cast<int>(processId),
                    static_cast<int>(limitMs / 1000), whole ? "with all it started" : "alone, outside a job");
      return ERROR_TIMEOUT;
    }
    // Only the product start watches for the agent's window: once it exists the loading
    // window has done its job.
    if (backup && !windowSeen && lumo::FindProductWindow() != nullptr) {
      windowSeen = true;
      CloseLoadingWindow(loadingWindow);
    }
    AnimatedWait(kPollSliceMs);
  } while (!HasEnded(process, exitCode));

  created.reset();
  CUtility::Log("[%s] pid:%d finish ecode:%d", kSource, static_cast<int>(processId), static_cast<int>(exitCode));
  return static_cast<int>(exitCode);
}
