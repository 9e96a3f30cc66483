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

// The name of an elevated run's own folder under the Windows temp folder: "lumo-" and the
// given random bytes in hexadecimal, so that no one can know it, or take it, beforehand.
std::wstring UnpredictableFolderName(const uint8_t* random, std::size_t count);

}  // namespace lumo
