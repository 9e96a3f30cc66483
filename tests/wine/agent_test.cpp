// The agent stand-in under Wine: the manager's window, record, server and end; the
// starter; and the files the cabinet carries (task definition, feature builds, catalogs).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/agent_record.h"
#include "support/platform.h"
#include "support/winsupport.h"
#include "util/utility.h"

namespace {

using namespace testsupport;

constexpr wchar_t kProductClass[] = L"OndrixRemoteAttendedSupport";

// A work folder holding the agent's programs and an agent.ini, and a record folder.
struct AgentFolder {
  std::wstring work, records;
  AgentFolder(const Sandbox& box, unsigned long lifetimeMs, int exitCode = 0) {
    work = box.Root() + L"\\work folder";
    records = box.Root() + L"\\records";
    ::CreateDirectoryW(work.c_str(), nullptr);
    for (const std::wstring& name : AgentFiles())
      ::CopyFileW((AgentDir() + L"\\" + name).c_str(), (work + L"\\" + name).c_str(), FALSE);
    WriteAgentIni(work, lifetimeMs, records, 0, exitCode);
  }
  std::wstring Manager() const { return work + L"\\OXManagerLUMO.exe"; }
};

std::vector<DWORD> Running(const std::wstring& name) {
  std::vector<DWORD> ids;
  CUtility::FindProcesses(name, ids, SessionId());
  return ids;
}

bool WaitGone(const std::wstring& name, DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  while (!Running(name).empty()) {
    if (::GetTickCount() - start > timeoutMs) return false;
    ::Sleep(100);
  }
  return true;
}

HWND WaitWindow(const wchar_t* title, DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  HWND window = nullptr;
  while ((window = ::FindWindowW(kProductClass, title)) == nullptr && ::GetTickCount() - start < timeoutMs)
    ::Sleep(50);
  return window;
}

// The values the manager reads: written into the product key of this session for the test.
class ProductValues {
 public:
  ProductValues() {
    path_ = L"Software\\Ondrix Inc.\\Ondrix Remote Server LUMO_" + std::to_wstring(SessionId());
    ::RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
  }
  ~ProductValues() {
    for (const wchar_t* name : {L"NoteSession", L"IdleSessionTimeout", L"IsSystemUser"}) ::RegDeleteValueW(key_, name);
    ::RegCloseKey(key_);
  }
  void Text(const wchar_t* name, const std::wstring& value) {
    ::RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }
  void Number(const wchar_t* name, DWORD value) {
    ::RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
  }

 private:
  std::wstring path_;
  HKEY key_ = nullptr;
};

TEST(AgentManager, ShowsItsWindowRecordsWhatItReceivedAndTakesItsServerAlong) {
  Sandbox box(L"agent-manager");
  ASSERT_TRUE(WaitGone(L"OXServerLUMO.exe", 10000)) << "a server of an earlier test still runs";
  AgentFolder agent(box, 0);
  ProductValues values;
  values.Text(L"NoteSession", L"Printer down");
  values.Number(L"IdleSessionTimeout", 30);
  values.Number(L"IsSystemUser", 1);

  HANDLE manager = Start(Quote(agent.Manager()) + L" -t \"CODE 7\"", box.Root().c_str());
  ASSERT_NE(manager, nullptr);
  HWND window = WaitWindow(L"CODE 7", 20000);
  ASSERT_NE(window, nullptr) << "the product window is titled with the code";
  // Found as soon as it exists; shown a moment later (on a busy machine, later still).
  for (int i = 0; i < 200 && !::IsWindowVisible(window); ++i) ::Sleep(25);
  EXPECT_TRUE(::IsWindowVisible(window));
  EXPECT_EQ(::GetAncestor(window, GA_ROOT), window);
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  EXPECT_EQ(owner, ::GetProcessId(manager));

  const AgentRecord record = WaitForAgentRecord(agent.records, L"OXManagerLUMO", 10000);
  ASSERT_FALSE(record.empty());
  EXPECT_EQ(Field(record, "argc"), "2");
  EXPECT_EQ(Field(record, "arg1"), "-t");
  EXPECT_EQ(Field(record, "arg2"), "CODE 7");
  EXPECT_EQ(Field(record, "code"), "CODE 7");
  EXPECT_EQ(Field(record, "command_line"), ToUtf8(Quote(agent.Manager()) + L" -t \"CODE 7\""));
  EXPECT_EQ(Field(record, "current_folder"), ToUtf8(box.Root()));
  EXPECT_EQ(Field(record, "session"), std::to_string(SessionId()));
  wchar_t user[256] = {};
  DWORD size = 256;
  ::GetUserNameW(user, &size);
  EXPECT_EQ(Field(record, "user"), ToUtf8(user));
  EXPECT_EQ(Field(record, "is_system"), "0");
  EXPECT_EQ(Field(record, "reg.NoteSession"), "Printer down");
  EXPECT_EQ(Field(record, "reg.IdleSessionTimeout"), "30");
  EXPECT_EQ(Field(record, "reg.IsSystemUser"), "1");
  EXPECT_NE(Field(record, "qpc"), "0");
  EXPECT_NE(Field(record, "qpc_frequency"), "0");
  EXPECT_NE(Field(record, "qpc"), "<missing>");

  const std::vector<DWORD> servers = Running(L"OXServerLUMO.exe");
  ASSERT_EQ(servers.size(), 1u);
  EXPECT_EQ(Field(record, "server_pid"), std::to_string(servers[0]));

  // Closing the window ends the manager, and the server with it.
  ::PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitExit(manager, 20000), 0);
  EXPECT_TRUE(WaitGone(L"OXServerLUMO.exe", 10000));
  EXPECT_EQ(::FindWindowW(kProductClass, nullptr), nullptr);
}

