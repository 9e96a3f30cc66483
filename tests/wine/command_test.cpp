// Command execution against Wine's real interpreter: exit codes, failed starts, the backup
// copy, and the window watch that closes the loading window.
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include "app/app.h"
#include "launch/command.h"
#include "launch/core/backup_rules.h"
#include "launch/product.h"
#include "support/platform.h"
#include "support/product_window.h"
#include "support/winsupport.h"
#include "ui/loading.h"
#include "util/launcher_file.h"
#include "util/utility.h"

namespace {

using namespace testsupport;

class Command : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = box_.Root() + L"\\work\\";
    ::CreateDirectoryW(work_.c_str(), nullptr);
  }
  std::wstring Log() { return ReadUtf16(LogPath(box_.Temp())); }
  // The copy's name for this session and version 1.0 (the launcher's resource, linked in).
  static std::wstring BackupPath() {
    return CUtility::GetSharedTempFolder() + L"\\Lumo" + (SessionId() < 10 ? L"0" : L"") +
           std::to_wstring(SessionId()) + L"1000.exe";
  }

  Sandbox box_{L"command"};
  std::wstring work_;
  CUnPackFileApp app_;
};

TEST_F(Command, ReturnsTheInterpretersExitCodeAndLogsStartAndEnd) {
  EXPECT_EQ(app_.ExecuteCommand(work_, L"/c exit 7", false), 7);
  EXPECT_EQ(app_.ExecuteCommand(work_, L"/c exit 0", false), 0);
  const std::wstring log = Log();
  EXPECT_TRUE(Contains(log, L"[CUnPackFileApp::ExecuteCommand] succ wait pid:")) << log;
  EXPECT_TRUE(Contains(log, L" finish ecode:7 (Last=")) << log;
  // The work folder is the current directory afterwards.
  wchar_t current[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, current);
  EXPECT_EQ(std::wstring(current) + L"\\", work_);
}

TEST_F(Command, ACommandThatItselfEndsWith259DoesNotHang) {
  const DWORD start = ::GetTickCount();
  EXPECT_EQ(app_.ExecuteCommand(work_, L"/c exit 259", false), 259);
  EXPECT_LT(::GetTickCount() - start, 20000u);
}

TEST_F(Command, PercentSignsReachTheInterpreterUnchanged) {
  // An undefined variable stays as written in cmd /c; had the parameters been used as a
  // format, "%N" and "%s" would have been consumed.
  EXPECT_EQ(app_.ExecuteCommand(work_, L"/c echo %NO_SUCH_VAR_s%%d>out.txt", false), 0);
  const std::vector<uint8_t> bytes = ReadBytes(work_ + L"out.txt");
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_NE(text.find("%NO_SUCH_VAR_s%%d"), std::string::npos) << text;
}

TEST_F(Command, AMissingProgramReturnsItsErrorAndLogsFail) {
  CLoadingWnd* none = nullptr;
  EXPECT_EQ(lumo::ExecuteProgram(box_.Root() + L"\\missing.exe", work_, L"/c exit 0", false, &none), 2);
  EXPECT_TRUE(Contains(Log(), L"[CUnPackFileApp::ExecuteCommand] fail 2 (Last=")) << Log();
}

TEST_F(Command, ProductWindowClosesTheLoadingWindowOnlyForTheProductStart) {
  ProductWindow product;
  ASSERT_NE(product.get(), nullptr);
  ShowLoadingWindow(&app_.m_pMainWnd);
  ASSERT_NE(app_.m_pMainWnd, nullptr);

  app_.ExecuteCommand(work_, L"/c exit 0", false);
  EXPECT_NE(app_.m_pMainWnd, nullptr) << "without the backup flag the window stays";
  EXPECT_TRUE(IsLoadingWindowShown());

  app_.ExecuteCommand(work_, L"/c exit 0", true);
  EXPECT_EQ(app_.m_pMainWnd, nullptr);
  EXPECT_FALSE(IsLoadingWindowShown());
  CloseLoadingWindow(&app_.m_pMainWnd);
}

