// Command execution: the one way the launcher runs an external step. The interpreter runs
// hidden in the work folder, with nothing to read and, in an elevated run, an environment
// made from the system's own; the launcher waits for it through the animated wait.
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <userenv.h>

#include <cstring>
#include <vector>

#include "app/app.h"
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

// The launcher's own bytes, read through the held file, into `name` in the held folder.
// The name is opened as itself: a link or a file with other names there is refused
// (`verdict`), so nothing lands behind it. A copy that breaks off is deleted.
DWORD CopyOwnFile(HANDLE folder, const std::wstring& name, lumo::Verdict& verdict) {
  const CLauncherFile* own = CLauncherFile::Own();
  lumo::UniqueFile file;
  DWORD error = ERROR_INVALID_HANDLE;
  const lumo::CheckedOpen create{GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, 0, FILE_OPEN_IF, false};
  if (own == nullptr) return error;
  verdict = lumo::OpenChecked(folder, name, create, file, error);
  if (verdict != lumo::Verdict::kAccepted) return error != 0 ? error : ERROR_CANT_ACCESS_FILE;
  std::vector<char> buffer(64 * 1024);
  DWORD got = 0, written = 0;
  bool ok = ::SetEndOfFile(file.get()) != FALSE;  // an older file of that name is truncated
  for (uint64_t at = 0; ok; at += got) {
    ok = own->ReadAt(at, buffer.data(), static_cast<DWORD>(buffer.size()), got);
    if (ok && got == 0) return ERROR_SUCCESS;
    ok = ok && ::WriteFile(file.get(), buffer.data(), got, &written, nullptr) && written == got;
  }
  error = ::GetLastError();
  lumo::DeleteEntryAt(file.get());
  return error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT;
}

// A copy of the launcher in the shared temp folder, named after the session and the
// launcher's version, for the agent's later use. Its bytes are the held file's: what runs,
// not what lies at the launcher's path by now.
//
// The folders and the copy are made in the session user's token alone: an elevated run
// must not write where the user could not. Without a token of the user an elevated run
// writes nothing (ERROR_NO_TOKEN); an unelevated run's own token is the user's. A link or a
// file with other names on the way is refused (ERROR_CANT_ACCESS_FILE); a line names it.
//
// Who owns these folders on a machine with several users: whoever comes first. They are
// made as that user, with the rights inherited from the common application-data folder
// (every user may add files and folders there, and owns what they add), and the launcher
// sets none of its own. So users may disturb one another's copies in them, but no one gains
// a right through them: each copy is written as its own user, through checked handles,
// and the launcher never runs or reads anything from there. A folder protected for the
// machine would need writes in the launcher's elevated token, which is what this avoids.
void WriteBackupForElevation() {
  DWORD versionMS = 0, versionLS = 0;
  CUtility::GetProductVersion(versionMS, versionLS);
  const std::wstring source = CUtility::GetModulePath();
  CImpersonateUser user;
  const bool asUser = user.IsImpersonating() || !CUtility::IsProcessElevated();
  lumo::FolderChain folder;
  const std::wstring shared = CUtility::GetSharedTempFolder(asUser ? &folder : nullptr);
  const std::wstring destination =
      lumo::BackupFileName(shared, static_cast<int>(GetOwnSessionId()), versionMS, versionLS);
  const lumo::ChainFailure& road = folder.Failure();
  lumo::Verdict verdict = road.verdict;
  DWORD result = !asUser ? ERROR_NO_TOKEN : road.error != 0 ? road.error : ERROR_CANT_ACCESS_FILE;
  const bool held = !folder.Empty() && verdict == lumo::Verdict::kAccepted;
  if (held) result = CopyOwnFile(folder.Deepest(), destination.substr(shared.size() + 1), verdict);
  user.RevertNow();
  if (verdict == lumo::Verdict::kLink || verdict == lumo::Verdict::kNotFolder || verdict == lumo::Verdict::kOtherNames)
    lumo::LogRefusal(kSource, {held ? destination : road.path, verdict, 0});
  CUtility::Log("[%ls] backup for elevation %ls to %ls %d", kSource, source.c_str(), destination.c_str(),
                static_cast<int>(result));
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

int CUnPackFileApp::ExecuteCommand(const std::wstring& workFolder, const std::wstring& parameters, bool backup) {
  // Only the manager's start asks for the backup copy. An unelevated run's commands get its own
  // environment as it stands; an elevated run's get blocks of their own.
  std::wstring environment;
  DWORD error = ERROR_SUCCESS;
  if (CUtility::IsProcessElevated() && !ElevatedEnvironment(backup, workFolder, environment, error)) {
    CUtility::Log("[%ls] fail %d", kSource, static_cast<int>(error));
    return static_cast<int>(error);
  }
  return lumo::ExecuteProgram(Interpreter(), workFolder, parameters, backup, &m_pMainWnd, environment);
}

int lumo::ExecuteProgram(const std::wstring& program, const std::wstring& workFolder,
                         const std::wstring& parameters, bool backup, CLoadingWnd** loadingWindow,
                         std::wstring environment) {
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
  lumo::UniqueProcessInformation created;
  const BOOL started = ::CreateProcessW(
      program.c_str(), &commandLine[0], nullptr, nullptr, listed,
      CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0),
      environment.empty() ? nullptr : &environment[0], workFolder.c_str(), &startup.StartupInfo, &created.info);
  const DWORD error = ::GetLastError();
  if (listed) release(list);
  if (!started) {
    CUtility::Log("[%ls] fail %d", kSource, static_cast<int>(error));
    return static_cast<int>(error);
  }
  const HANDLE process = created.info.hProcess;
  const DWORD processId = created.info.dwProcessId;
  CUtility::Log("[%ls] succ wait pid:%d", kSource, static_cast<int>(processId));

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
  CUtility::Log("[%ls] pid:%d finish ecode:%d", kSource, static_cast<int>(processId), static_cast<int>(exitCode));
  return static_cast<int>(exitCode);
}

