// Arbitration between launchers of one session: the lock, the agent's window and the
// agent's processes in this session decide whether this run goes on.
#include "app/arbitration.h"

#include <vector>

#include "app/core/arbitration.h"
#include "app/instance_lock.h"
#include "launch/product.h"
#include "ui/loading.h"
#include "util/utility.h"

namespace lumo {
namespace {

constexpr const char* kSource = "CUnPackFileApp::InitInstance";
constexpr DWORD kTerminatedExitCode = 2;

int CountInSession(const wchar_t* exeName, DWORD sessionId, std::vector<DWORD>* ids = nullptr) {
  std::vector<DWORD> found;
  // A process list that cannot be read leaves the list empty: "no such process".
  CUtility::FindProcesses(exeName, found, sessionId);
  const int count = static_cast<int>(found.size());
  if (ids != nullptr) *ids = std::move(found);
  return count;
}

// Leftover managers hold the session without a launcher; they are ended so that this run
// can start the agent afresh. A process that cannot be opened is left to the recount.
void TerminateManagers(const std::vector<DWORD>& ids) {
  for (DWORD id : ids) {
    CUtility::Log("[%s] Close OXM %d", kSource, static_cast<int>(id));
    UniqueHandle process(::OpenProcess(PROCESS_TERMINATE, TRUE, id));
    if (process) ::TerminateProcess(process.get(), kTerminatedExitCode);
  }
}

}  // namespace

void BringToForeground(HWND window) {
  ::ShowWindow(window, SW_SHOWNORMAL);
  ::SwitchToThisWindow(window, TRUE);
  // Windows refuses the foreground to a process that does not own the input; sharing the
  // foreground thread's input state for the call lifts that.
  const HWND foreground = ::GetForegroundWindow();
  const DWORD self = ::GetCurrentThreadId();
  const DWORD owner = ::GetWindowThreadProcessId(foreground, nullptr);
  ::AttachThreadInput(self, owner, TRUE);
  ::SetForegroundWindow(window);
  ::AttachThreadInput(self, owner, FALSE);
}

bool ArbitrateInstance(CInstanceLock& lock, bool skipForegroundCheck, const ArbitrationTiming& timing) {
  const bool heldElsewhere = lock.IsHeldElsewhere();
  // The window is looked for only where the decision needs it.
  const HWND window = (!heldElsewhere || !skipForegroundCheck) ? FindProductWindow() : nullptr;
  switch (DecideBeforeWait(heldElsewhere, skipForegroundCheck, window != nullptr)) {
    case ArbitrationOutcome::kSkipForegroundInstance:
      BringToForeground(window);
      CUtility::Log("[%s] LUMO skip by foreground instance", kSource);
      return false;
    case ArbitrationOutcome::kSkipForegroundWindowNoInstance:
      BringToForeground(window);
      CUtility::Log("[%s] LUMO skip by foreground window without instance", kSource);
      return false;
    case ArbitrationOutcome::kContinue:
      return true;
    default:
      break;
  }

  // Held elsewhere: give the holder about 15 seconds to end (an elevated copy meets the lock
  // of the copy that started it, which ends right away).
  for (int wait = 0; wait < timing.lockWaits && lock.IsHeldElsewhere(); ++wait) {
    AnimatedWait(timing.lockWaitMs);
    lock.Create();
  }

  const DWORD session = GetOwnSessionId();
  const bool lockFree = !lock.IsHeldElsewhere();
  const int servers = lockFree ? 0 : CountInSession(kServerExe, session);
  std::vector<DWORD> managers;
  const int managerCount = (lockFree || servers > 0) ? 0 : CountInSession(kManagerExe, session, &managers);
  const int createError = static_cast<int>(lock.GetCreateError());
  switch (DecideAfterWait(lockFree, servers, managerCount)) {
    case ArbitrationOutcome::kContinue:
      return true;
    case ArbitrationOutcome::kSkipAnotherInstance:
      CUtility::Log("[%s] LUMO skip by another instance (%d)", kSource, createError);
      return false;
    case ArbitrationOutcome::kSkipLockWithoutInstance:
      CUtility::Log("[%s] LUMO skip by lock without instance (%d)", kSource, createError);
      return false;
    default:
      break;
  }

  TerminateManagers(managers);
  CUtility::Log("[%s] Wait 3sec for another instance cleanup", kSource);
  AnimatedWait(timing.cleanupWaitMs);
  if (DecideAfterCleanup(CountInSession(kManagerExe, session)) == ArbitrationOutcome::kSkipAnotherInstance) {
    CUtility::Log("[%s] LUMO skip by another instance (%d)", kSource, createError);
    return false;
  }
  // The lock is not tried again: this run goes on without holding it.
  return true;
}

}  // namespace lumo
