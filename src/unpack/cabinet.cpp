// Cabinet expansion: the launcher carries no cabinet decoder of its own; the system's
// expand.exe unpacks every cabinet of the work folder into it.
#include <windows.h>

#include "app/app.h"
#include "launch/core/command_lines.h"

void CUnPackFileApp::ExpandCabinet(const std::wstring& workFolder) {
  wchar_t systemFolder[MAX_PATH + 1] = {};
  ::GetSystemDirectoryW(systemFolder, MAX_PATH);
  // The exit code is not examined: missing files show when the agent is started.
  ExecuteCommand(workFolder, lumo::ExpandParameters(systemFolder), false);
}