TEST(AgentManager, WithoutCodeItEndsAfterItsLifetime) {
  Sandbox box(L"agent-lifetime");
  AgentFolder agent(box, 1500, 5);
  HANDLE manager = Start(Quote(agent.Manager()), agent.work.c_str());
  ASSERT_NE(manager, nullptr);
  EXPECT_NE(WaitWindow(L"Ondrix LUMO (no session code)", 20000), nullptr);
  EXPECT_EQ(WaitExit(manager, 30000), 5) << "it ends by itself, with the exit code of agent.ini";
  const AgentRecord record = WaitForAgentRecord(agent.records, L"OXManagerLUMO", 1000);
  EXPECT_EQ(Field(record, "argc"), "0");
  EXPECT_EQ(Field(record, "has_code"), "0");
  EXPECT_EQ(Field(record, "current_folder"), ToUtf8(agent.work));
  EXPECT_TRUE(WaitGone(L"OXServerLUMO.exe", 10000));
}

TEST(AgentManager, TerminatedManagerLeavesNoServer) {
  Sandbox box(L"agent-terminated");
  AgentFolder agent(box, 0);
  HANDLE manager = Start(Quote(agent.Manager()) + L" -t T1", agent.work.c_str());
  ASSERT_NE(manager, nullptr);
  ASSERT_NE(WaitWindow(L"T1", 20000), nullptr);
  ASSERT_FALSE(Running(L"OXServerLUMO.exe").empty());
  // As the launcher ends a leftover manager.
  ::TerminateProcess(manager, 2);
  EXPECT_EQ(WaitExit(manager, 10000), 2);
  EXPECT_TRUE(WaitGone(L"OXServerLUMO.exe", 10000));
}

TEST(AgentStarter, StartsTheManagerWithTheCodeAndWaitsForIt) {
  Sandbox box(L"agent-starter");
  AgentFolder agent(box, 1000, 6);
  const std::wstring starter = agent.work + L"\\Launcher.exe";
  const std::wstring session = std::to_wstring(SessionId());

  // Run from elsewhere, as the task runs it.
  EXPECT_EQ(RunWait(Quote(starter) + L" OXManagerLUMO.exe " + session + L" \"AB 12\"", 60000, box.Root().c_str()), 6)
      << "the starter ends with the manager and passes its exit code on";
  AgentRecord record = WaitForAgentRecord(agent.records, L"OXManagerLUMO", 1000);
  EXPECT_EQ(Field(record, "argc"), "2");
  EXPECT_EQ(Field(record, "arg1"), "-t");
  EXPECT_EQ(Field(record, "arg2"), "AB 12");
  EXPECT_EQ(Field(record, "current_folder"), ToUtf8(agent.work)) << "the manager runs in the starter's folder";
  const AgentRecord starterRecord = WaitForAgentRecord(agent.records, L"Launcher", 1000);
  EXPECT_EQ(Field(starterRecord, "started"), "1");
  EXPECT_EQ(Field(starterRecord, "arg2"), ToUtf8(session));

  // Without a code the manager gets no arguments.
  for (const std::wstring& file : AgentRecordFiles(agent.records, L"OXManagerLUMO")) ::DeleteFileW(file.c_str());
  EXPECT_EQ(RunWait(Quote(starter) + L" OXManagerLUMO.exe " + session, 60000), 6);
  record = WaitForAgentRecord(agent.records, L"OXManagerLUMO", 1000);
  EXPECT_EQ(Field(record, "argc"), "0");
}

TEST(AgentStarter, StartsNothingOutsideItsFolder) {
  Sandbox box(L"agent-starter-refuses");
  AgentFolder agent(box, 1000);
  const std::wstring starter = agent.work + L"\\Launcher.exe";
  ::CopyFileW((ExeDir() + L"\\echoargs.exe").c_str(), (box.Root() + L"\\outside.exe").c_str(), FALSE);
  const std::wstring report = box.Root() + L"\\echo.txt";
  ::SetEnvironmentVariableW(L"LUMO_ECHO_FILE", report.c_str());
  EXPECT_EQ(RunWait(Quote(starter) + L" ..\\outside.exe 1"), 2);
  EXPECT_EQ(RunWait(Quote(starter) + L" " + Quote(box.Root() + L"\\outside.exe") + L" 1"), 2);
  EXPECT_EQ(RunWait(Quote(starter) + L" OXManagerLUMO.exe"), 2) << "no session";
  ::SetEnvironmentVariableW(L"LUMO_ECHO_FILE", nullptr);
  EXPECT_FALSE(Exists(report));
  EXPECT_TRUE(AgentRecordFiles(agent.records, L"OXManagerLUMO").empty());
}

