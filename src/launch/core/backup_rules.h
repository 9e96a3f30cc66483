// Where the backup copy of the launcher may go, and what it may replace. The copy lies in a
// folder of the common application-data folder under a name anyone can work out, and the
// agent later elevates it: so it goes only into a folder whose contents no one but the
// machine's own accounts and the writer can delete, replace or re-permission, now or
// through what the folder passes on to the files made in it, and it replaces only the
// writer's own file. The shell reads a descriptor's bytes; these rules read and judge them,
// and make the descriptors the launcher gives what it creates. Portable: no system call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumo {

// Who an account in a descriptor is, as far as these rules care.
enum class Principal : uint8_t {
  kSystem,
  kAdministrators,
  kTrustedInstaller,
  kWriter,  // the account the copy is written as: its token's user or owner
  kOwner,   // the folder's owner, when it is none of the above
  kUsers,   // BUILTIN\Users
  kCreatorOwner,
  kCreatorGroup,
  kOwnerRights,
  kOther,   // anyone else: Everyone, another user, another group
};

// A SID in its binary form: revision, count, authority, sub-authorities.
struct SidView {
  const uint8_t* bytes = nullptr;
  std::size_t length = 0;
};

// The writer's token: its user, and the owner it gives what it makes (a full administrator
// token's is BUILTIN\Administrators).
struct Writer {
  SidView user, owner;
};

// The SID of a well-known principal; empty for kWriter, kOwner and kOther.
SidView WellKnownSid(Principal principal);

// The machine's own accounts and the other well-known ones first, then the writer, then the
// folder's owner.
Principal PrincipalOf(SidView sid, const Writer& writer, SidView folderOwner);

// Whether `owner` is the writer (its token's user or owner).
bool IsWritersOwn(SidView owner, const Writer& writer);

// Whether a file owned by `owner` at the copy's name may be replaced by the copy: the writer's
// own, or the machine's (SYSTEM, Administrators, TrustedInstaller). Anyone else's is never
// written over.
bool MayReplaceFile(SidView owner, const Writer& writer);

// One entry of a DACL, as the rules read it. `type` and `flags` are the ACE header's.
struct AclEntry {
  Principal trustee;
  uint8_t type;
  uint8_t flags;
  uint32_t mask;
};

// A descriptor as read: its owner and the entries of its DACL. No DACL lets everyone do
// anything: it reads as full control for everyone, passed on to all. An entry whose account
// cannot be found in it counts as another's.
constexpr std::size_t kMaxAclEntries = 32;
struct Security {
  bool readable = false;  // false: malformed, without an owner, or more entries than kept
  Principal owner = Principal::kOther;
  SidView ownerSid;
  std::size_t count = 0;
  AclEntry entries[kMaxAclEntries];
};

// Reads a self-relative security descriptor, as the system gives it, holding the owner and
// the DACL; `security` points into it.
void ReadDescriptor(const uint8_t* descriptor, std::size_t size, const Writer& writer, Security& security);

enum class FolderVerdict : uint8_t {
  kTake,        // the copy may go into it
  kReplace,     // not the machine's: an elevated run moves it aside and makes the machine's
  kUnreadable,  // its owner or DACL cannot be read
  kOwner,       // owned by another user, who may rewrite its DACL at any time
  kGrants,      // an entry lets another delete or replace what is in it, or re-permission it
  kPassesOn,    // an entry hands another the files (or folders) made in it
};

struct FolderJudgement {
  FolderVerdict verdict;
  std::size_t entry;  // the entry at fault, for kGrants and kPassesOn
};

// The rule over a folder on the way to the copy. Its owner must be SYSTEM, Administrators or
// TrustedInstaller, or, for an unelevated run, the writer (who risks only its own copy): whoever
// owned a folder may still hold a handle opened with the owner's right to rewrite its DACL, and
// access is checked when a handle is opened, never again, so no entry it shows now tames an
// owner. An elevated run is to replace a folder of any other owner, the writer's included.
// No allowing entry (callback and object types included; denying ones add no safety) may give
// anyone else delete, delete-child, write-DAC or write-owner on the folder, nor pass on to the
// files made in it the right to delete, rewrite or re-permission them (nor those rights over
// the folders made in it). Adding files and folders is fine: whoever adds owns only what they
// add.
FolderJudgement JudgeFolder(bool readable, Principal owner, const AclEntry* entries, std::size_t count,
                            bool elevated);

// The DACLs the launcher gives what it makes. The folders ("Ondrix", the top one, and
// "Temp"): SYSTEM and Administrators full control and Users read
// and execute, inherited by all; Users may add files, and in the top folder folders, there
// only; CREATOR OWNER full control over what is made inside; OWNER RIGHTS reading the
// DACL, listing and traversing only, so that the user who made the folder gains nothing by
// owning it. The copy: SYSTEM, Administrators and the writer full control, Users read and
// execute.
extern const AclEntry kTopFolderEntries[6];
extern const AclEntry kTempFolderEntries[6];
extern const AclEntry kCopyEntries[4];

// A self-relative descriptor of these entries, all allowing, its DACL protected so that
// nothing above flows into it; kWriter stands for the SID `writer`; the owner is the SID
// `owner`, or none (the creator's) when null. Returns its size, 0 when it does not fit.
std::size_t MakeDescriptor(const AclEntry* entries, std::size_t count, const uint8_t* writer, const uint8_t* owner,
                           uint8_t* out, std::size_t capacity);

}  // namespace lumo
