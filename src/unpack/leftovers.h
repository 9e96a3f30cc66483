// The folders that earlier elevated runs left under the Windows temp folder. A run cut short
// between its task's creation and deletion leaves a task that names "<folder>\Launcher.exe"
// and starts it as SYSTEM at the next boot; users may make folders there, so once such a
// folder is gone anyone could make it anew with a program of their own in it. A folder of that
// kind is therefore removed only by the route that deletes tasks, once its task is known to
// be gone (launch/service.cpp); otherwise it is emptied and kept. These are the file side of
// that.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "util/core/checked_path.h"
#include "util/handles.h"

namespace lumo {

// The names of the earlier runs' folders beside the held work folder (`own`, its name, not
// among them), by the name grammar (ParseElevatedFolderName), listed now. Empty when no work
// folder is held.
std::vector<std::wstring> ListEarlierRuns(const std::wstring& own);

// Opens the earlier run's folder `name` beside the held work folder as itself, for deletion.
// A folder a running launcher holds (its hold shares no deletion) fails with
// ERROR_SHARING_VIOLATION in `error`.
Verdict OpenEarlierRun(const std::wstring& name, UniqueFile& folder, DWORD& error);

// Whether one of the agent's programs ("OXManagerLUMO.exe", "OXServerLUMO.exe",
// "Launcher.exe") runs in the session, by the system's process list.
bool AgentRunsIn(long session);

}  // namespace lumo
