// The token switch on a run that is not on the SYSTEM route (code-sign mode here, since
// every process under Wine is an elevated administrator): the consent prompt, its refusal,
// and the reopen that OK starts.
#include <gtest/gtest.h>

#include "e2e/e2e_product.h"
#include "support/launcher_run.h"

namespace {

using namespace testsupport;

constexpr const wchar_t* kConsentText =
    L"Your admin requires your permission to connect to this computer.\n"
    L"  -  Click \"OK\" and in next dialog, click \"Yes\" to allow.\n"
    L"  -  Click \"Cancel\" if you do want to reject the connection.";

HWND WaitForPrompt(DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  HWND box = nullptr;
  while ((box = ::FindWindowW(L"#32770", L"Warning")) == nullptr && ::GetTickCount() - start < timeoutMs) ::Sleep(50);
  return box;
}

bool WaitForLogLine(const Sandbox& box, const std::wstring& part, DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  while (::GetTickCount() - start < timeoutMs) {
    if (Contains(ReadUtf16(LogPath(box.Temp())), part)) return true;
    ::Sleep(100);
  }
  return false;
}

TEST(ConsentE2E, CancelEndsTheRunBeforeTheLoadingWindow) {
  Sandbox box(L"e2e-consent-cancel");
  e2e::CodeSignMode standardRoute;
  std::wstring text;
  bool answered = false;
  const LauncherRun run = RunLauncher(box, LauncherPath(), L"/t 123456", 60000, [&] {
    answered = AnswerMessageBox(L"Warning", IDCANCEL, 20000, &text);
  });
  ASSERT_TRUE(answered) << "no consent prompt";
  EXPECT_EQ(text, kConsentText);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(LinesWith(run.log, L"[CUnPackFileApp::InitInstance] LUMO ElevationLimited cancel").size(), 1u) << run.log;
  EXPECT_TRUE(LinesWith(run.log, L"CUtility::OSInfo").empty()) << "the run ended at the prompt";
}

// The download lies in a folder whose name holds a blank, and a program of the user has put
// "Ondrix.exe" (a marker of the tests) in front of it: the reopen still starts the launcher.
TEST(ConsentE2E, OkStartsAReopenOfTheSameProgramThatAsksAgain) {
  Sandbox box(L"e2e-consent-ok");
  e2e::CodeSignMode standardRoute;
  const std::wstring folder = box.Root() + L"\\Ondrix Support";
  ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring launcher = CopyAs(LauncherPath(), folder, L"x.exe");
  CopyAs(ExeDir() + L"\\echoargs.exe", box.Root(), L"Ondrix.exe");
  const std::wstring planted = box.Root() + L"\\planted-ran.txt";
  ::SetEnvironmentVariableW(L"LUMO_ECHO_FILE", planted.c_str());
  bool secondAnswered = false;
  const LauncherRun run = RunLauncher(box, launcher, L"-T 123456", 60000, [&] {
    HWND first = WaitForPrompt(20000);
    if (first == nullptr) return;
    ::PostMessageW(first, WM_COMMAND, IDOK, 0);
    const DWORD start = ::GetTickCount();
    while (::IsWindow(first) && ::GetTickCount() - start < 10000) ::Sleep(50);
    // The reopened copy has the same switch and is still not on the SYSTEM route.
    secondAnswered = AnswerMessageBox(L"Warning", IDCANCEL, 20000, nullptr);
  });
  ::SetEnvironmentVariableW(L"LUMO_ECHO_FILE", nullptr);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_FALSE(Exists(planted)) << "the planted Ondrix.exe ran";
  EXPECT_EQ(LinesWith(run.log, L"[CUnPackFileApp::InitInstance] LUMO ElevationLimited reopen  (Last=").size(), 1u)
      << "the reopen line ends in a blank\n" << run.log;
  ASSERT_TRUE(secondAnswered) << "the reopened launcher showed no prompt";
  ASSERT_TRUE(WaitForLogLine(box, L"LUMO ElevationLimited cancel", 20000));
  const std::vector<std::wstring> cancels = LinesWith(ReadUtf16(LogPath(box.Temp())), L"LUMO ElevationLimited cancel");
  ASSERT_EQ(cancels.size(), 1u);
  const std::vector<std::wstring> reopens = LinesWith(run.log, L"LUMO ElevationLimited reopen");
  ASSERT_EQ(reopens.size(), 1u);
  EXPECT_NE(cancels[0].substr(0, cancels[0].find(L']')), reopens[0].substr(0, reopens[0].find(L']')))
      << "the refusal came from another process";
}

}  // namespace
