// System queries under Wine: Wine runs programs as an elevated administrator in session 1,
// as Windows 7 unless a version is set for the program.
#include <gtest/gtest.h>

#include "support/platform.h"
#include "support/winsupport.h"
#include "util/utility.h"

namespace {

using namespace testsupport;

TEST(SystemQueries, WineDefaultIsWindows7) {
  LUMO_WINE_ONLY("Wine's default version, Windows 7");
  OSVERSIONINFOEXW info{};
  EXPECT_EQ(CUtility::GetOSClass(&info), 2);
  EXPECT_EQ(info.dwMajorVersion, 6u);
  EXPECT_EQ(info.dwMinorVersion, 1u);
  EXPECT_EQ(CUtility::GetOSClassLegacy(), 2);
  EXPECT_FALSE(CUtility::IsPreVista());
  EXPECT_FALSE(CUtility::IsOSAtLeast(5, 0));
  EXPECT_TRUE(CUtility::IsOSAtLeast(2, 0));
  EXPECT_TRUE(CUtility::IsOSAtLeast(5, 7601)) << "a minimum build decides alone";
}

TEST(SystemQueries, Windows10SettingGivesClass5ThroughRtlGetVersion) {
  LUMO_WINE_ONLY("Wine's version setting per program");
  Sandbox box(L"osclass");
  const std::wstring probe = CopyAs(ExeDir() + L"\\probe.exe", box.Root(), L"probe-win10.exe");
  SetWineVersion(L"probe-win10.exe", L"win10");
  EXPECT_EQ(RunWait(Quote(probe) + L" osclass"), 5);
  EXPECT_EQ(RunWait(Quote(probe) + L" win10"), 1);
  // GetVersionExW never tells 10 from 8.
  EXPECT_EQ(RunWait(Quote(probe) + L" legacyclass"), 3);
  SetWineVersion(L"probe-win10.exe", L"win81");
  EXPECT_EQ(RunWait(Quote(probe) + L" osclass"), 4);
  SetWineVersion(L"probe-win10.exe", L"");
  EXPECT_EQ(RunWait(Quote(probe) + L" osclass"), 2);
}

TEST(SystemQueries, WineRunsUsAsAnElevatedAdministrator) {
  LUMO_WINE_ONLY("every Wine process is an elevated administrator");
  EXPECT_TRUE(CUtility::IsUserInAdminGroup2());
  EXPECT_TRUE(CUtility::IsProcessElevated());
  // The project's prefix is 64-bit Windows: the i686 build of this program runs under WOW64.
  EXPECT_EQ(CUtility::IsWow64(), sizeof(void*) == 4);
}

TEST(SystemQueries, FileExistsAcceptsFoldersAndFiles) {
  Sandbox box(L"exists");
  EXPECT_TRUE(CUtility::FileExists(box.Root()));
  EXPECT_TRUE(CUtility::FileExists(CUtility::GetModulePath()));
  EXPECT_FALSE(CUtility::FileExists(box.Root() + L"\\missing"));
}

TEST(SystemQueries, OsLineNamesVersionBuildAndWidth) {
  Sandbox box(L"osinfo");
  CUtility::OSInfo();
  const std::wstring text = ReadUtf16(LogPath(box.Temp()));
  // Wine's Windows 7 (6.1, build 7601) carries "Service Pack 1" as its service pack text. The
  // program's manifest declares Windows 10, so the legacy query tells the version as it is.
  const OSVERSIONINFOEXW os = WindowsVersion();
  EXPECT_TRUE(Contains(text, L"  [CUtility::OSInfo] OS " + std::to_wstring(os.dwMajorVersion) + L"." +
                                 std::to_wstring(os.dwMinorVersion) + L"(" + std::to_wstring(os.dwBuildNumber) + L") "))
      << text;
  // 64-bit Windows (the project's prefix, the kit's machines): the i686 build runs under WOW64.
  EXPECT_TRUE(Contains(text, sizeof(void*) == 4 ? L" x64:1 (Last=" : L" x64:0 (Last=")) << text;
}

}  // namespace
