// The one way the main thread waits: for a time, or for an object, while the messages of its
// windows keep being handled. Windows calls a window "not responding" once its thread has
// taken no message for 5 seconds: a click then turns the cursor busy, the shell may put a
// ghost frame in its place, and every program that broadcasts with SendMessage waits for it.
#include <windows.h>

#include "util/utility.h"

namespace {

constexpr const char* kSource = "CUtility::WaitTakingMessages";

// Handles every message that is waiting, sent ones included (PeekMessage delivers those).
// A quit request is logged and dropped, not kept: the launcher runs no message loop that it
// could end, its road has steps that must not be cut short (an agent started, a work folder
// to remove), and a quit left in the queue would end the next modal loop at once instead.
void TakeMessages() {
  MSG message;
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      CUtility::Log("[%s] a quit request (%d) was taken while waiting; the run goes on", kSource,
                    static_cast<int>(message.wParam));
      continue;
    }
    ::DispatchMessageW(&message);
  }
}

}  // namespace

bool CUtility::WaitTakingMessages(HANDLE object, DWORD milliseconds) {
  const DWORD count = object != nullptr ? 1 : 0;
  const DWORD start = ::GetTickCount();
  for (;;) {
    TakeMessages();
    // GetTickCount wraps after 49 days; the unsigned difference does not mind.
    const DWORD elapsed = ::GetTickCount() - start;
    const DWORD left = milliseconds == INFINITE ? INFINITE : (elapsed >= milliseconds ? 0 : milliseconds - elapsed);
    // MWMO_INPUTAVAILABLE: also wake for messages that arrived before this call and were
    // looked at but not removed (by a system call that peeks).
    const DWORD result =
        ::MsgWaitForMultipleObjectsEx(count, count != 0 ? &object : nullptr, left, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (count != 0 && result == WAIT_OBJECT_0) return true;
    if (result == WAIT_OBJECT_0 + count) {
      // Messages came: take them, and wait on for what is left. When no time is left they
      // are taken once more and the wait ends, however many keep coming.
      if (left != 0) continue;
      TakeMessages();
      return false;
    }
    if (result == WAIT_TIMEOUT) return false;
    // The wait itself failed (a handle that is no waitable object). A plain pause keeps a
    // timed wait as long as asked, so that no caller's polling loop turns into a spin.
    Log("[%s] MsgWaitForMultipleObjectsEx failed %d", kSource, static_cast<int>(::GetLastError()));
    if (count == 0 && left != INFINITE) ::Sleep(left);
    return false;
  }
}
