// Registry links that a program of the user makes in its own hive before the launcher runs,
// at the product key and at the vendor's key, pointing into the machine's hive: the run
// writes nothing behind them, deletes nothing behind them (the instruction values and the
// SYSTEM route's mark are deleted on every run), and still reaches the agent, through a
// product key of its own. Wine follows such a link from the user's hive into the machine's;
// whether Windows does is not documented, and under Wine every program is an administrator
// with no ACLs kept, so the defence that holds on a Windows that follows it (the walk runs as
// the session's user, who cannot write the machine's keys) cannot be shown here
// (docs/RELEASE-CHECKS.md).
#include <gtest/gtest.h>

#include "settings/core/key_mapping.h"
#include "support/agent_record.h"
#include "support/launcher_run.h"
#include "support/platform.h"
#include "support/standin_settings.h"
#include "support/registry_link.h"

namespace {

using namespace testsupport;

const std::wstring kVendor = L"Software\\Ondrix Inc.";
const std::wstring kTargets = L"LumoTests\\E2ELinks";  // below HKLM\Software, 64-bit view

std::wstring ProductKey() {
  return std::wstring(lumo::kProductBasePath) + L" LUMO_" + std::to_wstring(static_cast<int>(SessionId()));
}

void RemoveLinks() {
  if (IsRegistryLink(HKEY_CURRENT_USER, kVendor)) RemoveKeyAsItself(HKEY_CURRENT_USER, kVendor);
  RemoveKeyAsItself(HKEY_CURRENT_USER, ProductKey());
  RemoveKeyAsItself(HKEY_LOCAL_MACHINE, L"Software\\" + kTargets, KEY_WOW64_64KEY);
}

class RegistryLinkE2E : public EachBuild {
 protected:
  void SetUp() override {
    EachBuild::SetUp();
    RemoveLinks();
  }
  void TearDown() override {
    RemoveLinks();
    EachBuild::TearDown();
  }
};

TEST_P(RegistryLinkE2E, NothingBehindALinkIsWrittenOrDeletedAndTheAgentIsReached) {
  LUMO_RELEASE_CHECK("12");
  const std::wstring target = kTargets + L"\\Target";
  for (const std::wstring& at : {ProductKey(), kVendor}) {
    SCOPED_TRACE(std::string(at.begin(), at.end()));
    RemoveLinks();
    // Behind the link: the values a followed run would delete, where it would look for them.
    const std::wstring seen = L"Software\\" + target + (at == kVendor ? ProductKey().substr(kVendor.size()) : L"");
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, seen.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                nullptr, &key, nullptr), 0);
    const DWORD one = 1;
    for (const wchar_t* name : {L"NoteSession", L"IdleSessionTimeout", L"IsSystemUser"})
      ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof(one));
    ::RegCloseKey(key);
    RemoveKeyAsItself(HKEY_CURRENT_USER, at);  // a link is made only where no key is
    ASSERT_TRUE(MakeRegistryLink(HKEY_CURRENT_USER, at, MachineSoftware(target)));
    const bool followed = ::RegOpenKeyExW(HKEY_CURRENT_USER, ProductKey().c_str(), 0, KEY_READ, &key) == 0;
    if (followed) ::RegCloseKey(key);
    if (UnderWine()) ASSERT_TRUE(followed) << "Wine no longer follows the link: the case shows nothing";
    const std::wstring before = KeyTreeRecord(HKEY_LOCAL_MACHINE, L"Software\\" + kTargets, KEY_WOW64_64KEY);

    Sandbox box(L"e2e-registry-link");
    const std::wstring records = box.Root() + L"\\records";
    ::CreateDirectoryW(records.c_str(), nullptr);
    StandinSettings agent;
    agent.Set(L"Agent\\RecordFolder", records).Set(L"Agent\\LifetimeMs", L"1000");
    const std::wstring launcher =
        PackLauncher(box.Root(), L"OXUnPackLUMO.exe",
                     {{"lumo-agent.cab", ReadBytes(AgentCabinet())},
                      {".init_setting.ini", TextBytes("[Settings]\nlumo_token=123456\n")}});
    ASSERT_FALSE(launcher.empty());
    const LauncherRun run = RunLauncher(box, launcher, L"/I NOTE=mine", 120000);
    ASSERT_EQ(run.exitCode, 0) << run.log;

    EXPECT_EQ(KeyTreeRecord(HKEY_LOCAL_MACHINE, L"Software\\" + kTargets, KEY_WOW64_64KEY), before)
        << "what lies behind the link changed";
    EXPECT_FALSE(IsRegistryLink(HKEY_CURRENT_USER, at));
    EXPECT_EQ(LinesWith(run.log, L"[CRegistry::OpenPath] " + at + L" refused: a link").size(), 1u) << run.log;
    wchar_t image[MAX_PATH] = {};
    DWORD size = sizeof(image);
    EXPECT_EQ(::RegGetValueW(HKEY_CURRENT_USER, ProductKey().c_str(), L"ImagePath", RRF_RT_REG_SZ, nullptr, image, &size), 0);
    EXPECT_EQ(std::wstring(image), launcher) << "the run's values are in a product key of its own";
    EXPECT_FALSE(AgentRecordFiles(records, L"OXManagerLUMO").empty()) << "the agent was not reached\n" << run.log;
  }
}

LUMO_ON_BOTH_BUILDS(RegistryLinkE2E);

}  // namespace
