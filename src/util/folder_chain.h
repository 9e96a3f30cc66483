// Folders and files in a tree that other programs of the user may write (the user's temp
// folder above all), reached only through handles the run has opened and checked: every
// component is opened relative to its parent's handle, as itself, and judged before it is
// used; the folders on the way are held while the run needs them.
//
// A held folder is open without DELETE access, sharing reading and writing but not deletion.
// A folder the run made create-only (its work folder) is held with traversal as well: NTFS
// records sharing only for opens that ask for data access or DELETE, so that hold refuses the
// DELETE that renaming or deleting the folder asks for, and another run's open for deletion
// fails with a sharing violation. The folders above it cannot be renamed while something
// below them is open. Renames inside the held folders keep working: a rename opens the
// target's folder asking for write access and sharing reading and writing, which the hold
// shares; a hold with DELETE access would make every such open fail. The run itself lets go
// of its hold before it opens a held folder for deletion. (This is the documented behaviour
// of Windows' I/O manager; Wine keeps sharing for folders only for such opens too.)
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "util/core/checked_path.h"
#include "util/handles.h"

namespace lumo {

// Opens `name` relative to the object open in `parent` (an empty name opens that object once
// more) with NtCreateFile's access, sharing, disposition and options; the handle is
// synchronous. A link is followed unless the options hold FILE_OPEN_REPARSE_POINT. Invalid,
// with the last error set, on failure.
UniqueFile OpenRelative(HANDLE parent, const std::wstring& name, DWORD access, DWORD share, DWORD disposition,
                        DWORD options);

// How OpenChecked opens an entry.
struct CheckedOpen {
  DWORD access;
  DWORD share;
  DWORD disposition;                          // FILE_OPEN, FILE_OPEN_IF or FILE_CREATE
  bool folder;                                // a folder is wanted; otherwise a file
  PSECURITY_DESCRIPTOR descriptor = nullptr;  // for an entry it creates; null: inherited
};

// Opens `name` in the folder open in `parent` as itself and judges what it opened
// (JudgeOpened, with the parent's listing for the name and the handle's own name): a link of
// any kind, the wrong kind of entry, and a file with other names are refused. Where Windows
// offers it (10 1803 and later) a link is not even opened (OBJ_DONT_REPARSE); elsewhere the
// link itself is opened (FILE_OPEN_REPARSE_POINT) and refused by the reparse attribute of
// its handle. `entry` holds the entry only when it is
// accepted; `error` is the Win32 error behind kMissing and kFailed.
Verdict OpenChecked(HANDLE parent, const std::wstring& name, const CheckedOpen& how, UniqueFile& entry,
                    DWORD& error);

// Attributes and reparse tag of an open entry (needs FILE_READ_ATTRIBUTES).
bool QueryAttributes(HANDLE entry, DWORD& attributes, DWORD& reparseTag);
// The number of names (hard links) of an open entry.
bool QueryLinkCount(HANDLE entry, DWORD& links);
// The attributes the listing of the folder open in `parent` shows for `name`; 0 when it
// shows none (or cannot be read).
DWORD ListedAttributes(HANDLE parent, const std::wstring& name);
// Whether the handle's own name ends in `name` (or, for an entry opened by its short name,
// whether that is its short name). On Windows an entry opened as itself always does. Wine
// opens what a Unix link points to even when asked for the link itself, lists the link as a
// reparse point only when it points to a folder, and shows no reparse attribute through the
// handle; the handle's name is then the target's. True when no name can be had.
bool NamesItself(HANDLE entry, const std::wstring& name);

// Why a chain stopped: the full path of the component and the verdict on it.
struct ChainFailure {
  std::wstring path;
  Verdict verdict = Verdict::kAccepted;
  DWORD error = 0;
};

// One log line for a component the checked road would not take: its path and why
// (util/log.cpp).
void LogRefusal(const char* source, const ChainFailure& failure);

// Folders held from a volume root down, one handle per component.
class FolderChain {
 public:
  enum class Create { kNo, kIfMissing, kOnly };

  // Opens and holds `path` (with or without its trailing backslash) from its volume root down.
  // `checked`: every component is judged as OpenChecked does; otherwise links on the way are
  // followed. `create`: missing components are made (in the same call that opens what
  // exists). False, with nothing held, when a component is refused or cannot be had.
  bool Open(const std::wstring& path, bool checked, bool create);
  // One folder further down, below the deepest: opened, made when missing (kIfMissing), or
  // only made, never opened when something is there (kOnly, whose failure then reads
  // ERROR_ALREADY_EXISTS, and which is held with traversal too). `descriptor` serves a folder
  // it makes. The chain is unchanged on failure.
  bool Descend(const std::wstring& name, Create create, bool checked, PSECURITY_DESCRIPTOR descriptor = nullptr);
  // Lets the chain go of its deepest folder and hands over the handle.
  UniqueFile TakeDeepest();
  void Clear();

  bool Empty() const { return held_.empty(); }
  // The deepest folder's handle (null when nothing is held) and path (with its backslash).
  HANDLE Deepest() const { return held_.empty() ? nullptr : held_.back().get(); }
  // The folder above the deepest (null when there is none).
  HANDLE Parent() const { return held_.size() < 2 ? nullptr : held_[held_.size() - 2].get(); }
  const std::wstring& Path() const { return path_; }
  const ChainFailure& Failure() const { return failure_; }

 private:
  std::vector<UniqueFile> held_;
  std::wstring path_;
  ChainFailure failure_;
};

}  // namespace lumo
