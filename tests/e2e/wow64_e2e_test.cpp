// What differs where it runs under WOW64: the release launcher is a 32-bit program on 64-bit
// Windows, with a 64-bit interpreter, 64-bit system programs and a 64-bit agent around it.
// One standard run of each build (the release launcher and, for contrast, the x86_64 one):
//  - the OS line ends in x64:1 for the release launcher, x64:0 for the x86_64 one;
//  - the cabinet is expanded by the 64-bit expand stand-in of the 64-bit system folder,
//    started by the 64-bit interpreter (sysnative\cmd.exe for the 32-bit launcher), never by
//    Wine's 32-bit built-in in syswow64, which fails on every cabinet;
//  - what the launcher writes into the product key is what the 64-bit agent stand-in reads
//    from that key in the user's hive (Software is one view there for both widths).
// The backup copy and the paths it logs, as a 32-bit program sees them, are checked on the
// release launcher by StandardLaunchE2E against the paths this 64-bit program sees.
#include <gtest/gtest.h>

#include "e2e/e2e_product.h"
#include "settings/core/key_mapping.h"
#include "support/agent_record.h"
#include "support/launcher_run.h"
#include "support/platform.h"

namespace {

using namespace testsupport;

class Wow64E2E : public EachBuild {
  e2e::CodeSignMode standardRoute_;
};

TEST_P(Wow64E2E, OsLineSystemProgramsAndProductKeyAreThoseOf64BitWindows) {
  LUMO_RELEASE_CHECK("9");
  Sandbox box(L"e2e-wow64");
  const e2e::StandinTrace standins(box.Root() + L"\\standins.log");
  const std::wstring records = box.Root() + L"\\records";
  ::CreateDirectoryW(records.c_str(), nullptr);
  const std::string agentIni = "[Agent]\nLifetimeMs=1000\nRecordFolder=" + ToUtf8(records) + "\n";
  const std::wstring launcher =
      PackLauncher(box.Root(), L"OXUnPackLUMO.exe",
                   {{"lumo-agent.cab", ReadBytes(AgentCabinet())},
                    {".init_setting.ini", TextBytes("[Settings]\nlumo_token=WOW64\n")},
                    {"agent.ini", TextBytes(agentIni)}});
  ASSERT_FALSE(launcher.empty());
  const LauncherRun run = RunLauncher(box, launcher, L"", 60000);
  ASSERT_EQ(run.exitCode, 0) << run.log;

  const std::vector<std::wstring> os = LinesWith(run.log, L"[CUtility::OSInfo] OS ");
  ASSERT_EQ(os.size(), 1u) << run.log;
  EXPECT_TRUE(Contains(os[0], IsRelease() ? L" x64:1 (Last=" : L" x64:0 (Last=")) << ToUtf8(os[0]);

  if (UnderWine()) {  // as the expand stand-in traced its start
    const std::vector<std::wstring> expands = standins.Starts(L"expand.exe");
    ASSERT_EQ(expands.size(), 1u) << "the expand stand-in did not run: Wine's own did\n" << ToUtf8(run.log);
    EXPECT_TRUE(e2e::IsNativeStart(expands[0], L"expand.exe")) << ToUtf8(expands[0]);
  }

  const std::vector<std::wstring> managers = AgentRecordFiles(records, L"OXManagerLUMO");
  ASSERT_EQ(managers.size(), 1u) << "the cabinet was not expanded\n" << ToUtf8(run.log);
  const AgentRecord manager = ReadAgentRecord(managers.front());
  EXPECT_EQ(Field(manager, "code"), "WOW64");
  EXPECT_EQ(Field(manager, "key"), "HKCU\\" + ToUtf8(std::wstring(lumo::kProductBasePath)) + " LUMO_" +
                                       std::to_string(static_cast<int>(SessionId())));
  EXPECT_EQ(Field(manager, "reg.ImagePath"), ToUtf8(launcher)) << "written by the launcher, read by the agent";
}

LUMO_ON_BOTH_BUILDS(Wow64E2E);

}  // namespace
