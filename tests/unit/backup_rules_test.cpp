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
  // Verdicts of an unelevated and of an elevated run; only the machine's folders pass both.
  const struct {
    const char* what;
    P owner;
    std::vector<AclEntry> entries;
    V verdict, elevated;
    std::size_t entry;
  } cases[] = {
      {"SYSTEM's", P::kSystem, {system, users}, V::kTake, V::kTake, 0},
      {"Administrators'", P::kAdministrators, {system, users}, V::kTake, V::kTake, 0},
      {"TrustedInstaller's", P::kTrustedInstaller, {system, users}, V::kTake, V::kTake, 0},
      {"the writer's", P::kWriter, {system, A(P::kWriter, kAll, kFull)}, V::kTake, V::kReplace, 0},
      {"another's", P::kOwner, {system, users}, V::kOwner, V::kReplace, 0},
      {"another's, OWNER RIGHTS", P::kOwner, {system, A(P::kOwnerRights, 0, kRead)}, V::kOwner, V::kReplace, 0},
      {"another's, OWNER RIGHTS passed on", P::kOwner, {A(P::kOwnerRights, kAll | kIO, kRead)}, V::kOwner,
       V::kReplace, 0},
      {"another's, OWNER RIGHTS denied", P::kOwner, {A(P::kOwnerRights, 0, kFull, kDeny)}, V::kOwner, V::kReplace, 0},
      {"SYSTEM's, OWNER RIGHTS re-permit", P::kSystem, {system, A(P::kOwnerRights, 0, kWriteDac)}, V::kTake,
       V::kTake, 0},
      {"all add files, folders", P::kSystem, {system, A(P::kUsers, 0, kAddFile | kAddFolder)}, V::kTake, V::kTake, 0},
      {"all write the files to come", P::kSystem, {A(P::kUsers, kOI | kIO, kAddFile)}, V::kPassesOn, V::kPassesOn, 0},
      {"CREATOR OWNER", P::kSystem, {A(P::kCreatorOwner, kAll | kIO, kFull)}, V::kTake, V::kTake, 0},
      {"CREATOR GROUP", P::kSystem, {system, A(P::kCreatorGroup, kAll | kIO, kFull)}, V::kPassesOn, V::kPassesOn, 1},
      {"GENERIC_ALL", P::kSystem, {A(P::kUsers, 0, 0x10000000)}, V::kGrants, V::kGrants, 0},
      {"GENERIC_WRITE here", P::kSystem, {A(P::kUsers, 0, 0x40000000)}, V::kTake, V::kTake, 0},
      {"GENERIC_WRITE passed on", P::kSystem, {A(P::kUsers, kOI, 0x40000000)}, V::kPassesOn, V::kPassesOn, 0},
      {"a callback entry", P::kSystem, {A(P::kOther, 0, kDelete, kAllowCallback)}, V::kGrants, V::kGrants, 0},
      {"an object entry", P::kSystem, {A(P::kOther, kAll | kIO, kDelete, kAllowObject)}, V::kPassesOn, V::kPassesOn,
       0},
      {"common, the maker's", P::kWriter, writers, V::kTake, V::kReplace, 0},
      {"common, another's", P::kOwner, common, V::kOwner, V::kReplace, 0},
      {"common naming another user", P::kOwner, named, V::kOwner, V::kReplace, 0},
      {"Wine's, umask 022", P::kWriter, wine, V::kTake, V::kReplace, 0},
      {"Wine's, umask 000", P::kWriter, wineWritable, V::kGrants, V::kReplace, 2},
  };
  for (const auto& c : cases) {
    for (const bool elevated : {false, true}) {
      const FolderJudgement judged = Judge(c.owner, c.entries, elevated);
      const V verdict = elevated ? c.elevated : c.verdict;
      EXPECT_EQ(judged.verdict, verdict) << c.what << (elevated ? ", elevated" : "");
      if (verdict == V::kGrants || verdict == V::kPassesOn) {
        EXPECT_EQ(judged.entry, c.entry) << c.what;
      }
    }
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
    bool writersFile, replaced;
  } cases[] = {
      {a, standard, P::kWriter, true, true},
      {a, elevated, P::kWriter, true, true},
      {admins, elevated, P::kAdministrators, true, true},  // a full administrator token owns what it makes so
      {admins, standard, P::kAdministrators, false, true},
      {b, standard, P::kOwner, false, false},  // the folder's owner here
      {Sid(5, {80, 956008885, 3418522649u, 1831038044, 1853292631, 2271478464u}), standard, P::kTrustedInstaller,
       false, true},
      {Sid(1, {0}), standard, P::kOther, false, false},  // Everyone
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PrincipalOf(View(c.sid), c.writer, View(b)), c.principal) << static_cast<int>(c.principal);
    EXPECT_EQ(IsWritersOwn(View(c.sid), c.writer), c.writersFile) << static_cast<int>(c.principal);
    EXPECT_EQ(MayReplaceFile(View(c.sid), c.writer), c.replaced) << static_cast<int>(c.principal);
  }
}

// The launcher's own descriptors, as bytes read back: a folder an elevated run made for
// Administrators passes the rule for every user, elevated or not, and one a user made passes
// for that user's unelevated runs alone; the copy, owned by its writer, lets Users only read
// and execute it.
TEST(BackupFolderRule, TheDescriptorsTheLauncherMakesPassForEveryOtherUser) {
  const auto maker = Sid(5, {21, 1, 2, 3, 1001}), other = Sid(5, {21, 1, 2, 3, 1002});
  uint8_t bytes[256];
  Security read;
  for (const AclEntry* entries : {kTopFolderEntries, kTempFolderEntries}) {
    for (const uint8_t* owner : {maker.data(), WellKnownSid(P::kAdministrators).bytes}) {
      const std::size_t size = MakeDescriptor(entries, 6, nullptr, owner, bytes, sizeof bytes);
      for (const auto& sid : {maker, other}) {
        ReadDescriptor(bytes, size, {View(sid), View(sid)}, read);
        ASSERT_TRUE(read.readable && read.count == 6);
        for (std::size_t i = 0; i < 6; ++i)
          EXPECT_TRUE(read.entries[i].trustee == entries[i].trustee && read.entries[i].mask == entries[i].mask &&
                      read.entries[i].flags == entries[i].flags) << i;
        const bool machines = owner != maker.data();
        EXPECT_EQ(JudgeFolder(true, read.owner, read.entries, read.count, false).verdict,
                  machines || sid == maker ? V::kTake : V::kOwner);
        EXPECT_EQ(JudgeFolder(true, read.owner, read.entries, read.count, true).verdict,
                  machines ? V::kTake : V::kReplace);
      }
      ReadDescriptor(bytes, size - 1, {View(other), View(other)}, read);
      EXPECT_FALSE(read.readable) << "cut short";
    }
  }
  const Writer reader{View(other), View(other)};  // another user
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
