// Processes of the session, the session user's token and impersonation, copies as the
// user, and process creation, against real processes and files under Wine (where every
// process runs in session 1 as an elevated administrator and WTSQueryUserToken succeeds).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "launch/impersonate.h"
#include "support/winsupport.h"
#include "util/utility.h"

#include <sddl.h>

namespace {

using namespace testsupport;

bool Holds(const std::vector<DWORD>& ids, DWORD id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// The user SID of a token, as text.
std::wstring TokenUser(HANDLE token) {
  BYTE buffer[512] = {};
  DWORD length = 0;
  if (!::GetTokenInformation(token, ::TokenUser, buffer, sizeof(buffer), &length)) return L"?";
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer);
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(user->User.Sid, &text)) return L"?";
  std::wstring sid(text);
  ::LocalFree(text);
  return sid;
}

std::wstring ProcessUser() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return L"??";
  std::wstring sid = TokenUser(token);
  ::CloseHandle(token);
  return sid;
}

TOKEN_TYPE TypeOf(HANDLE token) {
  TOKEN_TYPE type{};
  DWORD length = 0;
  ::GetTokenInformation(token, TokenType, &type, sizeof(type), &length);
  return type;
}

// True while the calling thread runs with a token of its own (impersonating).
bool ThreadImpersonates() {
  HANDLE token = nullptr;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return false;
  ::CloseHandle(token);
  return true;
}

// A running copy of the echo helper under the given name, alive for a while.
class NamedProcess {
 public:
  NamedProcess(const std::wstring& folder, const std::wstring& name) {
    const std::wstring exe = CopyAs(ExeDir() + L"\\echoargs.exe", folder, name);
    ::SetEnvironmentVariableW(L"LUMO_ECHO_SLEEP", L"60000");
    process_ = Start(Quote(exe));
    ::SetEnvironmentVariableW(L"LUMO_ECHO_SLEEP", nullptr);
  }
  ~NamedProcess() { Stop(); }
  DWORD Id() const { return process_ != nullptr ? ::GetProcessId(process_) : 0; }
  void Stop() {
    if (process_ == nullptr) return;
    ::TerminateProcess(process_, 1);
    ::WaitForSingleObject(process_, 10000);
    ::CloseHandle(process_);
    process_ = nullptr;
  }

 private:
  HANDLE process_ = nullptr;
};

// The session of each process comes with the system's process list, so no process is
// opened to ask for it: an unelevated launcher cannot open the agent's processes that run as
// SYSTEM in its session, and would otherwise count them as in no session. Wine lets every
// process open every other, so it cannot show that case; a plain process stands in for it.
TEST(SessionProcesses, FoundByNameInAnyCaseInTheSessionAndInEverySession) {
  Sandbox box(L"findprocesses");
  NamedProcess manager(box.Root(), L"OXManagerLUMO.exe");
  ASSERT_NE(manager.Id(), 0u);
  const DWORD session = SessionId();

  std::vector<DWORD> ids = {12345, 67890};  // whatever the list held is dropped
  ASSERT_TRUE(CUtility::FindProcesses(L"OXMANAGERLUMO.EXE", ids, session));
  EXPECT_TRUE(Holds(ids, manager.Id()));
  EXPECT_FALSE(Holds(ids, 12345)) << "the list is emptied first";
  ASSERT_TRUE(CUtility::FindProcesses(L"oxmanagerlumo.exe", ids, 0xFFFFFFFF));
  EXPECT_TRUE(Holds(ids, manager.Id()));
  // The listing's session is the one the process itself reports.
  ASSERT_TRUE(CUtility::FindProcesses(L"wine_tests.exe", ids, session));
  EXPECT_TRUE(Holds(ids, ::GetCurrentProcessId()));

  // Another session holds none of them; the snapshot itself still succeeded.
  ids = {1};
  EXPECT_TRUE(CUtility::FindProcesses(L"OXManagerLUMO.exe", ids, session + 1));
  EXPECT_TRUE(ids.empty());

  // Only the whole executable name matches.
  ASSERT_TRUE(CUtility::FindProcesses(L"OXManagerLUMO", ids, 0xFFFFFFFF));
  EXPECT_FALSE(Holds(ids, manager.Id()));

  manager.Stop();
  ASSERT_TRUE(CUtility::FindProcesses(L"OXManagerLUMO.exe", ids, 0xFFFFFFFF));
  EXPECT_TRUE(ids.empty()) << "an ended process is no longer listed";
}

