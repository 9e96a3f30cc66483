// The launch as SYSTEM: a one-shot scheduled task runs the agent's starter under the SYSTEM
// account; the launcher deletes the task at once and waits for the manager it started (or,
// when the manager cannot be found, for the agent's window) to end.
#include <windows.h>

#include <vector>

#include "app/app.h"
#include "launch/core/command_lines.h"
#include "launch/launch_steps.h"
#include "launch/product.h"
#include "settings/product_key.h"
#include "settings/registry.h"
#include "ui/loading.h"
#include "unpack/core/work_folder.h"
#include "unpack/folder_tree.h"
#include "unpack/leftovers.h"
#include "unpack/secure_folder.h"
#include "util/folder_chain.h"
#include "util/utility.h"

namespace {

constexpr const char* kSource = "CUnPackFileApp::RunAsService";

constexpr int kManagerAttempts = 10;
constexpr DWORD kManagerRetryMs = 500;
constexpr int kWindowChecks = 15;
constexpr DWORD kWindowCheckMs = 1000;
constexpr int kWindowMisses = 3;
constexpr DWORD kWindowWatchMs = 2000;
constexpr DWORD kDeleteRetryMs = 1000;
// No schtasks line may hold up the run: one that has not ended by then (a question no one
// answers, a scheduler that does not reply) is ended with all it started and counts as failed.
constexpr DWORD kTaskStepLimitMs = 60000;
// schtasks ends with 1 for every error of its own, "no task of that name" among them; any
// other code (the interpreter could not start it, 9009) tells nothing about the task.
constexpr int kSchtasksError = 1;

bool ProductWindowExists() { return lumo::FindProductWindow() != nullptr; }

// The schtasks lines of the route, run in the work folder by the system folder's schtasks.exe.
class TaskLines {
 public:
  TaskLines(CUnPackFileApp& app, const std::wstring& workFolder) : app_(app), workFolder_(workFolder) {
    wchar_t folder[MAX_PATH] = {};
    ::GetSystemDirectoryW(folder, MAX_PATH);
    system_ = folder;
  }
  const std::wstring& System() const { return system_; }
  int Run(const std::wstring& parameters) {
    return app_.ExecuteCommand(workFolder_, parameters, false, kTaskStepLimitMs);
  }
  // The task of `session` stands unless schtasks itself says there is none.
  bool Stands(long session) { return Run(lumo::TaskQueryParameters(system_, session)) != kSchtasksError; }
  // Deletes the task of `session`; true once it is gone. `code`: the Delete's exit code.
  bool Delete(long session, int& code) {
    code = Run(lumo::TaskDeleteParameters(system_, session));
    return code == 0 || !Stands(session);
  }

