// The environments the elevated launcher's commands run with. An elevated launcher inherits the
// user's environment: the elevation service copies what the user's programs write into
// HKCU\Environment (PATH, which Windows appends to the machine's; PATHEXT, which replaces it;
// __COMPAT_LAYER; ProgramFiles; anything else). None of it may choose what a system program
// the elevated run starts does. (An unelevated run has no such boundary: its commands get its
// own environment as it stands.)
#pragma once

#include <string>

namespace lumo {

// The value of `name` (any case) in an environment block ("NAME=value", each ended by a null
// character, then one more); null when the block is null or lacks it.
const wchar_t* BlockValue(const wchar_t* block, const wchar_t* name);

// The block a command gets, given the launcher's own block (`own`) and the system's
// (`system`, as CreateEnvironmentBlock makes it without a token: the machine's variables,
// nothing of any user's). Empty for an unelevated run: its commands get its own environment as
// it stands, the agent's manager its user's PATH. In an elevated run:
// - the system programs (expand.exe, schtasks.exe; `manager` false) get the system's block,
//   with SystemRoot and windir set to the system's Windows folder, SystemDrive to its drive,
//   ComSpec to the system folder's cmd.exe, and TEMP and TMP to the work folder (Windows' copy
//   of SystemRoot and SystemDrive in that block comes from the caller);
// - the agent's manager gets the launcher's own block (it runs for the user and reads the
//   user's folders, names and settings there, USERPROFILE, APPDATA, SESSIONNAME, TEMP, ...),
//   but with the machine's Path and PATHEXT as the system's block has them, expanded in full
//   (the system folder and the Windows folder, and Windows' extensions, when it lacks them),
//   ComSpec, SystemRoot and windir the system's, and no NoDefaultCurrentDirectoryInExePath.
// A block comes out sorted by name without regard to case, as Windows keeps a process's block
// (one handed over unsorted stays so, each name set here still once).
std::wstring CommandEnvironment(bool elevated, bool manager, const wchar_t* own, const wchar_t* system,
                                const std::wstring& windowsFolder, const std::wstring& systemFolder,
                                const std::wstring& workFolder);

}  // namespace lumo
