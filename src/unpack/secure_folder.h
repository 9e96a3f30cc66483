// The work folder of an elevated launcher. SYSTEM later runs a program from it, and it lies
// in the user's own temp folder, where any unelevated program of that user can write,
// rename and delete. So an elevated launcher creates it with a protected descriptor (full
// control for SYSTEM and Administrators, read and execute for the session's user), keeps a
// handle to it that forbids renaming or deleting it until the launch has ended, and checks
// before the task is created that the path still names that very folder.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "util/handles.h"

namespace lumo {

// Creates the work folder, parents included. Elevated: the last component with the
// protected descriptor (ERROR_ALREADY_EXISTS when something is there already: a folder the
// launcher did not make is never adopted), and the folder is held from then on. Otherwise
// as SHCreateDirectoryExW with default security. Returns ERROR_SUCCESS or the Win32 error.
int CreateWorkFolder(const std::wstring& path);

// True when the path names the folder held since its creation (same volume, same file
// identity); false when nothing is held or the path leads elsewhere.
bool IsHeldWorkFolder(const std::wstring& path);

// Lets go of the held folder so that it can be removed.
void ReleaseWorkFolder();

// Deletes the held folder with everything in it through the held handle (no path is
// followed), letting go of it. False, with nothing done, when no folder is held.
bool DeleteHeldWorkFolder(const std::wstring& path);

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

// Creates one folder (its parent must exist) with the protected descriptor granting the
// given user read and execute (no user entry when the SID is null), and returns the handle
// that holds it, opened in the same system call so that no other folder can be slipped in
// between. The handle allows no delete sharing: neither the folder nor a folder above it
// can be renamed or removed while it is open. Invalid, with the last error set, on failure
// (ERROR_ALREADY_EXISTS when the name is taken).
UniqueFile CreateProtectedFolder(const std::wstring& path, PSID user);
// Whether two handles name the same file or folder.
bool SameFile(HANDLE a, HANDLE b);
// The user SID of the session's user (or of the launcher, when that user's token cannot be
// had), copied into the buffer; false when neither can be read.
bool GetSessionUserSid(std::wstring& sidText, UniqueLocal& sid);

}  // namespace lumo
