// The names a run may give its work folder. A run writes only into a folder it created
// itself: when the session's folder of an earlier run cannot be removed, it takes a fresh
// name beside it instead of adopting what is there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumo {

// How many fresh names a run tries beside the session's own ("<session>-1" up to this).
constexpr int kFreshWorkFolders = 99;

// The work folder's own name: "<session>" for attempt 0, "<session>-<attempt>" after it.
std::wstring WorkFolderName(long session, int attempt);

// The work folder of a session under the temp folder (which ends in a backslash):
// "unpacklumo\<name>\" with the name above.
std::wstring WorkFolderPath(const std::wstring& tempFolder, long session, int attempt);

// Windows' classic limit on a path's length (MAX_PATH, 260 with the terminating NUL): the
// launcher opens its files by plain paths, which may not be longer.
constexpr std::size_t kMaxPathCharacters = 259;
// A temp folder of typical length: "C:\Users\", a user name of 20 characters, and
// "\AppData\Local\Temp\".
constexpr std::size_t kTypicalTempFolderLength = 49;
// The length of the path of an entry named with `nameLength` characters in the work folder
// of session 1 under a temp folder of that typical length.
std::size_t TypicalEntryPathLength(std::size_t nameLength);

// True when a failed creation means that the name is taken (by a leftover, a file, or a
// folder whose removal has not finished, which reads as access denied), so that the next
// name may do; false when any name there would fail alike (no parent, no room).
bool WorkFolderNameTaken(uint32_t win32Error);

// The name of an elevated run's own folder under the Windows temp folder:
// "lumo-<session>-<random bytes in lowercase hexadecimal>", the session in decimal or "n" for
// -1 (no session could be read). No one can know or take the name beforehand, and it tells
// whose task ("ALUMO<session>") may still name the folder once its run is gone.
std::wstring ElevatedFolderName(long session, const uint8_t* random, std::size_t count);

// True for a name of exactly that grammar with 16 random bytes, `session` then the session it
// names. Nothing else under the Windows temp folder is a leftover of an earlier run: not a
// folder named the older way ("lumo-" and 32 digits, whose task's session no one can tell),
// not one with capitals, a sign, a leading zero or anything after the digits.
bool ParseElevatedFolderName(const std::wstring& name, long& session);

// What an elevated run may do with a folder an earlier run left under the Windows temp folder,
// before the scheduled task of its own is created. A task of that session may still name the
// folder (a run cut short between the task's creation and its deletion), and it runs
// "<folder>\Launcher.exe" as SYSTEM at the next boot: the folder's name is given up only once
// that task is known to be gone, and a folder someone may still use is not touched.
enum class LeftoverAction {
  kLeave,       // not this run's to touch
  kClearOwn,    // this session's: removed once the session's own task is gone
  kClearOther,  // another session's: its task deleted, then the folder removed once it is gone
};

// `systemRoute`: the run takes the route through the scheduled task (only that route deletes
// tasks); `held`: a running launcher holds the folder; `agentRuns`: one of the agent's
// programs runs in the folder's session.
LeftoverAction DecideLeftover(bool systemRoute, long ownSession, long folderSession, bool held, bool agentRuns);

// Who an account in a folder's descriptor is, as far as the rule below cares.
enum class Trustee { kSystem, kAdministrators, kOther };

// The account of a SID in its binary form (revision, count, authority, sub-authorities).
Trustee TrusteeOfSid(const uint8_t* sid, std::size_t length);

// One entry of a DACL: its type, inheritance flags, access mask and account.
struct AccessEntry {
  uint8_t type;
  uint8_t flags;
  uint32_t mask;
  Trustee trustee;
};

// True when a folder's owner and DACL are those an elevated run gives its work folder, so
// that no one but administrators can have put anything in it: owned by SYSTEM or
// Administrators; a protected DACL of full control for SYSTEM, then for Administrators, and
// at most one more entry, reading and executing for one account (the session's user); each
// entry allowing, and inherited by files and folders alike.
bool IsWorkFolderSecurity(Trustee owner, bool daclProtected, const AccessEntry* entries, std::size_t count);

}  // namespace lumo
