// The settings hand-off seen from outside: packed launchers with an initial settings file
// and switches, run on the standard route under Wine. Checked: the code the agent's
// manager receives, the values in this session's product key, and the debug marker in the
// work folder while the agent runs.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "e2e/e2e_product.h"
#include "settings/core/key_mapping.h"
#include "support/agent_record.h"
#include "support/launcher_run.h"
#include "support/platform.h"
#include "support/standin_settings.h"

namespace {

using namespace testsupport;

constexpr DWORD kRunTimeout = 60000;

std::wstring SessionProductKey() {
  return std::wstring(lumo::kProductBasePath) + L" LUMO_" + std::to_wstring(static_cast<int>(SessionId()));
}

DWORD QueryProductValue(const std::wstring& name, std::wstring* text = nullptr, DWORD* number = nullptr) {
  BYTE data[2048] = {};
  DWORD size = sizeof(data) - 2, type = 0;
  if (::RegGetValueW(HKEY_CURRENT_USER, SessionProductKey().c_str(), name.c_str(), RRF_RT_ANY, &type, data, &size) != 0)
    return 0;
  if (text) *text = reinterpret_cast<const wchar_t*>(data);
  if (number) *number = *reinterpret_cast<const DWORD*>(data);
  return type;
}

void SetInstructionValues() {
  const std::wstring note = L"stale";
  const DWORD idle = 77;
  ::RegSetKeyValueW(HKEY_CURRENT_USER, SessionProductKey().c_str(), L"NoteSession", REG_SZ, note.c_str(),
                    static_cast<DWORD>((note.size() + 1) * sizeof(wchar_t)));
  ::RegSetKeyValueW(HKEY_CURRENT_USER, SessionProductKey().c_str(), L"IdleSessionTimeout", REG_DWORD, &idle, sizeof(idle));
}

struct AgentRun {
  LauncherRun run;
  AgentRecord manager;
  size_t managerRecords = 0;
  bool markerSeenWhileRunning = false;
  bool markerEmpty = false;
};

class SettingsE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteInstructionValues();
  }
  void TearDown() override { DeleteInstructionValues(); }
  static void DeleteInstructionValues() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, SessionProductKey().c_str(), 0, KEY_SET_VALUE, &key) != 0) return;
    ::RegDeleteValueW(key, L"NoteSession");
    ::RegDeleteValueW(key, L"IdleSessionTimeout");
    ::RegCloseKey(key);
  }

  // A launcher packed with the agent stand-in and these settings, run with the arguments;
  // while the agent runs, the work folder is watched for the debug marker.
  AgentRun RunWithAgent(const Sandbox& box, const std::wstring& fileName, const std::string& initSettings,
                        const std::wstring& arguments) {
    AgentRun result;
    const std::wstring records = box.Root() + L"\\records";
    ::CreateDirectoryW(records.c_str(), nullptr);
    const std::string agentIni = "[Agent]\nLifetimeMs=2500\nRecordFolder=" + ToUtf8(records) + "\n";
    std::vector<PayloadFile> files = {{"lumo-agent.cab", ReadBytes(AgentCabinet())}, {"agent.ini", TextBytes(agentIni)}};
    if (!initSettings.empty()) files.push_back({".init_setting.ini", TextBytes(initSettings)});
    const std::wstring launcher = PackLauncher(box.Root(), fileName, files);
    if (launcher.empty()) return result;
    const std::vector<std::wstring> before = ElevatedWorkFolders();
    result.run = RunLauncher(box, launcher, arguments, kRunTimeout, [&] {
      // The marker is only observable while the agent runs: the work folder (the elevated
      // run's, under the Windows temp folder) goes with the run.
      const DWORD start = ::GetTickCount();
      while (::GetTickCount() - start < 30000) {
        if (lumo::FindProductWindow() != nullptr) {
          const std::wstring folder = NewElevatedWorkFolder(before);
          if (folder.empty()) break;
          const std::wstring marker = folder + L"log\\debug.dvm";
          result.markerSeenWhileRunning = Exists(marker);
          result.markerEmpty = ReadBytes(marker).empty();
          break;
        }
        ::Sleep(20);
      }
    });
    const std::vector<std::wstring> found = AgentRecordFiles(records, L"OXManagerLUMO");
    result.managerRecords = found.size();
    if (!found.empty()) result.manager = ReadAgentRecord(found.front());
    return result;
  }

  e2e::CodeSignMode standardRoute_;
};

