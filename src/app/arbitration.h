// The instance arbitration of the start-up sequence: whether this launcher may go on, or
// another launcher or a running agent owns the session.
#pragma once

#include <windows.h>

class CInstanceLock;

namespace lumo {

// The pauses of the arbitration. A run always uses the defaults (30 waits of 500 ms for the
// lock, 3 s after ending leftover managers); tests shorten them.
struct ArbitrationTiming {
  int lockWaits = 30;
  DWORD lockWaitMs = 500;
  DWORD cleanupWaitMs = 3000;
};

// True: go on with the run. False: the run ends; the reason has been logged.
bool ArbitrateInstance(CInstanceLock& lock, bool skipForegroundCheck, const ArbitrationTiming& timing = {});

// Shows the window and makes it the foreground window of the session.
void BringToForeground(HWND window);

}  // namespace lumo