std::wstring CUtility::GetSharedTempFolder(lumo::FolderChain* held) {
  wchar_t folder[MAX_PATH] = {};
  const bool common = SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder));
  if (!common) ::GetWindowsDirectoryW(folder, MAX_PATH);
  // The common folder itself is the system's, but below it any user may make folders: so
  // "Ondrix" and "Temp" are taken only as themselves, made when missing. Without the common
  // folder the Windows temp folder serves, as it stands.
  bool taken = held != nullptr && held->Open(folder, false, false);
  const auto take = [&](const wchar_t* part) {
    ::PathAppendW(folder, part);
    if (taken) taken = held->Descend(part, common ? lumo::FolderChain::Create::kIfMissing : lumo::FolderChain::Create::kNo, true);
  };
  if (common) take(L"Ondrix");
  take(L"Temp");
  return folder;
}

BOOL CUtility::GetProductVersion(DWORD& versionMS, DWORD& versionLS) {
  // The running module's own resource: by construction the version of what runs, whatever
  // lies at the launcher's path by now.
  const HMODULE self = ::GetModuleHandleW(nullptr);
  const HRSRC resource = ::FindResourceW(self, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
  const HGLOBAL loaded = resource != nullptr ? ::LoadResource(self, resource) : nullptr;
  const BYTE* data = loaded != nullptr ? static_cast<const BYTE*>(::LockResource(loaded)) : nullptr;
  const DWORD size = resource != nullptr ? ::SizeofResource(self, resource) : 0;
  // VerQueryValueW may write into the block it is given (room for its text conversions, as
  // GetFileVersionInfoSizeW leaves, twice the resource): a copy of our own, never the mapped
  // image, as large as the resource asks.
  if (data == nullptr || size == 0) return FALSE;
  std::vector<BYTE> block(2 * static_cast<std::size_t>(size));
  std::memcpy(block.data(), data, size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  const BOOL found = ::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length);
  if (found && fixed != nullptr && length >= sizeof(VS_FIXEDFILEINFO)) {
    versionMS = fixed->dwProductVersionMS;
    versionLS = fixed->dwProductVersionLS;
  }
  return found;
}