 private:
  CUnPackFileApp& app_;
  std::wstring workFolder_;
  std::wstring system_;
};

// What earlier elevated runs left under the Windows temp folder, before this run's task is
// made. A folder's name is given up only once no task of its session can name it any more;
// until then it is emptied and kept. Another session's folder is touched only while nothing
// of that session runs: no launcher holds a folder of it, and none of the agent's programs
// runs there. This session's own task was deleted just before; `own` is this run's folder.
void ClearEarlierRuns(TaskLines& tasks, const std::wstring& own, long ownSession) {
  const std::vector<std::wstring> names = lumo::ListEarlierRuns(own);
  const std::wstring temp = GetSystemTempFolderPath();
  // The sessions whose running launcher holds a folder here (its hold shares no deletion).
  std::vector<long> busy;
  long session = 0;
  for (const std::wstring& name : names) {
    lumo::UniqueFile folder;
    DWORD error = 0;
    if (lumo::OpenEarlierRun(name, folder, error) == lumo::Verdict::kFailed && error == ERROR_SHARING_VIOLATION &&
        lumo::ParseElevatedFolderName(name, session))
      busy.push_back(session);
  }
  int ownGone = -1;  // asked once, when a folder of this session is found
  for (const std::wstring& name : names) {
    if (!lumo::ParseElevatedFolderName(name, session)) continue;
    lumo::UniqueFile folder;
    DWORD error = 0;
    const lumo::Verdict verdict = lumo::OpenEarlierRun(name, folder, error);
    bool held = verdict == lumo::Verdict::kFailed && error == ERROR_SHARING_VIOLATION;
    if (verdict == lumo::Verdict::kLink || verdict == lumo::Verdict::kNotFolder)
      lumo::LogRefusal(kSource, {temp + name, verdict, 0});
    if (verdict != lumo::Verdict::kAccepted && !held) continue;
    const char* outcome = "left as it is: not a work folder of this launcher";
    if (held || lumo::HasWorkFolderSecurity(folder.get())) {
      for (long other : busy) held = held || other == session;
      const bool agentRuns = session != ownSession && lumo::AgentRunsIn(session);
      const lumo::LeftoverAction action = lumo::DecideLeftover(true, ownSession, session, held, agentRuns);
      int code = 0;
      if (action == lumo::LeftoverAction::kClearOwn && ownGone < 0) ownGone = tasks.Stands(ownSession) ? 0 : 1;
      if (action == lumo::LeftoverAction::kLeave) {
        outcome = "left as it is: its session still runs a launcher or the agent";
      } else if (action == lumo::LeftoverAction::kClearOwn ? ownGone == 1 : tasks.Delete(session, code)) {
        lumo::DeleteFolderTreeAt(folder.get(), temp + name);
        outcome = "removed";
      } else {
        lumo::EmptyFolderAt(folder.get(), temp + name);
        outcome = "emptied and kept: a task of its session may still name it";
      }
    }
    CUtility::Log("[%s] %ls%ls of an earlier run %s", kSource, temp.c_str(), name.c_str(), outcome);
  }
}

// Creates the task and sets its action; false, with its line logged, when either step fails
// or is ended. Nothing may run from a task whose action this run did not set: the
// definition's own is a bare "Launcher.exe", looked for along the machine's Path. schtasks
// refuses an action longer than it takes; a code that would make it so is left out (the
// agent then starts without a code, as when there is none), and a folder that alone makes it
// so fails as Change would.
bool SetUpTask(TaskLines& tasks, long sessionId, const std::wstring& workFolder, const std::wstring& code) {
  const int created = tasks.Run(lumo::TaskCreateParameters(tasks.System(), sessionId));
  if (created != 0) {
    CUtility::Log("[%s] RunAsService ALUMO%d create failed %d", kSource, static_cast<int>(sessionId), created);
    return false;
  }
  std::wstring handed = code;
  const auto tooLong = [&] {
    return lumo::Utf16Length(lumo::TaskAction(workFolder, sessionId, handed)) > lumo::kTaskActionLimit;
  };
  if (tooLong() && !lumo::QuotedTaskCode(code).empty()) {
    CUtility::Log("[%s] session code dropped: the task's action would pass %d characters", kSource,
                  static_cast<int>(lumo::kTaskActionLimit));
    handed.clear();
  }
  const int changed = tooLong() ? static_cast<int>(ERROR_FILENAME_EXCED_RANGE)
                                : tasks.Run(lumo::TaskChangeParameters(tasks.System(), sessionId, workFolder, handed));
  if (changed == 0) return true;
  CUtility::Log("[%s] RunAsService ALUMO%d change failed %d", kSource, static_cast<int>(sessionId), changed);
  return false;
}

// Waits for the manager the task started, or, when it is never seen (it may run where this
// launcher cannot list it), for the agent's window.
void WaitForAgent(CUnPackFileApp& app, long sessionId) {
  int attempts = kManagerAttempts;
  do {
    if (app.WaitProcessExit(lumo::kManagerExe, static_cast<DWORD>(sessionId))) return;
    CUtility::Log("[%s] fail to wait OXM try to wait again", kSource);
    AnimatedWait(kManagerRetryMs);
    if (ProductWindowExists()) CloseLoadingWindow(&app.m_pMainWnd);
  } while (--attempts > 0);

  CUtility::Log("[%s] fail to wait OXM try to find LUMO window", kSource);
  bool windowFound = false;
  for (int checks = kWindowChecks; checks > 0;) {
    AnimatedWait(kWindowCheckMs);
    if (ProductWindowExists()) {
      windowFound = true;
      CloseLoadingWindow(&app.m_pMainWnd);
      CUtility::Log("[%s] LUMO window found", kSource);
      break;
    }
    CUtility::Log("[%s] fail to find LUMO window try to find again", kSource);
    --checks;
  }
  if (!windowFound) {
    CUtility::Log("[%s] fail to find LUMO window", kSource);
    return;
  }
  // Gone only after three checks in a row without it.
  for (int misses = kWindowMisses; misses > 0;) {
    AnimatedWait(kWindowWatchMs);
    if (ProductWindowExists()) {
      misses = kWindowMisses;
    } else {
      CUtility::Log("[%s] LUMO window might close", kSource);
      --misses;
    }
  }
}

}  // namespace