TEST(SessionProcesses, EveryProcessOfTheNameIsListed) {
  Sandbox box(L"findseveral");
  NamedProcess first(box.Root(), L"OXServerLUMO.exe");
  NamedProcess second(box.Root(), L"OXServerLUMO.exe");
  std::vector<DWORD> ids;
  ASSERT_TRUE(CUtility::FindProcesses(L"OXServerLUMO.exe", ids, SessionId()));
  EXPECT_EQ(ids.size(), 2u);
  EXPECT_TRUE(Holds(ids, first.Id()));
  EXPECT_TRUE(Holds(ids, second.Id()));
}

// What a child started by StartProcess reports about itself: command line, current folder,
// show command.
struct Echo {
  std::vector<std::wstring> lines;
  std::wstring CommandLine() const { return lines.size() > 0 ? lines[0] : L"<none>"; }
  std::wstring Folder() const { return lines.size() > 1 ? lines[1] : L"<none>"; }
  std::wstring Show() const { return lines.size() > 2 ? lines[2] : L"<none>"; }
};

Echo RunEchoed(const std::wstring& report, const std::wstring& program, const wchar_t* arguments,
               const wchar_t* folder, WORD show, bool programInCommandLine, DWORD* exitCode) {
  ::DeleteFileW(report.c_str());
  ::SetEnvironmentVariableW(L"LUMO_ECHO_FILE", report.c_str());
  PROCESS_INFORMATION info{};
  const BOOL started = CUtility::StartProcess(program, info, arguments, folder, show, programInCommandLine);
  ::SetEnvironmentVariableW(L"LUMO_ECHO_FILE", nullptr);
  Echo echo;
  if (!started) return echo;
  ::CloseHandle(info.hThread);
  if (::WaitForSingleObject(info.hProcess, 30000) == WAIT_OBJECT_0 && exitCode != nullptr)
    ::GetExitCodeProcess(info.hProcess, exitCode);
  ::CloseHandle(info.hProcess);
  echo.lines = Lines(ReadUtf16(report));
  return echo;
}

// The program leads the command line in quotes, and is the application name: the system
// never tries the planted "dir.exe" (which would end with 0 and echo nothing) for
// "dir with blanks\echo args.exe".
TEST(StartProcess, ProgramWithBlanksLeadsTheCommandLineQuoted) {
  Sandbox box(L"startprocess");
  const std::wstring folder = box.Root() + L"\\dir with blanks";
  ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring program = CopyAs(ExeDir() + L"\\echoargs.exe", folder, L"echo args.exe");
  CopyAs(ExeDir() + L"\\exit_after.exe", box.Root(), L"dir.exe");
  const std::wstring report = box.Root() + L"\\echo.txt";

  DWORD exitCode = 0;
  Echo echo = RunEchoed(report, program, L"-t CODE 42", box.Root().c_str(), SW_SHOWMINNOACTIVE, true, &exitCode);
  EXPECT_EQ(exitCode, 7u);
  EXPECT_EQ(echo.CommandLine(), Quote(program) + L" -t CODE 42");
  EXPECT_EQ(echo.Folder(), box.Root());
  EXPECT_EQ(echo.Show(), std::to_wstring(SW_SHOWMINNOACTIVE));

  // Without arguments, the quoted program alone.
  echo = RunEchoed(report, program, nullptr, folder.c_str(), SW_SHOWNORMAL, true, nullptr);
  EXPECT_EQ(echo.CommandLine(), Quote(program));
  EXPECT_EQ(echo.Folder(), folder);
  EXPECT_EQ(echo.Show(), L"1");
}

TEST(StartProcess, WithoutTheFlagTheArgumentsAloneAreTheCommandLine) {
  Sandbox box(L"startprocess2");
  const std::wstring folder = box.Root() + L"\\dir with blanks";
  ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring program = CopyAs(ExeDir() + L"\\echoargs.exe", folder, L"echo args.exe");
  const std::wstring report = box.Root() + L"\\echo.txt";

  Echo echo = RunEchoed(report, program, L"first second", nullptr, SW_HIDE, false, nullptr);
  EXPECT_EQ(echo.CommandLine(), L"first second");
  wchar_t own[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, own);
  EXPECT_EQ(echo.Folder(), own) << "no folder given: the child starts in the caller's";
  EXPECT_EQ(echo.Show(), L"0");

  // No arguments: an empty command line, which Wine (unlike Windows) fills with the program.
  echo = RunEchoed(report, program, nullptr, nullptr, SW_SHOWNORMAL, false, nullptr);
  ASSERT_EQ(echo.lines.size(), 3u);
  EXPECT_TRUE(echo.CommandLine().empty() || echo.CommandLine() == Quote(program)) << echo.CommandLine();
  EXPECT_EQ(echo.Show(), L"1");
}

