// The instance lock and the arbitration against real mutexes, windows and processes. The
// arbitration's pauses are shortened here; the launcher's own 15-second wait is covered
// end to end.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "app/arbitration.h"
#include "app/instance_lock.h"
#include "launch/product.h"
#include "support/product_window.h"
#include "support/winsupport.h"
#include "util/utility.h"

namespace {

using namespace testsupport;

constexpr lumo::ArbitrationTiming kQuick{4, 100, 300};

// A lock name of this test alone, so that no launcher of the prefix meets it.
std::wstring TestLockName(const wchar_t* tag) {
  return std::wstring(L"lumo-test-lock-") + tag + L"-" + std::to_wstring(::GetCurrentProcessId());
}

// Programs named like the agent's, copied from a helper that sleeps, running in this
// session until the test ends (or the arbitration ends them).
class AgentProcesses {
 public:
  explicit AgentProcesses(const Sandbox& box) : folder_(box.Root()) {}
  ~AgentProcesses() {
    for (HANDLE process : processes_) {
      ::TerminateProcess(process, 99);
      ::WaitForSingleObject(process, 5000);
      ::CloseHandle(process);
    }
  }
  HANDLE Start(const std::wstring& name) {
    const std::wstring program = CopyAs(ExeDir() + L"\\exit_after.exe", folder_, name);
    HANDLE process = testsupport::Start(Quote(program) + L" 60000");
    if (process != nullptr) processes_.push_back(process);
    return process;
  }

