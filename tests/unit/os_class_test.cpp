#include "util/core/os_class.h"

#include <gtest/gtest.h>

namespace {

using namespace lumo;

TEST(OsClass, CurrentTableNamesEveryRelease) {
  EXPECT_EQ(OsClassFromVersion(5, 1), kOsOther);   // XP
  EXPECT_EQ(OsClassFromVersion(5, 2), kOsOther);   // Server 2003
  EXPECT_EQ(OsClassFromVersion(6, 0), kOsVista);
  EXPECT_EQ(OsClassFromVersion(6, 1), kOsWin7);
  EXPECT_EQ(OsClassFromVersion(6, 2), kOsWin8);
  EXPECT_EQ(OsClassFromVersion(6, 3), kOsWin81);
  EXPECT_EQ(OsClassFromVersion(6, 4), kOsOther);   // between 8.1 and 10
  EXPECT_EQ(OsClassFromVersion(10, 0), kOsWin10);  // 10 and 11 alike
  EXPECT_EQ(OsClassFromVersion(11, 0), kOsWin10);
}

TEST(OsClass, LegacyTableNeverReports81Or10) {
  EXPECT_EQ(OsClassFromVersionLegacy(6, 0), kOsVista);
  EXPECT_EQ(OsClassFromVersionLegacy(6, 1), kOsWin7);
  EXPECT_EQ(OsClassFromVersionLegacy(6, 2), kOsWin8);
  EXPECT_EQ(OsClassFromVersionLegacy(6, 3), kOsWin8);
  EXPECT_EQ(OsClassFromVersionLegacy(10, 0), kOsWin8);
  EXPECT_EQ(OsClassFromVersionLegacy(5, 1), kOsOther);
}

TEST(OsClass, AtLeastUsesTheClassOrOnlyTheBuild) {
  EXPECT_TRUE(OsAtLeast(kOsWin10, 18362, kOsWin10, 0));
  EXPECT_FALSE(OsAtLeast(kOsWin81, 9600, kOsWin10, 0));
  // A minimum build decides alone, whatever the class says.
  EXPECT_TRUE(OsAtLeast(kOsWin7, 20000, kOsWin10, 19041));
  EXPECT_FALSE(OsAtLeast(kOsWin10, 18362, kOsWin7, 19041));
  EXPECT_TRUE(OsAtLeast(kOsWin10, 19041, kOsWin10, 19041));
}

}  // namespace
