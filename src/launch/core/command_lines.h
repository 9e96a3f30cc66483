// The command lines the launcher hands to the interpreter, and how a session code may
// appear in them. A code comes from the settings file, the command line or the launcher's
// own file name (which a browser or a person may have named), so it is treated as hostile:
// it must never become a command of its own.
#pragma once

#include <cstdint>
#include <string>

namespace lumo {

// The interpreter, always by its full path (a bare "cmd.exe" would be looked for in the
// current directory, the work folder, first): the system folder's, or the native one
// through the WOW64 alias when a 32-bit launcher runs on 64-bit Windows Vista or later.
std::wstring InterpreterPath(bool preVista, bool wow64, const std::wstring& systemWindowsFolder,
                             const std::wstring& systemFolder);

// What every command line handed to the interpreter starts with. The user's settings under
// HKCU\Software\Microsoft\Command Processor, writable by any program of the user, must not
// reach into the elevated launcher's commands: "/d" keeps their AutoRun command out, and
// "/v:off" keeps their DelayedExpansion from replacing !NAME! in a session code. "/c" runs
// the rest and ends.
constexpr const wchar_t* kInterpreterSwitches = L"/d /v:off /c ";

// "<shared temp>\Lumo<session, two digits at least><four version words>.exe".
std::wstring BackupFileName(const std::wstring& sharedTempFolder, long sessionId,
                            uint32_t versionMS, uint32_t versionLS);

// True when the code holds a character that the interpreter acts on even inside double
// quotes, or that breaks the quoting: '"', '%', '^', '&', '|', '<', '>', or a control
// character.
bool IsUnsafeSessionCode(const std::wstring& code);

// The code as one command-line argument: unchanged, or in double quotes when it holds
// blanks (with the backslashes before the closing quote doubled, so that they stay
// backslashes). Empty when the code is empty or unsafe (the caller logs the drop).
std::wstring QuotedSessionCode(const std::wstring& code);

// The code as the task's action carries it: as QuotedSessionCode, and empty also when it holds
// a single quote, since schtasks reads every one in /tr as a double quote and the starter, run
// as SYSTEM, would then be handed other arguments than the code.
std::wstring QuotedTaskCode(const std::wstring& code);

// "/d /v:off /c .\OXManagerLUMO.exe -t CODE", or "... .\OXManagerLUMO.exe " without a (usable)
// code. The name has a folder part, so the interpreter looks for it in the current directory
// (the work folder) alone, never along the Path: when the expansion failed, no other program
// of that name is found.
std::wstring ManagerParameters(const std::wstring& code);

// "/d /v:off /c <system folder>\expand.exe *.cab /f:* .\".
std::wstring ExpandParameters(const std::wstring& systemFolder);

// True when the work folder can stand in the task's action: schtasks reads a single quote
// in /tr as a double quote, and the interpreter expands %NAME% even inside quotes, so a
// folder whose path holds either (a user named O'Brien) cannot be named there.
bool TaskActionCanName(const std::wstring& folder);

// The task's action as schtasks reads it from /tr, once the interpreter and the argument
// quoting are undone: "'<work folder>\Launcher.exe' OXManagerLUMO.exe <session> <code>", the
// code as the starter is to read it (QuotedTaskCode).
std::wstring TaskAction(const std::wstring& workFolder, long sessionId, const std::wstring& code);

// The longest /tr value schtasks takes; a longer one makes /change fail.
constexpr std::size_t kTaskActionLimit = 261;
// The length of a text in UTF-16 units, as Windows counts it, whatever the width of wchar_t.
std::size_t Utf16Length(const std::wstring& text);

// The schtasks command lines of the launch as SYSTEM, each naming the system folder's
// schtasks.exe by its full path, as the expansion names expand.exe: a bare "schtasks" would
// be looked for through the folders and extensions of the caller's PATH and PATHEXT. The
// task action, with the code argument as the starter is to read it, stands in double quotes
// as the /tr value, so its own quotes are written \" there.
std::wstring TaskCreateParameters(const std::wstring& systemFolder, long sessionId);
std::wstring TaskChangeParameters(const std::wstring& systemFolder, long sessionId, const std::wstring& workFolder,
                                  const std::wstring& code);
std::wstring TaskRunParameters(const std::wstring& systemFolder, long sessionId);
std::wstring TaskDeleteParameters(const std::wstring& systemFolder, long sessionId);
// "/query /tn ALUMO<n>": schtasks ends with 0 only while the task stands (with 1 for every
// error, "not found" among them, which is why a failed Delete is asked about this way).
std::wstring TaskQueryParameters(const std::wstring& systemFolder, long sessionId);
// "/change /tn ALUMO<n> /disable": a task that cannot be deleted no longer starts at boot.
std::wstring TaskDisableParameters(const std::wstring& systemFolder, long sessionId);

}  // namespace lumo