 private:
  std::wstring folder_;
  std::vector<HANDLE> processes_;
};

std::wstring Log(const Sandbox& box) { return ReadUtf16(LogPath(box.Temp())); }

TEST(InstanceLock, SecondHolderSeesTheLockHeldUntilTheFirstLetsGo) {
  const std::wstring name = TestLockName(L"pair");
  auto first = std::make_unique<CInstanceLock>(name.c_str());
  EXPECT_EQ(first->GetCreateError(), 0u);
  EXPECT_FALSE(first->IsHeldElsewhere());
  EXPECT_TRUE(first->HasHandle());

  CInstanceLock second(name.c_str());
  EXPECT_EQ(second.GetCreateError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(second.IsHeldElsewhere());

  // Create drops this object's own handle first: once the first holder has gone, the
  // mutex is made afresh and the lock is free.
  first.reset();
  second.Create();
  EXPECT_EQ(second.GetCreateError(), 0u);
  EXPECT_FALSE(second.IsHeldElsewhere());

  // Anonymous locks never meet each other.
  CInstanceLock anonymousA(nullptr), anonymousB(nullptr);
  EXPECT_FALSE(anonymousB.IsHeldElsewhere());
  EXPECT_TRUE(anonymousB.HasHandle());
}

TEST(Arbitration, FreeLockGoesOnUnlessAProductWindowIsUp) {
  Sandbox box(L"arb-free");
  CInstanceLock lock(TestLockName(L"free").c_str());
  EXPECT_TRUE(lumo::ArbitrateInstance(lock, false, kQuick));
  {
    ProductWindow window;
    ASSERT_NE(window.get(), nullptr);
    // The skip flag plays no part while the lock is free.
    EXPECT_FALSE(lumo::ArbitrateInstance(lock, true, kQuick));
    EXPECT_TRUE(::IsWindowVisible(window.get())) << "the window is shown when brought forward";
  }
  const std::wstring log = Log(box);
  EXPECT_TRUE(Contains(log, L"[CUnPackFileApp::InitInstance] LUMO skip by foreground window without instance")) << log;
  EXPECT_EQ(Lines(log).size(), 1u) << log;
}

TEST(Arbitration, HeldLockWithProductWindowEndsUnlessTheCheckIsSkipped) {
  Sandbox box(L"arb-window");
  const std::wstring name = TestLockName(L"window");
  CInstanceLock holder(name.c_str());
  CInstanceLock lock(name.c_str());
  ProductWindow window;
  ASSERT_NE(window.get(), nullptr);

  EXPECT_FALSE(lumo::ArbitrateInstance(lock, false, kQuick));
  EXPECT_TRUE(Contains(Log(box), L"LUMO skip by foreground instance"));

  // Skipped window check: the waits run out and the process checks decide (none here).
  const DWORD start = ::GetTickCount();
  EXPECT_FALSE(lumo::ArbitrateInstance(lock, true, kQuick));
  EXPECT_GE(::GetTickCount() - start, 350u) << "four waits of 100 ms";
  const std::wstring log = Log(box);
  EXPECT_TRUE(Contains(log, L"LUMO skip by lock without instance (183)")) << log;
}

TEST(Arbitration, LockFreedDuringTheWaitsIsTakenOver) {
  Sandbox box(L"arb-freed");
  const std::wstring name = TestLockName(L"freed");
  auto holder = std::make_unique<CInstanceLock>(name.c_str());
  CInstanceLock lock(name.c_str());
  ASSERT_TRUE(lock.IsHeldElsewhere());
  std::thread release([&holder] {
    ::Sleep(150);
    holder.reset();
  });
  const bool goOn = lumo::ArbitrateInstance(lock, false, kQuick);
  release.join();
  EXPECT_TRUE(goOn);
  EXPECT_FALSE(lock.IsHeldElsewhere());
  EXPECT_TRUE(lock.HasHandle()) << "this launcher holds the lock from now on";
  // A later launcher meets it.
  CInstanceLock later(name.c_str());
  EXPECT_TRUE(later.IsHeldElsewhere());
  EXPECT_TRUE(Log(box).empty());
}

TEST(Arbitration, RunningServerEndsTheRunAndLeftoverManagersAreTerminated) {
  Sandbox box(L"arb-processes");
  const std::wstring name = TestLockName(L"procs");
  CInstanceLock holder(name.c_str());
  CInstanceLock lock(name.c_str());
  AgentProcesses agent(box);

  // A server in this session: another instance runs.
  HANDLE server = agent.Start(L"OXServerLUMO.exe");
  ASSERT_NE(server, nullptr);
  ::Sleep(300);
  EXPECT_FALSE(lumo::ArbitrateInstance(lock, false, kQuick));
  EXPECT_TRUE(Contains(Log(box), L"LUMO skip by another instance (183)"));
  ::TerminateProcess(server, 0);
  ::WaitForSingleObject(server, 5000);

  // Two managers without a server: leftovers, each ended with exit code 2, then the run
  // goes on without the lock.
  HANDLE first = agent.Start(L"OXManagerLUMO.exe");
  HANDLE second = agent.Start(L"OXManagerLUMO.exe");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  ::Sleep(300);
  EXPECT_TRUE(lumo::ArbitrateInstance(lock, false, kQuick));
  for (HANDLE manager : {first, second}) {
    ASSERT_EQ(::WaitForSingleObject(manager, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    ::GetExitCodeProcess(manager, &code);
    EXPECT_EQ(code, 2u);
    const std::wstring line = L"[CUnPackFileApp::InitInstance] Close OXM " + std::to_wstring(::GetProcessId(manager));
    EXPECT_TRUE(Contains(Log(box), line)) << line;
  }
  const std::wstring log = Log(box);
  EXPECT_TRUE(Contains(log, L"[CUnPackFileApp::InitInstance] Wait 3sec for another instance cleanup")) << log;
  EXPECT_TRUE(lock.IsHeldElsewhere()) << "the lock is not tried again";
}

TEST(Arbitration, ForegroundBringsTheWindowUp) {
  ProductWindow window;
  ASSERT_NE(window.get(), nullptr);
  ASSERT_FALSE(::IsWindowVisible(window.get()));
  lumo::BringToForeground(window.get());
  EXPECT_TRUE(::IsWindowVisible(window.get()));
  EXPECT_EQ(::GetForegroundWindow(), window.get());
}

}  // namespace
