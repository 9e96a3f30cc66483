#include "app/core/arbitration.h"

namespace lumo {

ArbitrationOutcome DecideBeforeWait(bool heldElsewhere, bool skipForegroundCheck, bool windowExists) {
  if (heldElsewhere) {
    if (!skipForegroundCheck && windowExists) return ArbitrationOutcome::kSkipForegroundInstance;
    return ArbitrationOutcome::kWaitForLock;
  }
  // A product window that runs without the lock always wins, whatever the switches say.
  return windowExists ? ArbitrationOutcome::kSkipForegroundWindowNoInstance : ArbitrationOutcome::kContinue;
}

ArbitrationOutcome DecideAfterWait(bool lockFree, int serverProcesses, int managerProcesses) {
  if (lockFree) return ArbitrationOutcome::kContinue;
  if (serverProcesses > 0) return ArbitrationOutcome::kSkipAnotherInstance;
  if (managerProcesses == 0) return ArbitrationOutcome::kSkipLockWithoutInstance;
  return ArbitrationOutcome::kTerminateManagers;
}

ArbitrationOutcome DecideAfterCleanup(int managerProcesses) {
  return managerProcesses > 0 ? ArbitrationOutcome::kSkipAnotherInstance : ArbitrationOutcome::kContinue;
}

bool IsLockHeldElsewhere(unsigned long createError) { return createError == 183 || createError == 5; }

}  // namespace lumo
