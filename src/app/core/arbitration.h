// The instance arbitration's decisions, from the signs it reads: the instance lock, the
// product window, and the product's processes in the launcher's own session.
#pragma once

namespace lumo {

enum class ArbitrationOutcome {
  kContinue,
  kSkipForegroundInstance,          // lock held elsewhere, product window brought forward
  kWaitForLock,                     // lock held elsewhere, no window looked for or found
  kSkipForegroundWindowNoInstance,  // lock free, product window brought forward
  kSkipAnotherInstance,             // a server runs, or a manager survived termination
  kSkipLockWithoutInstance,         // lock still held, no manager in the session
  kTerminateManagers,               // lock still held by leftover managers: end them
};

// Before waiting: heldElsewhere from the lock's create error; windowExists only matters
// where the design looks for the window.
ArbitrationOutcome DecideBeforeWait(bool heldElsewhere, bool skipForegroundCheck, bool windowExists);

// After up to 30 waits for the lock.
ArbitrationOutcome DecideAfterWait(bool lockFree, int serverProcesses, int managerProcesses);

// After terminating leftover managers and waiting 3 seconds.
ArbitrationOutcome DecideAfterCleanup(int managerProcesses);

// The lock's create error says it is held by another process of the session: it exists
// (183) or exists in a security context this process may not open (5).
bool IsLockHeldElsewhere(unsigned long createError);

}  // namespace lumo