TEST_F(SettingsE2E, TheManagerReceivesTheComposedCode) {
  Sandbox box(L"e2e-settings-compose");
  const AgentRun result = RunWithAgent(
      box, L"OXUnPackLUMO.exe", "[Settings]\nlumo_token = TOK42\ntoken_category=12\ntoken_mode=0\ntoken_kind=3\n", L"");
  ASSERT_EQ(result.run.exitCode, 0) << result.run.log;
  ASSERT_EQ(result.managerRecords, 1u) << result.run.log;
  EXPECT_EQ(Field(result.manager, "arg1"), "-t");
  EXPECT_EQ(Field(result.manager, "arg2"), "TOK42_C12_K3");
  EXPECT_FALSE(result.markerSeenWhileRunning) << "no marker without /D";
}

TEST_F(SettingsE2E, DebugSwitchLeavesTheMarkerInTheWorkFolderWhileTheAgentRuns) {
  Sandbox box(L"e2e-settings-debug");
  const AgentRun result = RunWithAgent(box, L"OXUnPackLUMO.exe", "[Settings]\nlumo_token=FROMFILE\n", L"/D");
  ASSERT_EQ(result.run.exitCode, 0) << result.run.log;
  ASSERT_EQ(result.managerRecords, 1u) << result.run.log;
  EXPECT_EQ(Field(result.manager, "arg2"), "FROMFILE");
  EXPECT_TRUE(result.markerSeenWhileRunning) << "log\\debug.dvm was not in the work folder while the agent ran";
  EXPECT_TRUE(result.markerEmpty);
  const std::wstring folder = LoggedWorkFolder(result.run.log);
  EXPECT_FALSE(folder.empty() || Exists(folder)) << "the marker goes with the work folder\n" << result.run.log;
}