void CUnPackFileApp::RunAsService(const std::wstring& workFolder) {
  const long sessionId = static_cast<int>(GetOwnSessionId());
  const std::wstring& code = m_strSessionCode;

  CRegistry registry;
  const bool keyReady = OpenSessionProductKey(registry);
  if (keyReady) registry.WriteDWORD(L"IsSystemUser", 1);

  // SYSTEM is about to run a program from this folder: it must still be the folder this run
  // created and protected, not one swapped in under the same path. Nothing else is done from a
  // folder this run cannot vouch for, the standard launch included.
  if (!lumo::IsHeldWorkFolder(workFolder)) {
    CUtility::Log("[%s] RunAsService work folder %ls is not the protected folder of this run; no task created",
                  kSource, workFolder.c_str());
    if (keyReady) registry.DeleteValue(L"IsSystemUser");
    return;
  }

  if (!code.empty() && lumo::QuotedTaskCode(code).empty())
    CUtility::Log("[%s] session code dropped: it holds characters the interpreter acts on", kSource);
  TaskLines tasks(*this, workFolder);
  // The name is foreseeable: a task of that name left by an earlier run, or made by anyone,
  // goes first. Should one stand all the same, Create fails (its question to replace it finds
  // no input); Change, Run and the waits would then concern a task this run did not make.
  int deleted = 0;
  tasks.Run(lumo::TaskDeleteParameters(tasks.System(), sessionId));
  std::wstring own = workFolder.substr(0, workFolder.size() - 1);
  ClearEarlierRuns(tasks, own.substr(own.rfind(L'\\') + 1), sessionId);

  if (SetUpTask(tasks, sessionId, workFolder, code)) {
    tasks.Run(lumo::TaskRunParameters(tasks.System(), sessionId));
    CUtility::Log("[%s] RunAsService ALUMO%d begin", kSource, static_cast<int>(sessionId));
    // The started action (the starter and the manager it starts) outlives its task. A task
    // that stays would start the starter from this folder as SYSTEM at every boot: once more
    // after a second, and if it still stands the folder is kept (emptied) at the end, so that
    // no one else can make it anew with a program of their own in it.
    if (!tasks.Delete(sessionId, deleted)) {
      AnimatedWait(kDeleteRetryMs);
      if (!tasks.Delete(sessionId, deleted)) {
        CUtility::Log("[%s] RunAsService ALUMO%d delete failed %d", kSource, static_cast<int>(sessionId), deleted);
        lumo::KeepHeldWorkFolder();
      }
    }
    // The feature builds keep their names on this route; only the mini copy is added.
    lumo::CopyFeatureBuild(workFolder, kSource);
    lumo::SwapPrinterCatalogs(workFolder, kSource);
    WaitForAgent(*this, sessionId);
  } else if (!tasks.Delete(sessionId, deleted)) {
    // Nothing was started. A Create that failed or was ended may still have registered the
    // task, and a refused Change leaves the definition's action with its boot trigger: the
    // task goes, or, when it stays, is disabled and no longer starts, and keeps its folder.
    CUtility::Log("[%s] RunAsService ALUMO%d delete failed %d", kSource, static_cast<int>(sessionId), deleted);
    const int disabled = tasks.Run(lumo::TaskDisableParameters(tasks.System(), sessionId));
    CUtility::Log("[%s] RunAsService ALUMO%d disable %d", kSource, static_cast<int>(sessionId), disabled);
    lumo::KeepHeldWorkFolder();
  }

  CUtility::Log("[%s] RunAsService ALUMO%d end", kSource, static_cast<int>(sessionId));
  if (!keyReady) return;
  registry.DeleteValue(L"IsSystemUser");
  if (registry.ReadDWORD(L"IsCustomization", 0) != 0) RunAsStandard(workFolder);
}
