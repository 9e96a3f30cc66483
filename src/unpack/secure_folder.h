// The work folder of a run and the folders above it, held by handle. The work folder lies in
// the user's own temp folder, where any unelevated program of that user can write, rename
// and delete, and an elevated run's SYSTEM task later runs a program from it. So the run
// makes it create-only (a folder that is there already is never adopted), an elevated run
// with a protected descriptor (full control for SYSTEM and Administrators, read and execute
// for the session's user); it holds it, and every folder above it, until the launch has
// ended; it checks before the task is created that the path still names that very folder;
// and it deletes it through handles opened from that hold.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "util/folder_chain.h"
#include "util/handles.h"

namespace lumo {

// Makes `name` below the deepest folder of `chain` as the run's work folder, create-only and,
// with `protect`, with the protected descriptor, trying again 20 times 100 ms apart after a
// failure (taking the thread's messages meanwhile). On success the chain, the new folder at its
// end, becomes the run's hold (one per process; `chain` is left empty) until it is released
// or deleted. Returns ERROR_SUCCESS or the Win32 error (ERROR_ALREADY_EXISTS when the name
// is taken), with `chain` as it was.
int ClaimWorkFolder(FolderChain& chain, const std::wstring& name, bool protect);

// The held work folder's handle, and that of the folder above it; null when none is held.
HANDLE HeldWorkFolder();
HANDLE HeldWorkFolderParent();

// A task that may still name the work folder outlives the run (its deletion failed): the
// folder is then emptied at the end and kept, so that its name is never given up.
void KeepHeldWorkFolder();
bool IsHeldWorkFolderKept();

// True when the path names the held work folder (same volume, same file identity); false
// when nothing is held or the path leads elsewhere.
bool IsHeldWorkFolder(const std::wstring& path);

// Lets go of the work folder and of every folder held above it.
void ReleaseWorkFolder();

// Deletes the held work folder with everything in it and, with `andParent`, then the folder
// above it when that has become empty; lets go of all that is held. Each goes through a
// handle opened from the run's own hold on it, so no name is resolved again. After
// KeepHeldWorkFolder the folder is only emptied (EmptyFolderAt) and kept. False, with nothing
// done, when no work folder is held.
bool DeleteHeldWorkFolder(bool andParent);

// Lets the chain go of its deepest folder and deletes that folder, as a tree or only when it
// is empty, through a handle opened from the hold: whatever its name leads to by then, it is
// this folder that goes.
bool DeleteDeepest(FolderChain& chain, bool tree);

// Whether a folder's owner and DACL (protected or not) are those an elevated run gives its
// work folder, and whether those of the folder open in `folder` (with READ_CONTROL) are.
// Under Wine, which builds a descriptor from the Unix mode bits, no folder's are: its owner
// reads as the Wine user whatever it was made with.
bool IsWorkFolderSecurity(PSID owner, PACL dacl, bool daclProtected);
bool HasWorkFolderSecurity(HANDLE folder);

// The building blocks, for the launcher and its tests.
// The protected descriptor: an explicit, protected DACL whose entries are inherited by
// files and folders made inside: full control for SYSTEM and Administrators, read and
// execute for the given user (no user entry when the SID is null).
class ProtectedDescriptor {
 public:
  explicit ProtectedDescriptor(PSID user);
  ProtectedDescriptor(const ProtectedDescriptor&) = delete;
  ProtectedDescriptor& operator=(const ProtectedDescriptor&) = delete;
  bool valid() const { return valid_; }
  PSECURITY_DESCRIPTOR get() { return &descriptor_; }

 private:
  std::vector<BYTE> system_, admins_, acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  bool valid_ = false;
};

// Whether two handles name the same file or folder.
bool SameFile(HANDLE a, HANDLE b);
// The user SID of the session's user (or of the launcher, when that user's token cannot be
// had), copied into the buffer; false when neither can be read.
bool GetSessionUserSid(std::wstring& sidText, UniqueLocal& sid);

}  // namespace lumo
