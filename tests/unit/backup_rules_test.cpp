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
constexpr uint32_t kGenericAll = 0x10000000, kGenericWrite = 0x40000000;
constexpr uint8_t kAllow = 0, kDeny = 1, kAllowObject = 5, kAllowCallback = 9;
constexpr uint8_t kOI = 1, kCI = 2, kAll = 3, kIO = 8, kID = 0x10;

const AclEntry kSystem{P::kSystem, kAllow, kAll, kFull}, kAdmins{P::kAdministrators, kAllow, kAll, kFull};
const AclEntry kUsersRead{P::kUsers, kAllow, kAll, kRead};

FolderJudgement Judge(P owner, std::vector<AclEntry> entries, bool elevated = false, bool readable = true) {
  return JudgeFolder(readable, owner, entries.data(), entries.size(), elevated);
}

TEST(BackupFolderRule, NoOneButTheMachineAndTheWriterMayChangeWhatIsInIt) {
  // A folder an older launcher made under the common folder: the DACL inherited whole.
  const std::vector<AclEntry> inherited = {
      {P::kSystem, kAllow, kAll | kID, kFull},      {P::kAdministrators, kAllow, kAll | kID, kFull},
      {P::kOwner, kAllow, kID, kFull},              {P::kCreatorOwner, kAllow, kAll | kIO | kID, kFull},
      {P::kUsers, kAllow, kAll | kID, kRead},       {P::kUsers, kAllow, kCI | kID, 0x116}};
  std::vector<AclEntry> writers = inherited, named = inherited;
  writers[2].trustee = P::kWriter;
  named.push_back({P::kOther, kAllow, kID, kRead});
  // Wine's, from the mode bits: SYSTEM, the Unix owner, Everyone the "other" bits.
  const AclEntry wineOwner{P::kWriter, kAllow, kAll, kFull};
  const struct {
    const char* what;
    P owner;
    std::vector<AclEntry> entries;
    bool elevated;
    V verdict;
    std::size_t entry;
  } cases[] = {
      {"SYSTEM's", P::kSystem, {kSystem, kAdmins, kUsersRead}, false, V::kTake, 0},
      {"Administrators'", P::kAdministrators, {kSystem, kAdmins, kUsersRead}, false, V::kTake, 0},
      {"TrustedInstaller's", P::kTrustedInstaller, {kSystem, kUsersRead}, false, V::kTake, 0},
      {"the writer's", P::kWriter, {kSystem, kUsersRead, {P::kWriter, kAllow, kAll, kFull}}, false, V::kTake, 0},
      {"another user's", P::kOwner, {kSystem, kAdmins, kUsersRead}, false, V::kOwner, 0},
      {"another user's, OWNER RIGHTS reading", P::kOwner, {kSystem, {P::kOwnerRights, kAllow, 0, kRead}}, false,
       V::kTake, 0},
      {"another user's, OWNER RIGHTS inherit-only", P::kOwner, {kSystem, {P::kOwnerRights, kAllow, kAll | kIO, kRead}},
       false, V::kOwner, 0},
      {"another user's, OWNER RIGHTS denied", P::kOwner, {kSystem, {P::kOwnerRights, kDeny, 0, kFull}}, false,
       V::kOwner, 0},
      {"another user's, OWNER RIGHTS re-permitting", P::kOwner, {kSystem, {P::kOwnerRights, kAllow, 0, kWriteDac}},
       false, V::kGrants, 1},
      {"SYSTEM's, OWNER RIGHTS re-permitting", P::kSystem, {{P::kOwnerRights, kAllow, 0, kWriteDac}}, false, V::kTake,
       0},
      {"every user adds files and folders", P::kSystem, {kSystem, {P::kUsers, kAllow, 0, kAddFile | kAddFolder}},
       false, V::kTake, 0},
      {"every user writes the files to come", P::kSystem, {{P::kUsers, kAllow, kOI | kIO, kAddFile}}, false,
       V::kPassesOn, 0},
      {"CREATOR OWNER's, inherit-only", P::kSystem, {{P::kCreatorOwner, kAllow, kAll | kIO, kFull}}, false, V::kTake,
       0},
      {"CREATOR GROUP's, inherit-only", P::kSystem, {kSystem, {P::kCreatorGroup, kAllow, kAll | kIO, kFull}}, false,
       V::kPassesOn, 1},
      {"GENERIC_ALL for Users", P::kSystem, {{P::kUsers, kAllow, 0, kGenericAll}}, false, V::kGrants, 0},
      {"GENERIC_WRITE for Users, here", P::kSystem, {{P::kUsers, kAllow, 0, kGenericWrite}}, false, V::kTake, 0},
      {"GENERIC_WRITE for Users, passed on", P::kSystem, {{P::kUsers, kAllow, kOI, kGenericWrite}}, false,
       V::kPassesOn, 0},
      {"a callback entry", P::kSystem, {{P::kOther, kAllowCallback, 0, kDelete}}, false, V::kGrants, 0},
      {"an object entry", P::kSystem, {{P::kOther, kAllowObject, kAll | kIO, kDelete}}, false, V::kPassesOn, 0},
      {"an older launcher's, for its owner", P::kWriter, writers, false, V::kTake, 0},
      {"an older launcher's, for another", P::kOwner, inherited, false, V::kOwner, 0},
      {"an older launcher's, elevated", P::kOwner, inherited, true, V::kRepair, 0},
      {"an older launcher's, the writer's, elevated", P::kWriter, writers, true, V::kRepair, 0},
      {"one naming another user, elevated", P::kOwner, named, true, V::kOwner, 0},
      {"Wine's, umask 022", P::kWriter, {kSystem, wineOwner, {P::kOther, kAllow, kAll, kRead}}, true, V::kTake, 0},
      {"Wine's, umask 000", P::kWriter, {kSystem, wineOwner, {P::kOther, kAllow, kAll, kRead | 0x10116 | kDeleteChild}},
       false, V::kGrants, 2},
  };
  for (const auto& c : cases) {
    const FolderJudgement judged = Judge(c.owner, c.entries, c.elevated);
    EXPECT_EQ(judged.verdict, c.verdict) << c.what;
    if (c.verdict == V::kGrants || c.verdict == V::kPassesOn) EXPECT_EQ(judged.entry, c.entry) << c.what;
  }
  EXPECT_EQ(Judge(P::kSystem, {kSystem}, false, false).verdict, V::kUnreadable);

  // Each right that lets another delete, replace or re-permission, given to Everyone, Users or
  // another user: refused on the folder, refused passed on, and nothing when denied.
  for (const uint32_t right : {kDelete, kDeleteChild, kWriteDac, kWriteOwner}) {
    for (const P who : {P::kOther, P::kUsers, P::kOwner}) {
      EXPECT_EQ(Judge(P::kSystem, {kSystem, {who, kAllow, 0, right}}).verdict, V::kGrants) << right;
      EXPECT_EQ(Judge(P::kSystem, {kSystem, {who, kAllow, kAll | kIO, right}}).verdict, V::kPassesOn) << right;
      EXPECT_EQ(Judge(P::kSystem, {kSystem, {who, kDeny, kAll, right}}).verdict, V::kTake) << right;
    }
  }
}

