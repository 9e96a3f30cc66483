#include "launch/core/backup_rules.h"

#include <cstring>

namespace lumo {
namespace {

// The values of the Windows headers.
constexpr uint8_t kAllowed = 0;
constexpr uint8_t kObjectInherit = 0x1, kContainerInherit = 0x2, kInheritOnly = 0x8, kInherited = 0x10;
constexpr uint8_t kInheritAll = kObjectInherit | kContainerInherit;
constexpr uint32_t kFullControl = 0x1F01FF, kReadExecute = 0x1200A9;
constexpr uint32_t kDelete = 0x10000, kWriteDac = 0x40000, kWriteOwner = 0x80000;
constexpr uint32_t kWriteData = 0x2, kAppendData = 0x4, kDeleteChild = 0x40;  // on a folder: add file, add folder
constexpr uint32_t kReadControl = 0x20000, kListFolder = 0x1, kTraverse = 0x20;
// What no one else may have over the folder, and over the files made in it.
constexpr uint32_t kFolderDanger = kDelete | kWriteDac | kWriteOwner | kDeleteChild;
constexpr uint32_t kFileDanger = kDelete | kWriteDac | kWriteOwner | kWriteData | kAppendData;

// The well-known SIDs one after the other, in the order of Principal; a 0 stands for each
// principal without one. Each is 8 bytes and 4 per sub-authority (little-endian).
constexpr uint8_t kWellKnown[] = {
    1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,                       // S-1-5-18
    1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0,        // S-1-5-32-544
    // S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464
    1, 6, 0, 0, 0, 0, 0, 5, 80, 0, 0, 0, 181, 137, 251, 56, 25, 132, 194, 203, 92, 108, 35, 109, 87, 0, 119, 110,
    192, 2, 100, 135,
    0, 0,                                                      // the writer, the owner
    1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2, 0, 0,        // S-1-5-32-545
    1, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0,                        // S-1-3-0
    1, 1, 0, 0, 0, 0, 0, 3, 1, 0, 0, 0,                        // S-1-3-1
    1, 1, 0, 0, 0, 0, 0, 3, 4, 0, 0, 0,                        // S-1-3-4
};

std::size_t SidLength(const uint8_t* sid) { return 8 + 4 * static_cast<std::size_t>(sid[1]); }

bool SameSid(SidView a, SidView b) {
  return a.length != 0 && a.length == b.length && std::memcmp(a.bytes, b.bytes, a.length) == 0;
}

// Little-endian values of 16 and 32 bits.
uint32_t Read16(const uint8_t* p) { return p[0] | p[1] << 8; }
uint32_t Read32(const uint8_t* p) { return Read16(p) | Read16(p + 2) << 16; }
void Write16(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}
void Write32(uint8_t* p, uint32_t value) {
  Write16(p, value);
  Write16(p + 2, value >> 16);
}

// Denied, denied-object, denied-callback and denied-callback-object entries add no safety;
// every other kind may allow.
bool IsAllowing(uint8_t type) { return type != 1 && type != 6 && type != 10 && type != 12; }

bool IsMachineOrWriter(Principal principal) { return principal <= Principal::kWriter; }

// A mask with its generic bits mapped to the file rights they stand for.
uint32_t FileRights(uint32_t mask) {
  static const uint32_t kGeneric[] = {kFullControl, 0x1200A0, 0x120116, 0x120089};  // ALL, EXECUTE, WRITE, READ
  for (int bit = 0; bit < 4; ++bit)
    if (mask & (0x10000000u << bit)) mask |= kGeneric[bit];
  return mask;
}

// The SID at `at` of a block of `size` bytes; empty when it does not fit.
SidView SidAt(const uint8_t* block, std::size_t size, std::size_t at) {
  if (at == 0 || size < at + 8 || size - at < SidLength(block + at)) return {};
  return {block + at, SidLength(block + at)};
}

// The entries of an ACL of `size` bytes; false when it is malformed or holds too many.
bool ReadAcl(const uint8_t* acl, std::size_t size, const Writer& writer, Security& security) {
  security.count = size < 8 ? kMaxAclEntries + 1 : Read16(acl + 4);
  if (security.count > kMaxAclEntries) return false;
  for (std::size_t i = 0, at = 8; i < security.count; ++i) {
    const uint8_t* ace = acl + at;
    const std::size_t aceSize = size - at < 8 ? 0 : Read16(ace + 2);
    if (aceSize < 8 || aceSize > size - at) return false;
    // The account follows the mask, but in the kinds made for directory objects (compound,
    // object, callback-object), which file systems do not use: there it counts as another.
    const uint8_t type = ace[0];
    const bool plain = type < 4 || type == 9 || type == 10 || type == 13 || type == 14;
    const SidView sid = SidAt(ace, plain ? aceSize : 0, 8);
    security.entries[i] = {sid.length != 0 ? PrincipalOf(sid, writer, security.ownerSid) : Principal::kOther, type,
                           ace[1], Read32(ace + 4)};
    at += aceSize;
  }
  return true;
}

}  // namespace

SidView WellKnownSid(Principal principal) {
  const uint8_t* sid = kWellKnown;
  for (int i = 0; i < static_cast<int>(principal); ++i) sid += *sid == 0 ? 1 : SidLength(sid);
  if (principal > Principal::kOwnerRights || *sid == 0) return {};
  return {sid, SidLength(sid)};
}

Principal PrincipalOf(SidView sid, const Writer& writer, SidView folderOwner) {
  for (int kind = 0; kind <= static_cast<int>(Principal::kOwnerRights); ++kind)
    if (SameSid(sid, WellKnownSid(static_cast<Principal>(kind)))) return static_cast<Principal>(kind);
  if (IsWritersOwn(sid, writer)) return Principal::kWriter;
  return SameSid(sid, folderOwner) ? Principal::kOwner : Principal::kOther;
}

bool IsWritersOwn(SidView owner, const Writer& writer) {
  return SameSid(owner, writer.user) || SameSid(owner, writer.owner);
}

bool MayReplaceFile(SidView owner, const Writer& writer) { return IsMachineOrWriter(PrincipalOf(owner, writer, {})); }

void ReadDescriptor(const uint8_t* descriptor, std::size_t size, const Writer& writer, Security& security) {
  // Revision, control, then the offsets of owner, group, SACL and DACL.
  constexpr uint32_t kDaclPresent = 0x4;
  security.readable = false;
  security.count = 0;
  security.ownerSid = size < 20 ? SidView() : SidAt(descriptor, size, Read32(descriptor + 4));
  security.owner = PrincipalOf(security.ownerSid, writer, security.ownerSid);
  if (security.ownerSid.length == 0) return;
  const std::size_t dacl = Read32(descriptor + 16);
  if ((Read16(descriptor + 2) & kDaclPresent) == 0 || dacl == 0) {
    security.entries[0] = {Principal::kOther, kAllowed, kInheritAll, kFullControl};
    security.count = 1;
  } else if (dacl > size || !ReadAcl(descriptor + dacl, size - dacl, writer, security)) {
    return;
  }
  security.readable = true;
}

FolderJudgement JudgeFolder(bool readable, Principal owner, const AclEntry* entries, std::size_t count,
                            bool elevated) {
  if (!readable) return {FolderVerdict::kUnreadable, 0};
  // The machine's accounts come first among the principals; the writer is trusted only where
  // it risks no one's copy but its own.
  if (owner > Principal::kWriter || (owner == Principal::kWriter && elevated))
    return {elevated ? FolderVerdict::kReplace : FolderVerdict::kOwner, 0};
  for (std::size_t i = 0; i < count; ++i) {
    const AclEntry& entry = entries[i];
    const Principal trustee = entry.trustee;
    if (!IsAllowing(entry.type) || IsMachineOrWriter(trustee)) continue;
    const uint32_t mask = FileRights(entry.mask);
    // On the folder itself the creators stand for no one, and OWNER RIGHTS for its owner, one
    // of those trusted above.
    const bool nobodyNow = trustee == Principal::kCreatorOwner || trustee == Principal::kCreatorGroup ||
                           trustee == Principal::kOwnerRights;
    if ((entry.flags & kInheritOnly) == 0 && !nobodyNow && (mask & kFolderDanger) != 0)
      return {FolderVerdict::kGrants, i};
    // Passed on, CREATOR OWNER and OWNER RIGHTS stand for the new entry's owner, whoever
    // made it; CREATOR GROUP for its primary group, which other users share.
    if (trustee == Principal::kCreatorOwner || trustee == Principal::kOwnerRights) continue;
    if (((entry.flags & kObjectInherit) != 0 && (mask & kFileDanger) != 0) ||
        ((entry.flags & kContainerInherit) != 0 && (mask & kFolderDanger) != 0))
      return {FolderVerdict::kPassesOn, i};
  }
  return {FolderVerdict::kTake, 0};
}

const AclEntry kTopFolderEntries[6] = {
    {Principal::kSystem, kAllowed, kInheritAll, kFullControl},
    {Principal::kAdministrators, kAllowed, kInheritAll, kFullControl},
    {Principal::kUsers, kAllowed, kInheritAll, kReadExecute},
    {Principal::kUsers, kAllowed, 0, kWriteData | kAppendData},
    {Principal::kCreatorOwner, kAllowed, kInheritAll | kInheritOnly, kFullControl},
    {Principal::kOwnerRights, kAllowed, 0, kReadControl | kListFolder | kTraverse},
};
const AclEntry kTempFolderEntries[6] = {
    {Principal::kSystem, kAllowed, kInheritAll, kFullControl},
    {Principal::kAdministrators, kAllowed, kInheritAll, kFullControl},
    {Principal::kUsers, kAllowed, kInheritAll, kReadExecute},
    {Principal::kUsers, kAllowed, 0, kWriteData},
    {Principal::kCreatorOwner, kAllowed, kInheritAll | kInheritOnly, kFullControl},
    {Principal::kOwnerRights, kAllowed, 0, kReadControl | kListFolder | kTraverse},
};
const AclEntry kCopyEntries[4] = {
    {Principal::kSystem, kAllowed, 0, kFullControl},
    {Principal::kAdministrators, kAllowed, 0, kFullControl},
    {Principal::kWriter, kAllowed, 0, kFullControl},
    {Principal::kUsers, kAllowed, 0, kReadExecute},
};

std::size_t MakeDescriptor(const AclEntry* entries, std::size_t count, const uint8_t* writer, const uint8_t* owner,
                           uint8_t* out, std::size_t capacity) {
  // Revision 1; control: self-relative, DACL present and protected; the offsets of owner,
  // group, SACL and DACL. Then the owner, then the DACL: revision 2, size, count, entries.
  constexpr std::size_t kHeader = 20;
  const std::size_t ownerLength = owner != nullptr ? SidLength(owner) : 0;
  const std::size_t dacl = kHeader + ownerLength;
  std::size_t at = dacl + 8;
  if (at > capacity) return 0;
  std::memset(out, 0, at);
  out[0] = 1;
  Write16(out + 2, 0x8000 | 0x1000 | 0x4);
  if (owner != nullptr) Write32(out + 4, kHeader);
  Write32(out + 16, static_cast<uint32_t>(dacl));
  std::memcpy(out + kHeader, owner, ownerLength);
  out[dacl] = 2;
  Write16(out + dacl + 4, static_cast<uint32_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    const uint8_t* sid = entries[i].trustee == Principal::kWriter ? writer : WellKnownSid(entries[i].trustee).bytes;
    const std::size_t aceSize = sid != nullptr ? 8 + SidLength(sid) : 0;
    if (sid == nullptr || capacity - at < aceSize) return 0;
    // An allowing entry: type 0, flags, size, mask, SID.
    out[at] = kAllowed;
    out[at + 1] = entries[i].flags;
    Write16(out + at + 2, static_cast<uint32_t>(aceSize));
    Write32(out + at + 4, entries[i].mask);
    std::memcpy(out + at + 8, sid, aceSize - 8);
    at += aceSize;
  }
  Write16(out + dacl + 2, static_cast<uint32_t>(at - dacl));
  return at;
}

}  // namespace lumo
