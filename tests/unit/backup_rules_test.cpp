// The backup copy's rules: which folders may hold it, whose file it may replace, and the
// descriptors the launcher gives what it makes.
#include <gtest/gtest.h>

#include <vector>

#include "launch/core/backup_rules.h"

namespace {

using namespace lumo;
using P = Principal;
using V = FolderVerdict;

// Masks, types and flags as Windows writes them.
constexpr uint32_t kFull = 0x1F01FF, kRead = 0x1200A9, kAddFile = 0x2, kAddFolder = 0x4;
constexpr uint32_t kDelete = 0x10000, kDeleteChild = 0x40, kWriteDac = 0x40000, kWriteOwner = 0x80000;
constexpr uint8_t kAllow = 0, kDeny = 1, kAllowObject = 5, kAllowCallback = 9;
constexpr uint8_t kOI = 1, kCI = 2, kAll = 3, kIO = 8, kID = 0x10;

AclEntry A(P who, uint8_t flags, uint32_t mask, uint8_t type = kAllow) { return {who, type, flags, mask}; }

FolderJudgement Judge(P owner, std::vector<AclEntry> e, bool elevated = false) {
  return JudgeFolder(true, owner, e.data(), e.size(), elevated);
}

TEST(BackupFolderRule, NoOneButTheMachineAndTheWriterMayChangeWhatIsInIt) {
  const AclEntry system = A(P::kSystem, kAll, kFull), users = A(P::kUsers, kAll, kRead);
  // What a folder made in the common folder inherits, the maker's entry from CREATOR OWNER.
  const std::vector<AclEntry> common = {A(P::kSystem, kAll | kID, kFull), A(P::kAdministrators, kAll | kID, kFull),
                                        A(P::kOwner, kID, kFull),          A(P::kCreatorOwner, kAll | kIO | kID, kFull),
                                        A(P::kUsers, kAll | kID, kRead),   A(P::kUsers, kCI | kID, 0x116)};
  std::vector<AclEntry> writers = common, named = common;
  writers[2].trustee = P::kWriter;
  named.push_back(A(P::kOther, kID, kRead));
  // Wine's, from the mode bits: SYSTEM, the Unix user as owner, Everyone the "other" bits.
  const std::vector<AclEntry> wine = {system, A(P::kWriter, kAll, kFull), A(P::kOther, kAll, kRead)};
  std::vector<AclEntry> wineWritable = wine;
  wineWritable[2].mask |= 0x10116 | kDeleteChild;  // umask 000: write, delete, delete-child
  const struct {
    const char* what;
    P owner;
    std::vector<AclEntry> entries;
    bool elevated;
    V verdict;
    std::size_t entry;
  } cases[] = {
      {"SYSTEM's", P::kSystem, {system, users}, false, V::kTake, 0},
      {"Administrators'", P::kAdministrators, {system, users}, false, V::kTake, 0},
      {"TrustedInstaller's", P::kTrustedInstaller, {system, users}, false, V::kTake, 0},
      {"the writer's", P::kWriter, {system, A(P::kWriter, kAll, kFull)}, false, V::kTake, 0},
      {"another's", P::kOwner, {system, users}, false, V::kOwner, 0},
      {"another's, OWNER RIGHTS", P::kOwner, {system, A(P::kOwnerRights, 0, kRead)}, false, V::kTake, 0},
      {"another's, OWNER RIGHTS passed on", P::kOwner, {A(P::kOwnerRights, kAll | kIO, kRead)}, false, V::kOwner, 0},
      {"another's, OWNER RIGHTS denied", P::kOwner, {A(P::kOwnerRights, 0, kFull, kDeny)}, false, V::kOwner, 0},
      {"another's, OWNER RIGHTS re-permit", P::kOwner, {system, A(P::kOwnerRights, 0, kWriteDac)}, false, V::kGrants,
       1},
      {"all add files, folders", P::kSystem, {system, A(P::kUsers, 0, kAddFile | kAddFolder)}, false, V::kTake, 0},
      {"all write the files to come", P::kSystem, {A(P::kUsers, kOI | kIO, kAddFile)}, false, V::kPassesOn, 0},
      {"CREATOR OWNER", P::kSystem, {A(P::kCreatorOwner, kAll | kIO, kFull)}, false, V::kTake, 0},
      {"CREATOR GROUP", P::kSystem, {system, A(P::kCreatorGroup, kAll | kIO, kFull)}, false, V::kPassesOn, 1},
      {"GENERIC_ALL", P::kSystem, {A(P::kUsers, 0, 0x10000000)}, false, V::kGrants, 0},
      {"GENERIC_WRITE here", P::kSystem, {A(P::kUsers, 0, 0x40000000)}, false, V::kTake, 0},
      {"GENERIC_WRITE passed on", P::kSystem, {A(P::kUsers, kOI, 0x40000000)}, false, V::kPassesOn, 0},
      {"a callback entry", P::kSystem, {A(P::kOther, 0, kDelete, kAllowCallback)}, false, V::kGrants, 0},
      {"an object entry", P::kSystem, {A(P::kOther, kAll | kIO, kDelete, kAllowObject)}, false, V::kPassesOn, 0},
      {"common, the maker's", P::kWriter, writers, false, V::kTake, 0},
      {"common, another's", P::kOwner, common, false, V::kOwner, 0},
      {"common, elevated", P::kOwner, common, true, V::kRepair, 0},
      {"common, the maker's, elevated", P::kWriter, writers, true, V::kRepair, 0},
      {"common naming another user, elevated", P::kOwner, named, true, V::kOwner, 0},
      {"Wine's, umask 022, elevated", P::kWriter, wine, true, V::kTake, 0},
      {"Wine's, umask 000", P::kWriter, wineWritable, false, V::kGrants, 2},
  };
  for (const auto& c : cases) {
    const FolderJudgement judged = Judge(c.owner, c.entries, c.elevated);
    EXPECT_EQ(judged.verdict, c.verdict) << c.what;
    if (c.verdict == V::kGrants || c.verdict == V::kPassesOn) EXPECT_EQ(judged.entry, c.entry) << c.what;
  }
  EXPECT_EQ(JudgeFolder(false, P::kSystem, &system, 1, false).verdict, V::kUnreadable);

  // Each right that lets another delete, replace or re-permission, given to Everyone, Users or
  // another user: refused on the folder and passed on; denied, it changes nothing.
  for (const uint32_t right : {kDelete, kDeleteChild, kWriteDac, kWriteOwner}) {
    for (const P who : {P::kOther, P::kUsers, P::kOwner}) {
      EXPECT_EQ(Judge(P::kSystem, {system, A(who, 0, right)}).verdict, V::kGrants) << right;
      EXPECT_EQ(Judge(P::kSystem, {system, A(who, kAll | kIO, right)}).verdict, V::kPassesOn) << right;
      EXPECT_EQ(Judge(P::kSystem, {system, A(who, kAll, right, kDeny)}).verdict, V::kTake) << right;
    }
  }
}

// SIDs as the system stores them: revision, count, authority, sub-authorities (little-endian).
std::vector<uint8_t> Sid(uint8_t authority, std::vector<uint32_t> subs) {
  std::vector<uint8_t> sid = {1, static_cast<uint8_t>(subs.size()), 0, 0, 0, 0, 0, authority};
  for (uint32_t sub : subs)
    for (int i = 0; i < 4; ++i) sid.push_back(static_cast<uint8_t>(sub >> (8 * i)));
  return sid;
}
SidView View(const std::vector<uint8_t>& sid) { return {sid.data(), sid.size()}; }

TEST(BackupFolderRule, TheWriterIsItsTokensUserOrOwnerAndOnlyItsFileIsReplaced) {
  const auto a = Sid(5, {21, 1, 2, 3, 1001}), b = Sid(5, {21, 1, 2, 3, 1002}), admins = Sid(5, {32, 544});
  const Writer standard{View(a), View(a)}, elevated{View(a), View(admins)};
  const struct {
    std::vector<uint8_t> sid;
    const Writer& writer;
    P principal;
    bool writersFile;
  } cases[] = {
      {a, standard, P::kWriter, true},
      {a, elevated, P::kWriter, true},
      {admins, elevated, P::kAdministrators, true},  // a full administrator token owns what it makes so
      {admins, standard, P::kAdministrators, false},
      {b, standard, P::kOwner, false},  // the folder's owner here
      {Sid(5, {80, 956008885, 3418522649u, 1831038044, 1853292631, 2271478464u}), standard, P::kTrustedInstaller,
       false},
      {Sid(1, {0}), standard, P::kOther, false},  // Everyone
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PrincipalOf(View(c.sid), c.writer, View(b)), c.principal) << static_cast<int>(c.principal);
    EXPECT_EQ(IsWritersOwn(View(c.sid), c.writer), c.writersFile) << static_cast<int>(c.principal);
  }
}

