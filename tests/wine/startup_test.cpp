// The launcher as a whole, at the start-up gate.
#include <gtest/gtest.h>

#include "e2e/e2e_product.h"
#include "support/platform.h"
#include "support/winsupport.h"

namespace {

using namespace testsupport;

TEST(Startup, VistaShowsTheUpgradeMessageAndWritesNoLog) {
  LUMO_WINE_ONLY("Wine's version setting per program");
  Sandbox box(L"vista");
  const std::wstring launcher = CopyAs(LauncherPath(), box.Root(), L"vistagate.exe");
  SetWineVersion(L"vistagate.exe", L"vista");
  HANDLE process = Start(Quote(launcher));
  ASSERT_NE(process, nullptr);
  std::wstring text;
  const bool answered = AnswerMessageBox(L"Ondrix LUMO", IDOK, 20000, &text);
  const long code = WaitExit(process, 20000);
  SetWineVersion(L"vistagate.exe", L"");
  ASSERT_TRUE(answered) << "no message box appeared";
  EXPECT_EQ(text, L"To run Ondrix LUMO, please upgrade your system to Windows 7 or a newer version.");
  EXPECT_EQ(code, 0);
  EXPECT_FALSE(Exists(LogPath(box.Temp()))) << "the gate writes no log line";
}

TEST(Startup, Windows7RunLogsTheOsLine) {
  LUMO_WINE_ONLY("Wine's default version, Windows 7");
  Sandbox box(L"win7run");
  // The standard route ends at once without a payload.
  const e2e::CodeSignMode standardRoute;
  ASSERT_EQ(RunWait(Quote(LauncherPath()), 60000), 0);
  const std::wstring text = ReadUtf16(LogPath(box.Temp()));
  EXPECT_TRUE(Contains(text, L"[CUtility::OSInfo] OS 6.1(7601)")) << text;
}

// The launcher's runtime hooks (in a helper that links them, since nothing the launcher is
// given makes it run out of memory): a log line and exit code 3, at once. Wine cannot show
// the fault this mends: its msvcrt ends an abort without the modal "abnormal program
// termination" box that Windows' shows in a GUI program (the hooks no longer call abort).
TEST(Startup, OutOfMemoryEndsAtOnceWithALogLine) {
  Sandbox box(L"out-of-memory");
  EXPECT_EQ(RunWait(Quote(ExeDir() + L"\\out_of_memory.exe"), 20000), 3) << "-1: still running after 20 s";
  EXPECT_TRUE(Contains(ReadUtf16(LogPath(box.Temp())), L"[CUnPackFileApp::EndRun] out of memory; the launcher ends"));
}

}  // namespace