TEST(StartProcess, MissingProgramFailsWithoutHandles) {
  Sandbox box(L"startprocess3");
  PROCESS_INFORMATION info{};
  info.hProcess = reinterpret_cast<HANDLE>(0x1234);
  EXPECT_FALSE(CUtility::StartProcess(box.Root() + L"\\missing.exe", info, L"a", nullptr, SW_SHOWNORMAL, false));
  EXPECT_EQ(info.hProcess, nullptr);
  EXPECT_EQ(info.hThread, nullptr);
  EXPECT_FALSE(CUtility::StartProcess(box.Root() + L"\\missing.exe", info, nullptr, nullptr, SW_SHOWNORMAL, true));
}

TEST(CopyFileAsUser, ReplacesAnExistingFileSilently) {
  Sandbox box(L"copyasuser");
  const std::wstring source = box.Root() + L"\\OXFeatureLUMO.exe";
  const std::wstring target = box.Root() + L"\\OXFeatMiniLUMO.exe";
  const char fresh[] = "fresh build";
  const char stale[] = "a stale and longer copy from an earlier run";
  ASSERT_TRUE(WriteBytes(source, fresh, sizeof(fresh) - 1));
  ASSERT_TRUE(WriteBytes(target, stale, sizeof(stale) - 1));

  EXPECT_EQ(CUtility::CopyFileAsUser(source, target), 0);
  EXPECT_EQ(ReadBytes(target), ReadBytes(source));
  EXPECT_EQ(ReadBytes(source).size(), sizeof(fresh) - 1) << "the source is left alone";
  EXPECT_EQ(::FindWindowW(L"#32770", nullptr), nullptr) << "no dialog box was left open";
  EXPECT_FALSE(ThreadImpersonates()) << "the copy ends its impersonation";

  // A destination with blanks in its name.
  const std::wstring spaced = box.Root() + L"\\copy of feature.exe";
  EXPECT_EQ(CUtility::CopyFileAsUser(source, spaced), 0);
  EXPECT_EQ(ReadBytes(spaced), ReadBytes(source));
}

TEST(CopyFileAsUser, MissingSourceFailsAndWritesNothing) {
  Sandbox box(L"copyasuser2");
  const std::wstring target = box.Root() + L"\\target.bin";
  EXPECT_NE(CUtility::CopyFileAsUser(box.Root() + L"\\missing.bin", target), 0);
  EXPECT_FALSE(Exists(target));
  EXPECT_FALSE(ThreadImpersonates());
}

TEST(SessionUser, SessionUserTokenIsAPrimaryTokenOfOurUser) {
  lumo::UniqueHandle token;
  ASSERT_TRUE(CUtility::GetSessionUserToken(token));
  ASSERT_TRUE(token.valid());
  EXPECT_EQ(TypeOf(token.get()), TokenPrimary);
  EXPECT_EQ(TokenUser(token.get()), ProcessUser());
}

TEST(SessionUser, ShellTokenComesFromTheShellOfOurSession) {
  std::vector<DWORD> shells;
  ASSERT_TRUE(CUtility::FindProcesses(L"explorer.exe", shells, SessionId()));
  lumo::UniqueHandle token;
  const BOOL got = CUtility::GetExplorerToken(token);
  // Wine runs its desktop as explorer.exe in the session; the token is then a primary
  // token of the user who owns that shell.
  EXPECT_EQ(got != FALSE, !shells.empty());
  if (got) {
    EXPECT_EQ(TypeOf(token.get()), TokenPrimary);
    EXPECT_EQ(TokenUser(token.get()), ProcessUser());
  } else {
    EXPECT_FALSE(token.valid());
  }
}

TEST(SessionUser, ImpersonationCoversTheScopeOnItsThreadOnly) {
  ASSERT_FALSE(ThreadImpersonates());
  {
    CImpersonateUser scope;
    ASSERT_TRUE(scope.IsImpersonating());
    EXPECT_TRUE(ThreadImpersonates());
    HANDLE threadToken = nullptr;
    ASSERT_TRUE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &threadToken));
    EXPECT_EQ(TokenUser(threadToken), ProcessUser());
    ::CloseHandle(threadToken);

    // Another thread keeps the process's own token.
    bool otherImpersonates = true;
    std::thread other([&] { otherImpersonates = ThreadImpersonates(); });
    other.join();
    EXPECT_FALSE(otherImpersonates);

    scope.RevertNow();
    EXPECT_FALSE(ThreadImpersonates());
    EXPECT_TRUE(scope.IsImpersonating()) << "the flag stays set after an early revert";
  }
  EXPECT_FALSE(ThreadImpersonates());

  {
    CImpersonateUser scope;
    EXPECT_TRUE(ThreadImpersonates());
  }
  EXPECT_FALSE(ThreadImpersonates()) << "the end of the scope reverts";
}

}  // namespace