TEST_F(SettingsE2E, InstructionLandsInTheSessionProductKey) {
  Sandbox box(L"e2e-settings-instruction");
  SetInstructionValues();
  const std::wstring launcher = PackLauncher(box.Root(), L"OXUnPackLUMO.exe", {});
  ASSERT_FALSE(launcher.empty());
  // The quoted argument keeps its blank; the next one is appended without a separator.
  const LauncherRun run = RunLauncher(box, launcher, L"/I \"NOTE=Printer down,\" IDLE=30", kRunTimeout);
  ASSERT_EQ(run.exitCode, 0) << run.log;
  std::wstring note;
  DWORD idle = 0;
  EXPECT_EQ(QueryProductValue(L"NoteSession", &note), static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(note, L"Printer down");
  EXPECT_EQ(QueryProductValue(L"IdleSessionTimeout", nullptr, &idle), static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(idle, 30u);
  EXPECT_EQ(LinesWith(run.log, L"[CUnPackFileApp::HandleInstruction] LUMO Instruction NOTE=Printer down,IDLE=30").size(), 1u)
      << run.log;
}

TEST_F(SettingsE2E, RunWithoutCodeAndInstructionClearsTheValuesAndACodeAloneKeepsThem) {
  Sandbox box(L"e2e-settings-clear");
  SetInstructionValues();
  const std::wstring withCode =
      PackLauncher(box.Root(), L"WithCode.exe", {{".init_setting.ini", TextBytes("[Settings]\nlumo_token=KEEP\n")}});
  ASSERT_FALSE(withCode.empty());
  LauncherRun run = RunLauncher(box, withCode, L"", kRunTimeout);
  ASSERT_EQ(run.exitCode, 0) << run.log;
  EXPECT_EQ(QueryProductValue(L"NoteSession"), static_cast<DWORD>(REG_SZ)) << "a code alone leaves the values";
  EXPECT_EQ(QueryProductValue(L"IdleSessionTimeout"), static_cast<DWORD>(REG_DWORD));

  const std::wstring without = PackLauncher(box.Root(), L"OXUnPackLUMO.exe", {});
  ASSERT_FALSE(without.empty());
  run = RunLauncher(box, without, L"/D", kRunTimeout);
  ASSERT_EQ(run.exitCode, 0) << run.log;
  EXPECT_EQ(QueryProductValue(L"NoteSession"), 0u) << run.log;
  EXPECT_EQ(QueryProductValue(L"IdleSessionTimeout"), 0u);
  EXPECT_TRUE(LinesWith(run.log, L"LUMO Instruction").empty()) << "clearing logs nothing";
}

TEST_F(SettingsE2E, LaunchPathsAreWrittenAtStartUp) {
  Sandbox box(L"e2e-settings-paths");
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, SessionProductKey().c_str(), 0, KEY_SET_VALUE, &key) == 0) {
    ::RegDeleteValueW(key, L"ImagePath");
    ::RegDeleteValueW(key, L"DesktopPath");
    ::RegCloseKey(key);
  }
  const std::wstring launcher = PackLauncher(box.Root(), L"LUMO-PATHS.exe", {});
  ASSERT_FALSE(launcher.empty());
  const LauncherRun run = RunLauncher(box, launcher, L"", kRunTimeout);
  ASSERT_EQ(run.exitCode, 0) << run.log;
  std::wstring image, desktop;
  EXPECT_EQ(QueryProductValue(L"ImagePath", &image), static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(image, launcher);
  EXPECT_EQ(QueryProductValue(L"DesktopPath", &desktop), static_cast<DWORD>(REG_SZ));
  wchar_t folder[MAX_PATH] = {};
  ASSERT_EQ(::SHGetFolderPathW(nullptr, CSIDL_DESKTOP, nullptr, SHGFP_TYPE_DEFAULT, folder), S_OK);
  EXPECT_EQ(desktop, std::wstring(folder) + L"\\LUMO.exe");
}

// The token switch "/T" asks an unelevated user for consent and ends the run, so the code
// that follows it reaches the agent only on the SYSTEM route, which Wine's elevated
// administrator takes.
TEST(SettingsSystemE2E, CodeSwitchOverridesTheSettingsOnTheSystemRoute) {
  Sandbox box(L"e2e-settings-override");
  const std::wstring records = box.Root() + L"\\records";
  ::CreateDirectoryW(records.c_str(), nullptr);
  StandinSettings standins;
  standins.Set(L"Agent\\RecordFolder", records)
      .Set(L"Agent\\LifetimeMs", L"2000")
      .Set(L"SchtasksLog", box.Root() + L"\\schtasks.log");
  const std::wstring launcher = PackLauncher(
      box.Root(), L"OXUnPackLUMO.exe",
      {{"lumo-agent.cab", ReadBytes(AgentCabinet())},
       {".init_setting.ini", TextBytes("[Settings]\nlumo_token=FROMFILE\ntoken_kind=3\n")}});
  ASSERT_FALSE(launcher.empty());
  const LauncherRun run = RunLauncher(box, launcher, L"-t OVERRIDE9", 120000);
  ASSERT_EQ(run.exitCode, 0) << run.log;
  const std::vector<std::wstring> managers = AgentRecordFiles(records, L"OXManagerLUMO");
  ASSERT_FALSE(managers.empty()) << run.log;
  EXPECT_EQ(Field(ReadAgentRecord(managers.front()), "code"), "OVERRIDE9");
  if (UnderWine())  // the task's action, as the schtasks stand-in logged it
    EXPECT_TRUE(Contains(ReadUtf16(box.Root() + L"\\schtasks.log"), L" OVERRIDE9\"")) << "the task carries the code";
}

}  // namespace
