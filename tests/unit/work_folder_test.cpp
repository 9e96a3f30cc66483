// The work folder's names, and what the folder removal decides for each entry it opens.
#include <gtest/gtest.h>

#include <string>

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
