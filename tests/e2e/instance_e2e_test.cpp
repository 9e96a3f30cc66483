// One launcher per session: whole launchers meeting a running agent's window, or a lock that
// another launcher holds. The lock waits are the real ones (about 15 seconds).
#include <gtest/gtest.h>

#include "app/instance_lock.h"
#include "e2e/e2e_product.h"
#include "support/launcher_run.h"

namespace {

using namespace testsupport;

constexpr const wchar_t* kPrefix = L"[CUnPackFileApp::InitInstance] ";

// The lock as a first launcher of the session holds it.
class HeldLock {
 public:
  HeldLock() : mutex_(::CreateMutexW(nullptr, FALSE, lumo::kInstanceLockName)) {}
  ~HeldLock() {
    if (mutex_ != nullptr) ::CloseHandle(mutex_);
  }
  bool held() const { return mutex_ != nullptr; }

 private:
  HANDLE mutex_;
};

TEST(InstanceE2E, RunningAgentWindowIsBroughtForwardAndTheLauncherEnds) {
  Sandbox box(L"e2e-foreground");
  e2e::CodeSignMode quickRoute;
  e2e::ProductWindowThread window;
  ASSERT_NE(window.get(), nullptr);
  ASSERT_FALSE(::IsWindowVisible(window.get()));

  const LauncherRun run = RunLauncher(box, LauncherPath(), L"", 60000);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(LinesWith(run.log, std::wstring(kPrefix) + L"LUMO skip by foreground window without instance").size(), 1u)
      << run.log;
  EXPECT_TRUE(::IsWindowVisible(window.get())) << "the agent's window was shown";
  EXPECT_TRUE(LinesWith(run.log, L"CUtility::OSInfo").empty()) << "the run ended before the OS line";
}

// A lock that stays held: after about 15 seconds the processes of the session decide.
class HeldLockE2E : public ::testing::Test {
 protected:
  LauncherRun RunAgainstHeldLock(const Sandbox& box) {
    const DWORD start = ::GetTickCount();
    LauncherRun run = RunLauncher(box, LauncherPath(), L"", 90000);
    elapsedMs_ = ::GetTickCount() - start;
    return run;
  }
  DWORD elapsedMs_ = 0;
};

TEST_F(HeldLockE2E, RunningServerEndsTheRunAfterTheWait) {
  Sandbox box(L"e2e-lock-server");
  e2e::CodeSignMode quickRoute;
  HeldLock lock;
  ASSERT_TRUE(lock.held());
  e2e::AgentNamedProcesses agent(box.Root());
  ASSERT_NE(agent.Start(L"OXServerLUMO.exe"), nullptr);

  const LauncherRun run = RunAgainstHeldLock(box);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_GE(elapsedMs_, 14500u);
  EXPECT_LT(elapsedMs_, 40000u);
  EXPECT_EQ(LinesWith(run.log, std::wstring(kPrefix) + L"LUMO skip by another instance (183)").size(), 1u) << run.log;
  EXPECT_TRUE(LinesWith(run.log, L"Close OXM").empty());
}

TEST_F(HeldLockE2E, NoAgentProcessEndsTheRunAsALockWithoutInstance) {
  Sandbox box(L"e2e-lock-none");
  e2e::CodeSignMode quickRoute;
  HeldLock lock;
  ASSERT_TRUE(lock.held());
  // The agent's processes in the session are what counts: the window of a held lock is not
  // looked at again after the wait.
  const LauncherRun run = RunAgainstHeldLock(box);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_GE(elapsedMs_, 14500u);
  EXPECT_EQ(LinesWith(run.log, std::wstring(kPrefix) + L"LUMO skip by lock without instance (183)").size(), 1u)
      << run.log;
}

TEST_F(HeldLockE2E, LeftoverManagersAreEndedWithCodeTwoAndTheRunGoesOn) {
  Sandbox box(L"e2e-lock-leftover");
  e2e::CodeSignMode quickRoute;
  HeldLock lock;
  ASSERT_TRUE(lock.held());
  e2e::AgentNamedProcesses agent(box.Root());
  HANDLE manager = agent.Start(L"OXManagerLUMO.exe");
  ASSERT_NE(manager, nullptr);

  const LauncherRun run = RunAgainstHeldLock(box);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_GE(elapsedMs_, 17500u) << "15 seconds for the lock, 3 for the clean-up";
  ASSERT_EQ(::WaitForSingleObject(manager, 0), WAIT_OBJECT_0);
  DWORD code = 0;
  ::GetExitCodeProcess(manager, &code);
  EXPECT_EQ(code, 2u);
  const std::vector<std::wstring> lines = Lines(run.log);
  const std::wstring close = std::wstring(kPrefix) + L"Close OXM " + std::to_wstring(::GetProcessId(manager));
  size_t closeAt = lines.size(), waitAt = lines.size(), osAt = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (Contains(lines[i], close)) closeAt = i;
    if (Contains(lines[i], std::wstring(kPrefix) + L"Wait 3sec for another instance cleanup")) waitAt = i;
    if (Contains(lines[i], L"[CUtility::OSInfo]")) osAt = i;
  }
  EXPECT_LT(closeAt, waitAt) << run.log;
  EXPECT_LT(waitAt, osAt) << "the run went on after the clean-up\n" << run.log;
  EXPECT_TRUE(LinesWith(run.log, L"LUMO skip by").empty()) << run.log;
}

}  // namespace
