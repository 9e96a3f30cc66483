// Command execution: the one way the launcher runs an external step. The interpreter runs
// hidden in the work folder, with the system's environment and nothing to read; the launcher
// waits for it through the animated wait.
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <vector>

#include "app/app.h"
#include "launch/command.h"
#include "launch/core/command_environment.h"
#include "launch/core/command_lines.h"
#include "launch/product.h"
#include "ui/loading.h"
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

// A copy of the launcher in the shared temp folder, named after the session and the
// launcher's version, for the agent's later use.
void WriteBackupForElevation() {
  DWORD versionMS = 0, versionLS = 0;
  CUtility::GetProductVersion(versionMS, versionLS);
  const std::wstring source = CUtility::GetModulePath();
  const std::wstring destination = lumo::BackupFileName(
      CUtility::GetSharedTempFolder(), static_cast<int>(GetOwnSessionId()), versionMS, versionLS);
  const int result = CUtility::CopyFileAsUser(source, destination);
  CUtility::Log(L"[%ls] backup for elevation %ls to %ls %d", kSource, source.c_str(), destination.c_str(), result);
}

// One of the machine's environment values, as stored; empty when it cannot be read.
std::wstring MachineValue(HKEY key, const wchar_t* name) {
  DWORD type = 0, size = 0;
  if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return std::wstring();
  std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  if (::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value[0]), &size) != ERROR_SUCCESS)
    return std::wstring();
  value.resize(::lstrlenW(value.c_str()));
  return value;
}

// The commands' own environment block (launch/core/command_environment.h). The machine's
// Path and PATHEXT are read here, read-only, from the machine's hive: CRegistry reaches only
// the session user's hive, and these are no setting of the agent's.
std::wstring CommandEnvironmentBlock() {
  lumo::SystemEnvironment system;
  wchar_t folder[MAX_PATH] = {};
  ::GetSystemWindowsDirectoryW(folder, MAX_PATH);
  system.windowsFolder = folder;
  ::GetSystemDirectoryW(folder, MAX_PATH);
  system.systemFolder = folder;
  lumo::UniqueKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
                      KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS) {
    system.path = MachineValue(key.get(), L"Path");
    system.pathExt = MachineValue(key.get(), L"PATHEXT");
  }
  wchar_t* own = ::GetEnvironmentStringsW();
  std::wstring block = lumo::CommandEnvironment(own, system);
  if (own != nullptr) ::FreeEnvironmentStringsW(own);
  return block;
}

// The attribute list of a new process that may inherit one handle and no other: a process
// started with handle inheritance otherwise gets every inheritable handle of the launcher.
// Attribute lists came with Windows Vista; without them get() is null and the caller lets the
// process inherit nothing.
class InheritOnly {
 public:
  explicit InheritOnly(HANDLE handle) : handle_(handle) {
    using InitializeFn = BOOL(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD, PSIZE_T);
    using UpdateFn = BOOL(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID, SIZE_T, PVOID, PSIZE_T);
    const auto initialize = lumo::LoadedFunction<InitializeFn>(L"kernel32.dll", "InitializeProcThreadAttributeList");
    const auto update = lumo::LoadedFunction<UpdateFn>(L"kernel32.dll", "UpdateProcThreadAttribute");
    delete_ = lumo::LoadedFunction<DeleteFn>(L"kernel32.dll", "DeleteProcThreadAttributeList");
    if (initialize == nullptr || update == nullptr || delete_ == nullptr || handle == INVALID_HANDLE_VALUE) return;
    SIZE_T size = 0;
    initialize(nullptr, 1, 0, &size);
    buffer_.resize(size);
    const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    if (size == 0 || !initialize(list, 1, 0, &size)) return;
    list_ = list;
    if (!update(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &handle_, sizeof(handle_), nullptr, nullptr)) Reset();
  }
  ~InheritOnly() { Reset(); }
  InheritOnly(const InheritOnly&) = delete;
  InheritOnly& operator=(const InheritOnly&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  using DeleteFn = VOID(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST);
  void Reset() {
    if (list_ != nullptr) delete_(list_);
    list_ = nullptr;
  }
  HANDLE handle_;  // the list refers to this member until the process is created
  DeleteFn delete_ = nullptr;
  std::vector<BYTE> buffer_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

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
  InheritOnly inherit(input.get());
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(STARTUPINFOW);
  startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  DWORD flags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;
  if (inherit.get() != nullptr) {
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.hStdInput = input.get();
    startup.lpAttributeList = inherit.get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  std::wstring commandLine = L"\"" + program + L"\" " + parameters;
  std::wstring environment = CommandEnvironmentBlock();
  lumo::UniqueProcessInformation created;
  if (!::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, inherit.get() != nullptr, flags,
                        &environment[0], workFolder.c_str(), &startup.StartupInfo, &created.info)) {
    const DWORD error = ::GetLastError();
    CUtility::Log(L"[%ls] fail %d", kSource, static_cast<int>(error));
    return static_cast<int>(error);
  }
  const HANDLE process = created.info.hProcess;
  const DWORD processId = created.info.dwProcessId;
  CUtility::Log(L"[%ls] succ wait pid:%d", kSource, static_cast<int>(processId));

  if (backup) WriteBackupForElevation();

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

std::wstring CUtility::GetSharedTempFolder() {
  wchar_t folder[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder))) {
    ::GetWindowsDirectoryW(folder, MAX_PATH);
    ::PathAppendW(folder, L"Temp");
    return folder;
  }
  // Failures to create are ignored here: the copy into the folder then fails and is logged.
  for (const wchar_t* part : {L"Ondrix", L"Temp"}) {
    ::PathAppendW(folder, part);
    if (!::PathFileExistsW(folder)) ::CreateDirectoryW(folder, nullptr);
  }
  return folder;
}

BOOL CUtility::GetProductVersion(DWORD& versionMS, DWORD& versionLS) {
  const std::wstring path = GetModulePath();
  DWORD handle = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &handle);
  if (size == 0) return FALSE;
  std::vector<BYTE> block(size);
  if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return FALSE;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  const BOOL found = ::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length);
  if (found && fixed != nullptr && length >= sizeof(VS_FIXEDFILEINFO)) {
    versionMS = fixed->dwProductVersionMS;
    versionLS = fixed->dwProductVersionLS;
  }
  return found;
}
