// The environment the launcher's commands run with. An elevated launcher inherits the user's
// environment, and the user's programs write it (HKCU\Environment sets PATH, which Windows
// appends to the machine's, and PATHEXT, which replaces it): every variable that decides which
// program a command starts, or where a started program takes its code from, is the system's
// here instead.
#pragma once

#include <string>

namespace lumo {

struct SystemEnvironment {
  std::wstring windowsFolder;  // the system's Windows folder, "C:\Windows"
  std::wstring systemFolder;   // its system folder, "C:\Windows\system32"
  // The machine's "Path" and "PATHEXT" as stored (not yet expanded); empty when they could
  // not be read.
  std::wstring path;
  std::wstring pathExt;
};

// A machine value with %SystemRoot%, %windir% and %SystemDrive% replaced by the system's own
// (any case). Any other %NAME% stays as written: its value would come from the user's
// environment, and a folder named through it is better missing from the search path than
// chosen by the user.
std::wstring ExpandSystemValue(const std::wstring& value, const std::wstring& windowsFolder);

// The environment block for the commands ("NAME=value", each ended by a null character, then
// one more), sorted by name without regard to case as Windows expects, from the launcher's own
// block (`own`, null for none) and the system's values:
// - Path: the machine's alone (the system folder and the Windows folder when it could not be
//   read); PATHEXT: the machine's (Windows' default when it could not be read);
// - ComSpec, SystemRoot, windir, SystemDrive: the system's;
// - NoDefaultCurrentDirectoryInExePath: absent, so the interpreter finds the agent's manager in
//   the work folder, its current directory, before any folder of the path;
// - the variables through which a .NET runtime loads a profiler or startup assembly named
//   there into any managed program that starts (COR_*, CORECLR_*, COMPlus_*, DOTNET_*):
//   absent;
// - everything else, TEMP and TMP (the run's) among it, as the launcher has it: the agent's
//   manager on the standard route runs for the user and reads the user's folders, names and
//   settings there (USERPROFILE, APPDATA, LOCALAPPDATA, SESSIONNAME, CLIENTNAME, ...), and
//   none of these chooses a program or a library of the system programs the launcher starts.
std::wstring CommandEnvironment(const wchar_t* own, const SystemEnvironment& system);

}  // namespace lumo