// The element names of a document in order of appearance, or false when the tags do not
// nest properly.
bool WellFormedTags(const std::wstring& xml, std::vector<std::wstring>* names) {
  std::vector<std::wstring> open;
  size_t at = 0;
  while ((at = xml.find(L'<', at)) != std::wstring::npos) {
    const size_t end = xml.find(L'>', at);
    if (end == std::wstring::npos) return false;
    std::wstring tag = xml.substr(at + 1, end - at - 1);
    at = end + 1;
    if (tag.empty() || tag[0] == L'?' || tag[0] == L'!') continue;
    const bool closing = tag[0] == L'/';
    const bool empty = tag.back() == L'/';
    std::wstring name = tag.substr(closing ? 1 : 0);
    name = name.substr(0, name.find_first_of(L" /\t\r\n"));
    if (closing) {
      if (open.empty() || open.back() != name) return false;
      open.pop_back();
    } else {
      names->push_back(name);
      if (!empty) open.push_back(name);
    }
  }
  return open.empty();
}

TEST(AgentFiles, TaskDefinitionIsUtf16AndHoldsTheStartersAction) {
  const std::vector<uint8_t> bytes = ReadBytes(AgentDir() + L"\\ALUMO.xml");
  ASSERT_GT(bytes.size(), 4u);
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[1], 0xFE);
  const std::wstring xml = ReadUtf16(AgentDir() + L"\\ALUMO.xml").substr(1);
  std::vector<std::wstring> names;
  ASSERT_TRUE(WellFormedTags(xml, &names));
  EXPECT_EQ(names.front(), L"Task");
  for (const wchar_t* part :
       {L"encoding=\"UTF-16\"", L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">",
        L"<BootTrigger>", L"<AllowStartOnDemand>true</AllowStartOnDemand>",
        L"<MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>",
        L"<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>",
        L"<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>", L"<RunOnlyIfIdle>false</RunOnlyIfIdle>",
        L"<RunOnlyIfNetworkAvailable>false</RunOnlyIfNetworkAvailable>",
        L"<ExecutionTimeLimit>P3D</ExecutionTimeLimit>", L"<Priority>7</Priority>",
        L"<Command>Launcher.exe</Command>", L"<Arguments>OXManagerLUMO.exe 1</Arguments>", L"\r\n"})
    EXPECT_TRUE(Contains(xml, part)) << ToUtf8(part);
  EXPECT_EQ(std::count(names.begin(), names.end(), L"Exec"), 1) << "one action";
  EXPECT_EQ(std::count(names.begin(), names.end(), L"Triggers"), 1);
}

std::string Manifest(const std::wstring& path) {
  HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) return "<not loaded>";
  std::string text = "<no manifest>";
  HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  if (resource != nullptr) {
    HGLOBAL loaded = ::LoadResource(module, resource);
    text.assign(static_cast<const char*>(::LockResource(loaded)), ::SizeofResource(module, resource));
  }
  ::FreeLibrary(module);
  return text;
}

TEST(AgentFiles, FeatureBuildsAndCatalogsSayWhichTheyAre) {
  const std::wstring uia = AgentDir() + L"\\OXFeatureLUMO.exe";
  const std::wstring nouia = AgentDir() + L"\\OXFeatureLUMONOUIA.exe";
  EXPECT_EQ(FeatureBuildOf(uia), "UIA");
  EXPECT_EQ(FeatureBuildOf(nouia), "NOUIA");
  const std::string uiaManifest = Manifest(uia);
  EXPECT_NE(uiaManifest.find("level=\"requireAdministrator\" uiAccess=\"true\""), std::string::npos) << uiaManifest;
  const std::string nouiaManifest = Manifest(nouia);
  EXPECT_NE(nouiaManifest.find("level=\"asInvoker\""), std::string::npos) << nouiaManifest;
  EXPECT_EQ(nouiaManifest.find("requireAdministrator"), std::string::npos);
  // They run and report themselves too; Wine does not enforce manifests, where Windows starts
  // no program asking for UI access that is neither signed nor in a protected folder.
  if (UnderWine()) EXPECT_EQ(RunWait(Quote(uia)), 1);
  EXPECT_EQ(RunWait(Quote(nouia)), 2);

  EXPECT_EQ(CatalogOf(AgentDir() + L"\\dxprinter.cat"), "dxprinter");
  EXPECT_EQ(CatalogOf(AgentDir() + L"\\dxprinterx.cat"), "dxprinterx");
}

}  // namespace
