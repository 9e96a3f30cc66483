// Command execution: the one way the launcher runs an external step. The interpreter runs
// hidden in the work folder; the launcher waits for it through the animated wait.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <vector>

#include "app/app.h"
#include "launch/command.h"
#include "launch/core/command_lines.h"
#include "launch/product.h"
#include "ui/loading.h"
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

  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"open";
  info.lpFile = program.c_str();
  info.lpParameters = parameters.c_str();
  info.nShow = SW_HIDE;
  if (!::ShellExecuteExW(&info) || info.hProcess == nullptr) {
    const DWORD error = ::GetLastError();
    CUtility::Log(L"[%ls] fail %d", kSource, static_cast<int>(error));
    return static_cast<int>(error);
  }
  lumo::UniqueHandle process(info.hProcess);
  const DWORD processId = ::GetProcessId(process.get());
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
  } while (!HasEnded(process.get(), exitCode));

  process.reset();
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
