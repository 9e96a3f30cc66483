// The rules of the checked road through folders that other programs of the user may write:
// how a folder path splits into the volume root and the components opened one by one below
// it, and what an opened component must be to be used. Portable: no system call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumo {

// What came of opening one entry by its name on the checked road.
enum class Verdict {
  kAccepted,    // the entry itself, of the kind asked for
  kMissing,     // nothing of that name (the caller may create it)
  kLink,        // a link of any kind: never followed, never used
  kNotFolder,   // a file (or other non-folder) where a folder is needed
  kOtherNames,  // a file that has other names (hard links) elsewhere
  kFailed,      // could not be opened; the Win32 error tells why
};

// Splits a folder path into the part opened as it stands (the volume root "C:\", a share
// "\\server\share\", or either behind "\\?\") and the components below it, in order. False
// for a path without such a root (relative, "C:x", empty) and for one with a "." or ".."
// component, which the walk does not take.
bool SplitFolderPath(const std::wstring& path, std::wstring& root, std::vector<std::wstring>& components);

// A final path as GetFinalPathNameByHandleW gives it with VOLUME_NAME_DOS (NUL-terminated),
// turned in place into the form that every caller of a path takes: "\\?\C:\..." as "C:\...",
// "\\?\UNC\server\share\..." as "\\server\share\...". Returns where that form begins in
// `path`, or null for any other form.
const wchar_t* Win32PathFromFinal(wchar_t* path);

// The verdict on an entry opened by name as itself: `opened` its attributes as its handle
// reports them, `listed` as its parent's listing shows them (0 when it shows none),
// `namesItself` false when the handle's own name ends in another name than the one opened
// (what an open through a link shows where the system followed it), `links` its number of
// names. A reparse point of any kind is a link: a junction, a symbolic link, a mount point.
Verdict JudgeOpened(uint32_t opened, uint32_t listed, bool namesItself, bool wantFolder, uint32_t links);

// The reason for a log line, e.g. "a link (reparse point)"; `error` serves kFailed.
std::wstring DescribeVerdict(Verdict verdict, uint32_t error);

}  // namespace lumo
