// The work folder's names, and what the folder removal decides for each entry it opens.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unpack/core/folder_walk.h"
#include "unpack/core/work_folder.h"

namespace {

using namespace lumo;

TEST(WorkFolderNames, TheSessionsFolderThenFreshNamesBesideIt) {
  EXPECT_EQ(WorkFolderPath(L"C:\\T\\", 1, 0), L"C:\\T\\unpacklumo\\1\\");
  EXPECT_EQ(WorkFolderPath(L"C:\\T\\", 1, 1), L"C:\\T\\unpacklumo\\1-1\\");
  EXPECT_EQ(WorkFolderPath(L"C:\\T\\", 12, 99), L"C:\\T\\unpacklumo\\12-99\\");
  EXPECT_EQ(WorkFolderPath(L"C:\\T\\", -1, 0), L"C:\\T\\unpacklumo\\-1\\");
  EXPECT_EQ(WorkFolderPath(L"C:\\T\\", -1, 2), L"C:\\T\\unpacklumo\\-1-2\\");
  // Which failures mean "this name is taken, try the next".
  EXPECT_TRUE(WorkFolderNameTaken(183));   // ERROR_ALREADY_EXISTS
  EXPECT_TRUE(WorkFolderNameTaken(80));    // ERROR_FILE_EXISTS
  EXPECT_TRUE(WorkFolderNameTaken(5));     // ERROR_ACCESS_DENIED: a folder still being removed
  EXPECT_FALSE(WorkFolderNameTaken(3));    // ERROR_PATH_NOT_FOUND
  EXPECT_FALSE(WorkFolderNameTaken(112));  // ERROR_DISK_FULL
}

// The name says whose task may still name the folder; nothing of another grammar is a leftover.
TEST(WorkFolderNames, OnlyTheElevatedRunsOwnNamesCountAsItsLeftovers) {
  const uint8_t random[16] = {0x00, 0x1f, 0xa0, 0xff, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const std::wstring hex = L"001fa0ff0102030405060708090a0b0c";
  EXPECT_EQ(ElevatedFolderName(3, random, sizeof random), L"lumo-3-" + hex);
  EXPECT_EQ(ElevatedFolderName(-1, random, sizeof random), L"lumo-n-" + hex);
  const struct {
    std::wstring name;
    long session;  // -2: not a leftover
  } cases[] = {
      {L"lumo-3-" + hex, 3},
      {L"lumo-n-" + hex, -1},
      {L"lumo-2147483647-" + hex, 2147483647},
      {L"lumo-" + hex, -2},  // the older name: no one can tell its task's session
      {L"lumo-2147483648-" + hex, -2},
      {L"lumo-03-" + hex, -2},
      {L"lumo-+3-" + hex, -2},
      {L"lumo--" + hex, -2},
      {L"lumo-3-001FA0FF0102030405060708090A0B0C", -2},  // another program's, or a user's
      {L"LUMO-3-" + hex, -2},
      {L"lumo-3-" + hex.substr(1), -2},
      {L"lumo-3-" + hex + L"0", -2},
      {L"lumo-3-" + hex + L".old", -2},
  };
  for (const auto& c : cases) {
    long session = -2;
    EXPECT_EQ(ParseElevatedFolderName(c.name, session), c.session != -2) << c.name;
    if (c.session != -2) EXPECT_EQ(session, c.session) << c.name;
  }
}

// Which earlier run's folder an elevated run may touch before it makes its own task.
TEST(WorkFolderNames, ALeftoverIsTouchedOnlyByTheSystemRouteAndOnlyWhileNothingOfItsSessionRuns) {
  using A = LeftoverAction;
  const struct {
    const char* what;
    bool systemRoute;
    long folderSession;
    bool held, agentRuns;
    A action;
  } cases[] = {
      {"this session's", true, 1, false, false, A::kClearOwn},
      {"another session's, idle", true, 2, false, false, A::kClearOther},
      {"another session's, its launcher runs", true, 2, true, false, A::kLeave},
      {"another session's, its agent runs", true, 2, false, true, A::kLeave},
      {"this session's, held", true, 1, true, false, A::kLeave},
      {"the standard route", false, 1, false, false, A::kLeave},
      {"no session read", true, -1, false, false, A::kClearOther},
  };
  for (const auto& c : cases)
    EXPECT_EQ(DecideLeftover(c.systemRoute, 1, c.folderSession, c.held, c.agentRuns), c.action) << c.what;
}

// The descriptor an elevated run gives its folder, entry by entry, and what else a folder of
// that name may carry: only the first is removed as a leftover.
TEST(WorkFolderSecurity, OnlyTheLaunchersOwnProtectedDescriptorPasses) {
  constexpr uint8_t kAllowed = 0, kDenied = 1, kInherit = 0x3;
  constexpr uint32_t kFull = 0x1F01FF, kRead = 0x1200A9;
  const AccessEntry system{kAllowed, kInherit, kFull, Trustee::kSystem};
  const AccessEntry admins{kAllowed, kInherit, kFull, Trustee::kAdministrators};
  const AccessEntry user{kAllowed, kInherit, kRead, Trustee::kOther};
  const AccessEntry userWrites{kAllowed, kInherit, kFull, Trustee::kOther};
  const AccessEntry userDenied{kDenied, kInherit, kRead, Trustee::kOther};
  const AccessEntry adminsFoldersOnly{kAllowed, 0x2, kFull, Trustee::kAdministrators};
  const AccessEntry adminsInherited{kAllowed, 0x13, kFull, Trustee::kAdministrators};  // INHERITED_ACE too
  const struct {
    const char* what;
    Trustee owner;
    bool daclProtected;
    std::vector<AccessEntry> entries;
    bool own;
  } cases[] = {
      {"as made, with the session's user", Trustee::kAdministrators, true, {system, admins, user}, true},
      {"as made without a user", Trustee::kAdministrators, true, {system, admins}, true},
      {"owned by SYSTEM", Trustee::kSystem, true, {system, admins, user}, true},
      {"owned by a user", Trustee::kOther, true, {system, admins, user}, false},
      {"DACL not protected", Trustee::kAdministrators, false, {system, admins, user}, false},
      {"the user may write", Trustee::kAdministrators, true, {system, admins, userWrites}, false},
      {"one entry more", Trustee::kAdministrators, true, {system, admins, user, user}, false},
      {"SYSTEM only", Trustee::kAdministrators, true, {system}, false},
      {"entries swapped", Trustee::kAdministrators, true, {admins, system, user}, false},
      {"a denying entry", Trustee::kAdministrators, true, {system, admins, userDenied}, false},
      {"not inherited by files", Trustee::kAdministrators, true, {system, adminsFoldersOnly}, false},
      {"inherited from above", Trustee::kAdministrators, true, {system, adminsInherited}, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(IsWorkFolderSecurity(c.owner, c.daclProtected, c.entries.data(), c.entries.size()), c.own) << c.what;
}

// SIDs as the system stores them: revision, count, the authority (big-endian), then each
// sub-authority (little-endian).
TEST(WorkFolderSecurity, OnlySystemAndAdministratorsAreToldApart) {
  const struct {
    const char* what;
    std::vector<uint8_t> sid;
    Trustee trustee;
  } cases[] = {
      {"S-1-5-18", {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, Trustee::kSystem},
      {"S-1-5-32-544", {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0}, Trustee::kAdministrators},
      {"S-1-5-32-545 (Users)", {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2, 0, 0}, Trustee::kOther},
      {"S-1-5-19 (Local Service)", {1, 1, 0, 0, 0, 0, 0, 5, 19, 0, 0, 0}, Trustee::kOther},
      {"S-1-16-18 (another authority)", {1, 1, 0, 0, 0, 0, 0, 16, 18, 0, 0, 0}, Trustee::kOther},
      {"S-1-5-21-1-2-3-1000 (a user)",
       {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0xE8, 3, 0, 0},
       Trustee::kOther},
      {"S-1-5-32 cut short", {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0}, Trustee::kOther},
  };
  for (const auto& c : cases) EXPECT_EQ(TrusteeOfSid(c.sid.data(), c.sid.size()), c.trustee) << c.what;
}

TEST(FolderWalk, TheOpenedHandleDecidesButNeverThroughALink) {
  constexpr uint32_t kFile = kAttributeArchive, kDir = kAttributeDirectory;
  constexpr uint32_t kLink = kAttributeDirectory | kAttributeReparsePoint;
  constexpr uint32_t kFileLink = kAttributeArchive | kAttributeReparsePoint;
  constexpr uint32_t kSymlinkTag = 0xA000000Cu;
  const struct {
    uint32_t listed, opened, tag;
    bool protectedArea;
    TreeStep step;
  } cases[] = {
      {kFile, kFile, 0, false, TreeStep::kRemoveFile},
      {kDir, kDir, 0, false, TreeStep::kDescend},
      {kLink, kLink, kReparseTagMountPoint, false, TreeStep::kRemoveLink},
      {kLink, kLink, kSymlinkTag, true, TreeStep::kRemoveLink},
      {kFileLink, kFileLink, kSymlinkTag, false, TreeStep::kRemoveFile},  // the link only
      // A folder swapped for a link after the listing is met as the link.
      {kDir, kLink, kReparseTagMountPoint, false, TreeStep::kRemoveLink},
      {kFile, kLink, kSymlinkTag, false, TreeStep::kRemoveLink},
      // Listed as a link, opened as none: the open went through it (Wine's Unix links).
      {kLink, kDir, 0, false, TreeStep::kKeep},
      {kFileLink, kFile, 0, false, TreeStep::kKeep},
      // Mount points under "ProgramData" stay.
      {kLink, kLink, kReparseTagMountPoint, true, TreeStep::kKeep},
      {kDir, kDir, 0, true, TreeStep::kDescend},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecideOpenedStep(c.listed, c.opened, c.tag, c.protectedArea), c.step)
        << std::hex << c.listed << " " << c.opened << " " << c.tag << " " << c.protectedArea;
  }
}

TEST(FolderWalk, ProtectionBitsAreClearedBeforeDeletionAndPutBackAfterAFailure) {
  EXPECT_EQ(AttributesForDeletion(kAttributeArchive), 0u) << "nothing to clear, nothing changed";
  EXPECT_EQ(AttributesForDeletion(kAttributeDirectory), 0u);
  EXPECT_EQ(AttributesForDeletion(kAttributeReadOnly), kAttributeNormal);
  EXPECT_EQ(AttributesForDeletion(kAttributeReadOnly | kAttributeHidden | kAttributeSystem | kAttributeArchive),
            kAttributeArchive);
  // Bits the file system keeps for itself are never passed back to it.
  EXPECT_EQ(AttributesForDeletion(kAttributeReadOnly | kAttributeDirectory | kAttributeReparsePoint), kAttributeNormal);
  EXPECT_EQ(AttributesToRestore(kAttributeReadOnly | kAttributeSystem | kAttributeDirectory), 0x5u);
  EXPECT_EQ(AttributesToRestore(kAttributeDirectory), kAttributeNormal);
  // The plain deletion stands in for the POSIX one where that is not offered.
  EXPECT_TRUE(RequestNotSupported(87));   // ERROR_INVALID_PARAMETER (Windows 7, Wine)
  EXPECT_TRUE(RequestNotSupported(1));    // ERROR_INVALID_FUNCTION
  EXPECT_TRUE(RequestNotSupported(50));   // ERROR_NOT_SUPPORTED (FAT)
  EXPECT_FALSE(RequestNotSupported(5));   // access denied is an answer, not a missing feature
  EXPECT_FALSE(RequestNotSupported(145));  // ERROR_DIR_NOT_EMPTY
}

}  // namespace
