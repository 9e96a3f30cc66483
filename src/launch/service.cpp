// The launch as SYSTEM: a one-shot scheduled task runs the agent's starter under the SYSTEM
// account; the launcher deletes the task at once and waits for the manager it started (or,
// when the manager cannot be found, for the agent's window) to end.
#include <windows.h>

#include "app/app.h"
#include "launch/core/command_lines.h"
#include "launch/launch_steps.h"
#include "launch/product.h"
#include "settings/product_key.h"
#include "settings/registry.h"
#include "ui/loading.h"
#include "unpack/secure_folder.h"
#include "util/utility.h"

namespace {

constexpr const wchar_t* kSource = L"CUnPackFileApp::RunAsService";

constexpr int kManagerAttempts = 10;
constexpr DWORD kManagerRetryMs = 500;
constexpr int kWindowChecks = 15;
constexpr DWORD kWindowCheckMs = 1000;
constexpr int kWindowMisses = 3;
constexpr DWORD kWindowWatchMs = 2000;

bool ProductWindowExists() { return lumo::FindProductWindow() != nullptr; }

}  // namespace

void CUnPackFileApp::RunAsService(const std::wstring& workFolder) {
  const long sessionId = static_cast<int>(GetOwnSessionId());
  const std::wstring& code = m_strSessionCode;

  CRegistry registry;
  const bool keyReady = OpenSessionProductKey(registry);
  if (keyReady) registry.WriteDWORD(L"IsSystemUser", 1);

  // SYSTEM is about to run a program from this folder: it must still be the folder this run
  // created and protected, not one swapped in under the same path.
  if (!lumo::IsHeldWorkFolder(workFolder)) {
    CUtility::Log(L"[%ls] RunAsService work folder %ls is not the protected folder of this run; no task created",
                  kSource, workFolder.c_str());
    if (keyReady) registry.DeleteValue(L"IsSystemUser");
    return;
  }

  if (!code.empty() && lumo::QuotedSessionCode(code).empty())
    CUtility::Log(L"[%ls] session code dropped: it holds characters the interpreter acts on", kSource);
  wchar_t folder[MAX_PATH] = {};
  ::GetSystemDirectoryW(folder, MAX_PATH);
  const std::wstring systemFolder(folder);
  // The name is foreseeable: a task of that name left by an earlier run, or made by anyone,
  // goes first. Should one stand all the same, Create fails (its question to replace it finds
  // no input), and the route stops there: Change, Run and Delete would act on a task this run
  // did not make. Nothing was started then, so nothing is waited for or arranged for the
  // agent, and no standard launch follows; only the mark goes again.
  ExecuteCommand(workFolder, lumo::TaskDeleteParameters(systemFolder, sessionId), false);
  const int created = ExecuteCommand(workFolder, lumo::TaskCreateParameters(systemFolder, sessionId), false);
  if (created != 0) {
    CUtility::Log(L"[%ls] RunAsService ALUMO%d create failed %d", kSource, static_cast<int>(sessionId), created);
    if (keyReady) registry.DeleteValue(L"IsSystemUser");
    return;
  }
  ExecuteCommand(workFolder, lumo::TaskChangeParameters(systemFolder, sessionId, workFolder, code), false);
  ExecuteCommand(workFolder, lumo::TaskRunParameters(systemFolder, sessionId), false);
  CUtility::Log(L"[%ls] RunAsService ALUMO%d begin", kSource, static_cast<int>(sessionId));
  // The started action (the starter and the manager it starts) outlives its task.
  ExecuteCommand(workFolder, lumo::TaskDeleteParameters(systemFolder, sessionId), false);

  // The feature builds keep their names on this route; only the mini copy is added.
  lumo::CopyFeatureBuild(workFolder, kSource);
  lumo::SwapPrinterCatalogs(workFolder, kSource);

  int attempts = kManagerAttempts;
  do {
    if (WaitProcessExit(lumo::kManagerExe, static_cast<DWORD>(sessionId))) break;
    CUtility::Log(L"[%ls] fail to wait OXM try to wait again", kSource);
    AnimatedWait(kManagerRetryMs);
    if (ProductWindowExists()) CloseLoadingWindow(&m_pMainWnd);
  } while (--attempts > 0);

  if (attempts == 0) {
    // The manager was never seen (it may run where this launcher cannot list it): the
    // agent's window stands in for it.
    CUtility::Log(L"[%ls] fail to wait OXM try to find LUMO window", kSource);
    bool windowFound = false;
    for (int checks = kWindowChecks; checks > 0;) {
      AnimatedWait(kWindowCheckMs);
      if (ProductWindowExists()) {
        windowFound = true;
        CloseLoadingWindow(&m_pMainWnd);
        CUtility::Log(L"[%ls] LUMO window found", kSource);
        break;
      }
      CUtility::Log(L"[%ls] fail to find LUMO window try to find again", kSource);
      --checks;
    }
    if (windowFound) {
      // Gone only after three checks in a row without it.
      for (int misses = kWindowMisses; misses > 0;) {
        AnimatedWait(kWindowWatchMs);
        if (ProductWindowExists()) {
          misses = kWindowMisses;
        } else {
          CUtility::Log(L"[%ls] LUMO window might close", kSource);
          --misses;
        }
      }
    } else {
      CUtility::Log(L"[%ls] fail to find LUMO window", kSource);
    }
  }

  CUtility::Log(L"[%ls] RunAsService ALUMO%d end", kSource, static_cast<int>(sessionId));
  if (!keyReady) return;
  registry.DeleteValue(L"IsSystemUser");
  if (registry.ReadDWORD(L"IsCustomization", 0) != 0) RunAsStandard(workFolder);
}