// SIDs as the system stores them: revision, count, authority (big-endian), sub-authorities
// (little-endian).
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
      {admins, elevated, P::kAdministrators, true},  // what a full administrator token makes
      {admins, standard, P::kAdministrators, false},
      {b, standard, P::kOwner, false},  // the folder's owner here
      {Sid(5, {18}), standard, P::kSystem, false},
      {Sid(5, {80, 956008885, 3418522649u, 1831038044, 1853292631, 2271478464u}), standard, P::kTrustedInstaller,
       false},
      {Sid(5, {32, 545}), standard, P::kUsers, false},
      {Sid(3, {1}), standard, P::kCreatorGroup, false},
      {Sid(1, {0}), standard, P::kOther, false},  // Everyone
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PrincipalOf(View(c.sid), c.writer, View(b)), c.principal) << static_cast<int>(c.principal);
    EXPECT_EQ(IsWritersOwn(View(c.sid), c.writer), c.writersFile) << static_cast<int>(c.principal);
  }
}

// The launcher's own descriptors, as bytes: a folder made by one user passes the rule for
// every other, elevated or not; one repaired is Administrators'; the copy lets Users only
// read and execute it.
TEST(BackupFolderRule, TheDescriptorsTheLauncherMakesPassForEveryOtherUser) {
  const auto maker = Sid(5, {21, 1, 2, 3, 1001}), other = Sid(5, {21, 1, 2, 3, 1002});
  const Writer reader{View(other), View(other)};
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
  // Owned by its writer, as the system makes it.
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
