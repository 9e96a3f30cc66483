// The elevation pieces that start processes and ask the user: the "runas" start, the
// ElevationLimited reopen and the consent prompt.
#include <gtest/gtest.h>

#include <thread>

#include "app/elevation.h"
#include "support/winsupport.h"

namespace {

using namespace testsupport;

// The echo helper's report: command line, current folder, show command.
std::vector<std::wstring> WaitForEcho(const std::wstring& path, DWORD timeoutMs) {
  return WaitForLines(path, 3, timeoutMs);
}

class EchoFile {
 public:
  explicit EchoFile(const Sandbox& box) : path_(box.Root() + L"\\echo.txt") {
    ::SetEnvironmentVariableW(L"LUMO_ECHO_FILE", path_.c_str());
  }
  ~EchoFile() { ::SetEnvironmentVariableW(L"LUMO_ECHO_FILE", nullptr); }
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

TEST(ElevationStart, RunasHandsTheWholeCommandLineToTheNewCopy) {
  Sandbox box(L"elev-runas");
  EchoFile echo(box);
  const std::wstring program = CopyAs(ExeDir() + L"\\echoargs.exe", box.Root(), L"my launcher.exe");
  const std::wstring parameters = L"\"C:\\dl\\OXUnPackLUMO.exe\" /T 123 -I NOTE=x";
  ASSERT_TRUE(lumo::StartElevatedCopy(program, parameters));
  const std::vector<std::wstring> report = WaitForEcho(echo.path(), 10000);
  ASSERT_EQ(report.size(), 3u);
  // The system quotes the file, which holds a blank; the parameters follow unchanged.
  EXPECT_TRUE(Contains(report[0], L"my launcher.exe")) << report[0];
  EXPECT_TRUE(Contains(report[0], parameters)) << report[0];
  EXPECT_EQ(report[2], L"1") << "shown normally";
}

TEST(ElevationStart, ReopenPutsTheQuotedPathBeforeTheCommandLineInTheLaunchersFolder) {
  Sandbox box(L"elev-reopen");
  EchoFile echo(box);
  const std::wstring program = CopyAs(ExeDir() + L"\\echoargs.exe", box.Root(), L"reopen.exe");
  const std::wstring commandLine = L"\"C:\\dl\\OXUnPackLUMO.exe\" /T 123";
  ASSERT_TRUE(lumo::StartReopen(program, commandLine));
  const std::vector<std::wstring> report = WaitForEcho(echo.path(), 10000);
  ASSERT_EQ(report.size(), 3u);
  EXPECT_EQ(report[0], Quote(program) + L" " + commandLine);
  EXPECT_EQ(report[1], box.Root());
  EXPECT_EQ(report[2], L"1");

  // A program that cannot be started: false, and the system's reason stays readable.
  ::SetLastError(0);
  EXPECT_FALSE(lumo::StartReopen(box.Root() + L"\\missing.exe", commandLine));
  EXPECT_NE(::GetLastError(), 0u);
}

TEST(ConsentPrompt, ShowsTheThreeLinesUnderWarningAndOnlyOkConsents) {
  for (const int button : {IDOK, IDCANCEL}) {
    std::wstring text;
    bool answered = false;
    LONG_PTR exStyle = 0;
    std::thread answer([&] {
      const DWORD start = ::GetTickCount();
      HWND box = nullptr;
      while ((box = ::FindWindowW(L"#32770", L"Warning")) == nullptr && ::GetTickCount() - start < 10000) ::Sleep(50);
      // The box exists before its styles are complete: read them once it is shown.
      while (box != nullptr && !::IsWindowVisible(box) && ::IsWindow(box) && ::GetTickCount() - start < 10000)
        ::Sleep(20);
      if (box != nullptr) exStyle = ::GetWindowLongPtrW(box, GWL_EXSTYLE);
      answered = AnswerMessageBox(L"Warning", button, 10000, &text);
    });
    const bool consent = lumo::AskConsent();
    answer.join();
    ASSERT_TRUE(answered);
    EXPECT_EQ(consent, button == IDOK);
    EXPECT_EQ(text,
              L"Your admin requires your permission to connect to this computer.\n"
              L"  -  Click \"OK\" and in next dialog, click \"Yes\" to allow.\n"
              L"  -  Click \"Cancel\" if you do want to reject the connection.");
    EXPECT_TRUE(exStyle & WS_EX_TOPMOST) << "the prompt stays on top";
  }
}

}  // namespace