// The launcher's own descriptors, as bytes read back: a folder made by one user, or repaired
// for Administrators, passes the rule for every other user, elevated or not; the copy,
// owned by its writer, lets Users only read and execute it.
TEST(BackupFolderRule, TheDescriptorsTheLauncherMakesPassForEveryOtherUser) {
  const auto maker = Sid(5, {21, 1, 2, 3, 1001}), other = Sid(5, {21, 1, 2, 3, 1002});
  const Writer reader{View(other), View(other)};  // another user
  uint8_t bytes[256];
  Security read;
  for (const AclEntry* entries : {kTopFolderEntries, kTempFolderEntries}) {
    for (const uint8_t* owner : {maker.data(), WellKnownSid(P::kAdministrators).bytes}) {
      const std::size_t size = MakeDescriptor(entries, 6, nullptr, owner, bytes, sizeof bytes);
      ReadDescriptor(bytes, size, reader, read);
      ASSERT_TRUE(read.readable && read.count == 6);
      for (std::size_t i = 0; i < 6; ++i)
        EXPECT_TRUE(read.entries[i].trustee == entries[i].trustee && read.entries[i].mask == entries[i].mask &&
                    read.entries[i].flags == entries[i].flags) << i;
      for (const bool elevated : {false, true})
        EXPECT_EQ(JudgeFolder(true, read.owner, read.entries, read.count, elevated).verdict, V::kTake);
      ReadDescriptor(bytes, size - 1, reader, read);
      EXPECT_FALSE(read.readable) << "cut short";
    }
  }
  ReadDescriptor(bytes, MakeDescriptor(kCopyEntries, 4, maker.data(), maker.data(), bytes, sizeof bytes), reader, read);
  ASSERT_TRUE(read.readable && read.count == 4);
  const P trustees[] = {P::kSystem, P::kAdministrators, P::kOwner, P::kUsers};  // the writer is its owner
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(read.entries[i].trustee, trustees[i]) << i;
    EXPECT_EQ(read.entries[i].mask, i < 3 ? kFull : kRead) << i;
  }
  EXPECT_EQ(MakeDescriptor(kCopyEntries, 4, nullptr, nullptr, bytes, sizeof bytes), 0u) << "no writer";
}

}  // namespace