TEST_F(Command, ProductStartLeavesABackupCopyNamedAfterSessionAndVersion) {
  // The copy's bytes come from the held file: the test program's own stands for the launcher's.
  const CLauncherFile own;
  ASSERT_TRUE(own.IsHeld());
  CLauncherFile::RegisterOwn(&own);
  const auto unregister = lumo::MakeScopeExit([] { CLauncherFile::RegisterOwn(nullptr); });
  const std::wstring shared = CUtility::GetSharedTempFolder();
  EXPECT_TRUE(Contains(shared, L"\\Ondrix\\Temp")) << shared;
  DWORD ms = 0, ls = 0;
  ASSERT_TRUE(CUtility::GetProductVersion(ms, ls));
  EXPECT_EQ(ms, 0x00010000u);  // 1.0 of the launcher's version resource, linked into the tests
  EXPECT_EQ(ls, 0u);
  const std::wstring backup = BackupPath();
  ::DeleteFileW(backup.c_str());
  app_.ExecuteCommand(work_, L"/c exit 0", true);
  ASSERT_TRUE(Exists(backup)) << backup;
  EXPECT_EQ(ReadBytes(backup), ReadBytes(CUtility::GetModulePath()));
  EXPECT_TRUE(Contains(Log(), L"] backup for elevation " + CUtility::GetModulePath() + L" to " + backup + L" 0 (Last="))
      << Log();
  ::DeleteFileW(backup.c_str());
}

// A shared temp folder whose DACL lets everyone delete what is in it gets no copy, one line
// names the entry, and the product start goes on. Wine turns the DACL into mode bits and
// reads back a descriptor made from them (Everyone: the "other" bits); Windows keeps the DACL.
// Wine also reads every folder's owner as the one user it runs as, whom an elevated run (every
// run under Wine) does not trust with the folders: there the run moves "Ondrix" aside and makes
// the machine's in its place, and the copy goes into that.
TEST_F(Command, ASharedTempFolderEveryoneMayEmptyGetsNoBackup) {
  LUMO_RELEASE_CHECK("11");
  const CLauncherFile own;
  CLauncherFile::RegisterOwn(&own);
  const std::wstring shared = CUtility::GetSharedTempFolder(), backup = BackupPath();
  ::DeleteFileW(backup.c_str());
  uint8_t launchers[256];
  lumo::MakeDescriptor(lumo::kTempFolderEntries, 6, nullptr, nullptr, launchers, sizeof launchers);
  SECURITY_ATTRIBUTES made{sizeof made, launchers, FALSE};
  ::CreateDirectoryW(shared.substr(0, shared.rfind(L'\\')).c_str(), &made);
  ::CreateDirectoryW(shared.c_str(), &made);
  PSECURITY_DESCRIPTOR everyones = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1,
                                                                     &everyones, nullptr));
  const auto restore = lumo::MakeScopeExit([&] {
    ::SetFileSecurityW(shared.c_str(), DACL_SECURITY_INFORMATION, launchers);
    ::LocalFree(everyones);
    CLauncherFile::RegisterOwn(nullptr);
  });
  ASSERT_TRUE(::SetFileSecurityW(shared.c_str(), DACL_SECURITY_INFORMATION, everyones));
  EXPECT_EQ(app_.ExecuteCommand(work_, L"/c exit 0", true), 0);
  if (UnderWine()) {
    const std::wstring ondrix = shared.substr(0, shared.rfind(L'\\'));
    const std::wstring moved = L"] " + ondrix + L" moved aside to " + ondrix + L".";
    const size_t at = Log().find(moved);
    ASSERT_NE(at, std::wstring::npos) << Log();
    const std::wstring aside = Log().substr(at + moved.size() - ondrix.size() - 1, ondrix.size() + 37);
    EXPECT_TRUE(Exists(aside + L"\\Temp")) << "moved whole";
    DeleteTree(aside);
    EXPECT_TRUE(Exists(backup));
    EXPECT_TRUE(Contains(Log(), L" to " + backup + L" 0 (Last=")) << Log();
    return;
  }
  EXPECT_FALSE(Exists(backup));
  EXPECT_TRUE(Contains(Log(), L"] " + shared + L"\\ refused: grants others (")) << Log();
  EXPECT_TRUE(Contains(Log(), L" to " + backup + L" 5 (Last=")) << Log();
}

}  // namespace
