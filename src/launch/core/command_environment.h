// The environment the launcher's commands run with. An elevated launcher inherits the user's
// environment, and the user's programs write it (HKCU\Environment sets PATH, which Windows
// appends to the machine's, and PATHEXT, which replaces it): every variable that decides which
// program a command starts, or from which folder a system program loads what the registry
// names through %SystemRoot%, is the system's here instead.
#pragma once

#include <string>

namespace lumo {

// A machine value with %SystemRoot% and %windir% replaced by the system's Windows folder (any
// case), appended to `out`. Any other %NAME% stays as written: its value would come from
// the user's environment, and a folder named through it is better missing from the search
// path than chosen by the user.
void AppendSystemValue(std::wstring& out, const wchar_t* value, const wchar_t* windowsFolder);

// The environment block for the commands ("NAME=value", each ended by a null character, then
// one more) from the launcher's own block (`own`, null for none; sorted by name without regard
// to case, as Windows keeps it, and so is the result), the system's Windows folder
// ("C:\Windows") and the machine's "Path" and "PATHEXT" as stored (not yet expanded; null or
// empty when they could not be read):
// - Path: the machine's alone (the system folder and the Windows folder when it could not be
//   read); PATHEXT: the machine's (that of programs and batch files when it could not be
//   read);
// - ComSpec, SystemRoot, windir: the system's;
// - NoDefaultCurrentDirectoryInExePath: absent, so the interpreter finds the agent's manager in
//   the work folder, its current directory, before any folder of the path;
// - everything else, TEMP and TMP (the run's) among it, as the launcher has it: the agent's
//   manager on the standard route runs for the user and reads the user's folders, names and
//   settings there (USERPROFILE, APPDATA, LOCALAPPDATA, SESSIONNAME, CLIENTNAME, ...), and
//   none of these chooses which program a command starts. (What only a managed runtime reads,
//   a .NET profiler named in COR_PROFILER for one, stays too: the system programs the
//   launcher runs are native.)
std::wstring CommandEnvironment(const wchar_t* own, const wchar_t* windowsFolder, const wchar_t* path,
                                const wchar_t* pathExt);

}  // namespace lumo
