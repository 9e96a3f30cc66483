// The launch as SYSTEM, the route every launcher takes under Wine (an elevated
// administrator on a normal boot), with both builds: the scheduled task through the 64-bit
// schtasks stand-in, the starter and the manager of the agent stand-in, the registry mark,
// the window fallback and the protected work folder, which an elevated run makes under the
// Windows temp folder.
#include <gtest/gtest.h>
#include <aclapi.h>
#include <shlobj.h>
#include <userenv.h>

#include <map>
#include <memory>

#include "agent/core/agent_core.h"
#include "app/instance_lock.h"
#include "e2e/e2e_product.h"
#include "launch/command.h"
#include "launch/core/command_lines.h"
#include "support/agent_record.h"
#include "support/junction.h"
#include "support/launcher_run.h"
#include "support/platform.h"
#include "support/standin_settings.h"
#include "ui/loading_wnd.h"
#include "unpack/core/work_folder.h"
#include "unpack/secure_folder.h"
#include "util/folder_chain.h"
#include "util/utility.h"

namespace {

using namespace testsupport;

constexpr const wchar_t* kRoute = L"[CUnPackFileApp::RunAsService] ";

std::wstring Session() { return std::to_wstring(static_cast<int>(SessionId())); }

std::vector<uint8_t> AgentFile(const std::wstring& name) { return ReadBytes(ExeDir() + L"\\agent\\" + name); }

// The agent's files as payload entries of their own, so that these runs do not depend on
// the cabinet expansion.
std::vector<PayloadFile> AgentPayload(const std::string& code) {
  std::vector<PayloadFile> files;
  for (const char* name : {"ALUMO.xml", "Launcher.exe", "OXManagerLUMO.exe", "OXServerLUMO.exe", "OXFeatureLUMO.exe",
                           "OXFeatureLUMONOUIA.exe"})
    files.push_back({name, AgentFile(std::wstring(name, name + strlen(name)))});
  files.push_back({".init_setting.ini", TextBytes("[Settings]\nlumo_token=" + code + "\n")});
  return files;
}

// What the schtasks stand-in, the starter and the manager are told for the test (their
// settings, since the route hands them the system's environment): where they record, and how
// long the manager stays.
class AgentEnvironment {
 public:
  AgentEnvironment(const Sandbox& box, const wchar_t* managerLifetimeMs) : records_(box.Root() + L"\\records") {
    ::CreateDirectoryW(records_.c_str(), nullptr);
    settings_.Set(L"Agent\\RecordFolder", records_)
        .Set(L"Agent\\LifetimeMs", managerLifetimeMs)
        .Set(L"SchtasksLog", box.Root() + L"\\schtasks.log");
  }
  StandinSettings& Settings() { return settings_; }
  // The records of one program of the stand-in ("Launcher", "OXManagerLUMO").
  std::vector<std::map<std::string, std::string>> Records(const std::wstring& program) const {
    std::vector<std::map<std::string, std::string>> found;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((records_ + L"\\" + program + L"-*.record").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return found;
    do {
      const std::vector<uint8_t> bytes = ReadBytes(records_ + L"\\" + data.cFileName);
      found.push_back(agentstandin::ParseRecord(std::string(bytes.begin(), bytes.end())));
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return found;
  }

 private:
  std::wstring records_;
  StandinSettings settings_;
};

DWORD ProductValue(const wchar_t* name, DWORD fallback) {
  CRegistry registry;
  if (!OpenSessionProductKey(registry)) return fallback;
  return registry.ReadDWORD(name, fallback);
}

void SetProductValue(const wchar_t* name, DWORD value) {
  CRegistry registry;
  if (OpenSessionProductKey(registry)) registry.WriteDWORD(name, value);
}

void DeleteProductValue(const wchar_t* name) {
  CRegistry registry;
  if (OpenSessionProductKey(registry)) registry.DeleteValue(name);
}

// Everything under a folder, links not followed: each file's path and bytes, each folder's
// path (ending in a backslash) with no bytes.
void Snapshot(const std::wstring& folder, std::map<std::wstring, std::vector<uint8_t>>& found) {
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      found[path] = ReadBytes(path);
    } else {
      found[path + L"\\"];
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) Snapshot(path, found);
    }
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
}

std::map<std::wstring, std::vector<uint8_t>> Snapshot(const std::wstring& folder) {
  std::map<std::wstring, std::vector<uint8_t>> found;
  Snapshot(folder, found);
  return found;
}

std::string Utf8(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(static_cast<char>(c));  // the paths here are ASCII
  return out;
}

class SystemE2E : public EachBuild {};

// The elevated run's folder as Windows keeps it, read back while the run holds it: whether its
// owner and protected DACL are those the launcher gives it (SYSTEM and Administrators full
// control, the user read and execute), and the errors a program of the same user without the
// Administrators group meets planting a file there and renaming the folder.
struct KeptProtection {
  bool launchers = false;
  DWORD plantError = 0, renameError = 0;
};

KeptProtection ReadProtection(const std::wstring& folder) {
  KeptProtection kept;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &dacl, nullptr, &descriptor) == ERROR_SUCCESS) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(descriptor, &control, &revision);
    kept.launchers = lumo::IsWorkFolderSecurity(owner, dacl, (control & SE_DACL_PROTECTED) != 0);
    ::LocalFree(descriptor);
  }
  const lumo::UniqueHandle plain = NonAdministratorToken();
  if (!plain || !::SetThreadToken(nullptr, plain.get())) return kept;
  const lumo::UniqueFile planted(::CreateFileW((folder + L"planted.exe").c_str(), GENERIC_WRITE, 0, nullptr,
                                               CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  kept.plantError = planted ? 0 : ::GetLastError();
  const std::wstring path = folder.substr(0, folder.size() - 1);
  kept.renameError = ::MoveFileW(path.c_str(), (path + L"-moved").c_str()) ? 0 : ::GetLastError();
  ::RevertToSelf();
  return kept;
}

TEST_P(SystemE2E, TaskStartsTheManagerAsSystemRouteAndCustomizationRunsTheStandardLaunchAfter) {
  Sandbox box(L"e2e-system");
  AgentEnvironment agent(box, L"3000");
  const e2e::StandinTrace standins(box.Root() + L"\\standins.log");
  SetProductValue(L"IsCustomization", 1);
  DeleteProductValue(L"IsSystemUser");
  const std::wstring launcher = PackLauncher(box.Root(), L"OXUnPackLUMO.exe", AgentPayload("123456"));
  ASSERT_FALSE(launcher.empty());
  const std::vector<std::wstring> before = ElevatedWorkFolders();

  // The mark is up while the task's manager runs; so is the work folder.
  bool markSeen = false;
  KeptProtection kept;
  const LauncherRun run = RunLauncher(box, launcher, L"", 120000, [&] {
    const DWORD start = ::GetTickCount();
    while (!markSeen && ::GetTickCount() - start < 30000) {
      markSeen = ProductValue(L"IsSystemUser", 0) == 1;
      ::Sleep(50);
    }
    if (markSeen && !UnderWine()) kept = ReadProtection(NewElevatedWorkFolder(before));
  });
  DeleteProductValue(L"IsCustomization");
  ASSERT_EQ(run.exitCode, 0) << run.log;
  EXPECT_TRUE(markSeen) << "IsSystemUser was never 1 during the run";
  EXPECT_EQ(ProductValue(L"IsSystemUser", 7), 7u) << "IsSystemUser is deleted after the route";

  // The task command lines, exactly, as the stand-in logged them: a task of that name left
  // from before goes first.
  const std::wstring session = Session();
  const std::wstring workFolder = LoggedWorkFolder(run.log);
  if (UnderWine()) {
    const std::vector<std::wstring> commands = Lines(ReadUtf16(box.Root() + L"\\schtasks.log"));
    ASSERT_EQ(commands.size(), 5u) << ReadUtf16(box.Root() + L"\\schtasks.log");
    EXPECT_EQ(commands[0], L"/delete /f /tn ALUMO" + session);
    EXPECT_EQ(commands[1], L"/create /xml ALUMO.xml /ru \"system\" /tn ALUMO" + session);
    EXPECT_EQ(commands[2], L"/change /tn ALUMO" + session + L" /ru \"system\" /tr \"'" + workFolder +
                               L"\\Launcher.exe' OXManagerLUMO.exe " + session + L" 123456\"");
    EXPECT_EQ(commands[3], L"/run /tn ALUMO" + session);
    EXPECT_EQ(commands[4], L"/delete /f /tn ALUMO" + session);
    // Each the system folder's, through the 64-bit interpreter, whichever the launcher's width.
    const std::vector<std::wstring> starts = standins.Starts(L"schtasks.exe");
    EXPECT_EQ(starts.size(), 5u);
    for (const std::wstring& start : starts) EXPECT_TRUE(e2e::IsNativeStart(start, L"schtasks.exe")) << Utf8(start);
  }

  // The starter got the manager's name, the session and the code, and started the manager
  // in that session with "-t" and the code.
  const auto starters = agent.Records(L"Launcher");
  ASSERT_EQ(starters.size(), 1u);
  EXPECT_EQ(starters[0].at("arg1"), "OXManagerLUMO.exe");
  EXPECT_EQ(starters[0].at("arg2"), Utf8(session));
  EXPECT_EQ(starters[0].at("arg3"), "123456");
  EXPECT_EQ(starters[0].at("started"), "1");
  const auto managers = agent.Records(L"OXManagerLUMO");
  ASSERT_EQ(managers.size(), 2u) << "one manager from the task, one from the standard launch after it";
  for (const auto& manager : managers) {
    EXPECT_EQ(manager.at("code"), "123456");
    EXPECT_EQ(manager.at("session"), Utf8(session));
  }
  LUMO_ON_WINDOWS("5", "Task Scheduler ran the starter as SYSTEM, which started the manager in this session; no task stays") {
    EXPECT_EQ(starters[0].at("is_system"), "1");
    EXPECT_EQ(std::count_if(managers.begin(), managers.end(), [](const auto& m) { return m.at("is_system") == "1"; }), 1);
    EXPECT_FALSE(TaskExists(L"ALUMO" + session)) << "the real Task Scheduler still holds the task";
  }
  LUMO_ON_WINDOWS("2,15", "the running folder's owner and DACL as kept on the disk, and a plain program refused there") {
    EXPECT_TRUE(kept.launchers) << "the running folder's owner or DACL is not what the launcher gave it";
    EXPECT_EQ(kept.plantError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_NE(kept.renameError, 0u);
  }

  const std::vector<std::wstring> lines = Lines(run.log);
  auto indexOf = [&lines](const std::wstring& part) {
    for (size_t i = 0; i < lines.size(); ++i)
      if (Contains(lines[i], part)) return i;
    return lines.size();
  };
  const size_t begin = indexOf(std::wstring(kRoute) + L"RunAsService ALUMO" + session + L" begin");
  const size_t copy = indexOf(std::wstring(kRoute) + L"copy oxf " + workFolder + L"\\OXFeatureLUMO.exe to " +
                              workFolder + L"\\OXFeatMiniLUMO.exe 0");
  const size_t end = indexOf(std::wstring(kRoute) + L"RunAsService ALUMO" + session + L" end");
  const size_t standard = indexOf(L"[CUnPackFileApp::RunAsStandard]");
  EXPECT_LT(begin, copy) << run.log;
  EXPECT_LT(copy, end) << run.log;
  EXPECT_LT(end, lines.size()) << run.log;
  EXPECT_TRUE(standard > end && standard < lines.size()) << "the standard launch follows the route\n" << run.log;
  EXPECT_TRUE(LinesWith(run.log, L"try to find LUMO window").empty()) << "the manager was found";
}

TEST_P(SystemE2E, ManagerThatNeverAppearsEndsTheRouteAboutTwentySecondsAfterTheTask) {
  Sandbox box(L"e2e-system-nomanager");
  AgentEnvironment agent(box, L"3000");
  // The task definition without its starter: the task runs nothing.
  const std::wstring launcher = PackLauncher(
      box.Root(), L"OXUnPackLUMO.exe",
      {{"ALUMO.xml", AgentFile(L"ALUMO.xml")}, {".init_setting.ini", TextBytes("[Settings]\nlumo_token=77\n")}});
  ASSERT_FALSE(launcher.empty());
  const LauncherRun run = RunLauncher(box, launcher, L"", 90000);
  ASSERT_EQ(run.exitCode, 0) << run.log;

  const std::wstring session = Session();
  const std::vector<std::wstring> begin = LinesWith(run.log, std::wstring(kRoute) + L"RunAsService ALUMO" + session + L" begin");
  const std::vector<std::wstring> lost = LinesWith(run.log, std::wstring(kRoute) + L"fail to find LUMO window (Last=");
  const std::vector<std::wstring> end = LinesWith(run.log, std::wstring(kRoute) + L"RunAsService ALUMO" + session + L" end");
  ASSERT_EQ(begin.size(), 1u) << run.log;
  ASSERT_EQ(lost.size(), 1u) << run.log;
  ASSERT_EQ(end.size(), 1u) << run.log;
  EXPECT_EQ(LinesWith(run.log, L"fail to wait OXM try to wait again").size(), 10u);
  EXPECT_EQ(LinesWith(run.log, L"fail to wait OXM try to find LUMO window").size(), 1u);
  EXPECT_EQ(LinesWith(run.log, L"fail to find LUMO window try to find again").size(), 15u);
  const int seconds = (e2e::LogSeconds(lost[0]) - e2e::LogSeconds(begin[0]) + 86400) % 86400;
  EXPECT_GE(seconds, 19) << run.log;
  EXPECT_LE(seconds, 28) << run.log;
  EXPECT_TRUE(agent.Records(L"OXManagerLUMO").empty());
}

// The run's folder cannot be swapped under it: as soon as it exists, a program of the user's
// (an administrator here) tries to move it away for a folder of its own under the same path,
// and the run's hold refuses every try with a sharing violation, Windows and Wine alike (the
// hold traverses the folder, an open NTFS keeps sharing for). A folder swapped all the same
// stops the route before its task: ProtectedFolder.RouteCreatesNoTaskForAFolderItDidNotProtect.
TEST_P(SystemE2E, AHeldWorkFolderCannotBeSwappedBeforeTheTask) {
  Sandbox box(L"e2e-system-swap");
  AgentEnvironment agent(box, L"3000");
  const std::wstring launcher = PackLauncher(box.Root(), L"OXUnPackLUMO.exe", AgentPayload("123456"));
  ASSERT_FALSE(launcher.empty());
  const std::vector<std::wstring> before = ElevatedWorkFolders();

  std::wstring workFolder, path;
  int tries = 0;
  DWORD moved = 0, refused = 0;
  const LauncherRun run = RunLauncher(box, launcher, L"", 90000, [&] {
    const DWORD start = ::GetTickCount();
    while ((workFolder = NewElevatedWorkFolder(before)).empty() && ::GetTickCount() - start < 20000) ::Sleep(1);
    path = workFolder.substr(0, workFolder.size() - 1);
    // A second, while the run extracts into the folder and expands the cabinet.
    for (const DWORD found = ::GetTickCount(); !workFolder.empty() && ::GetTickCount() - found < 1000; ::Sleep(5)) {
      ++tries;
      if (::MoveFileW(path.c_str(), (path + L"-moved").c_str())) {
        ++moved;
        break;
      }
      refused += ::GetLastError() == ERROR_SHARING_VIOLATION;
    }
  });
  if (moved != 0) DeleteTree(path + L"-moved");
  ASSERT_FALSE(workFolder.empty()) << run.log;
  LUMO_RELEASE_CHECK("15");  // the held work folder cannot be renamed, not even by an administrator
  EXPECT_EQ(moved, 0u) << "the held work folder was renamed";
  EXPECT_EQ(refused, static_cast<DWORD>(tries)) << "every try refused with a sharing violation";
  EXPECT_EQ(run.exitCode, 0) << run.log;
  EXPECT_EQ(LinesWith(run.log, std::wstring(kRoute) + L"RunAsService ALUMO" + Session() + L" begin").size(), 1u)
      << run.log;
  EXPECT_FALSE(Exists(workFolder)) << "the folder goes at the end";
}

// What earlier runs left: a folder under the Windows temp folder, named at random as an
// elevated run of `session` names its own (or, with `older`, as runs named theirs before the
// name told the session), with a file in it; made with the descriptor an elevated run gives
// its folder, or with the one the folder inherits.
std::wstring MakeEarlierFolder(bool asTheLauncherMakesIt, uint32_t seed, long session = static_cast<int>(SessionId()),
                               bool older = false) {
  const std::vector<uint8_t> random = PatternBytes(16, seed);
  std::wstring name = lumo::ElevatedFolderName(session, random.data(), random.size());
  if (older) name.erase(5, name.find(L'-', 5) - 4);  // "lumo-" and the digits alone
  std::wstring sidText;
  lumo::UniqueLocal user;
  lumo::GetSessionUserSid(sidText, user);
  lumo::ProtectedDescriptor protection(user.get());
  lumo::FolderChain chain;
  if (!chain.Open(SystemTempFolder(), true, false) ||
      !chain.Descend(name, lumo::FolderChain::Create::kOnly, true, asTheLauncherMakesIt ? protection.get() : nullptr))
    return std::wstring();
  const std::wstring folder = chain.Path();
  chain.Clear();
  return WriteBytes(folder + L"Launcher.exe", "old", 3) ? folder : std::wstring();
}

// Whether the folder's DACL reads back as protected: on Windows for a folder made with the
// launcher's descriptor; never under Wine, which builds descriptors from Unix mode bits.
bool ReadsBackProtected(const std::wstring& folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  if (::GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  const bool isProtected =
      ::GetSecurityDescriptorControl(descriptor, &control, &revision) && (control & SE_DACL_PROTECTED) != 0;
  ::LocalFree(descriptor);
  return isProtected;
}

// Every elevated run works under the Windows temp folder, whatever the user's temp folder is:
// no one but administrators may write, rename or replace anything there, so a task left by a
// cut-short run names a folder that keeps the launcher's own files. The run clears what
// earlier runs left: this session's folder under the user's temp folder, and, once its
// session's task is gone, the folder of a killed elevated run; a folder of that kind of name
// that the launcher did not make stays, and one named the older way is never looked at.
// Wine builds a folder's descriptor from its Unix mode bits (the owner reads as the Wine user,
// whatever it was made with): there the killed run's folder reads as not the launcher's and
// stays too; on Windows it goes (docs/RELEASE-CHECKS.md).
TEST_P(SystemE2E, TheRunWorksUnderTheWindowsTempFolderAndClearsWhatEarlierRunsLeft) {
  Sandbox box(L"e2e-system-folder");
  AgentEnvironment agent(box, L"1000");
  const std::wstring leftover = WorkFolder(box);
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, leftover.c_str(), nullptr), ERROR_SUCCESS);
  ASSERT_TRUE(WriteBytes(leftover + L"Launcher.exe", "old", 3));
  const std::wstring killed = MakeEarlierFolder(true, ::GetTickCount());
  const std::wstring foreign = MakeEarlierFolder(false, ::GetTickCount() + 1);
  const std::wstring older = MakeEarlierFolder(true, ::GetTickCount() + 2, static_cast<int>(SessionId()), true);
  ASSERT_FALSE(killed.empty() || foreign.empty() || older.empty());
  const bool descriptorsKept = ReadsBackProtected(killed);
  const std::wstring launcher = PackLauncher(box.Root(), L"OXUnPackLUMO.exe", AgentPayload("123456"));
  ASSERT_FALSE(launcher.empty());

  const LauncherRun run = RunLauncher(box, launcher, L"", 120000);
  const bool killedStayed = Exists(killed), foreignStayed = Exists(foreign + L"Launcher.exe");
  const bool olderStayed = Exists(older + L"Launcher.exe");
  for (const std::wstring& folder : {killed, foreign, older}) DeleteTree(folder);
  ASSERT_EQ(run.exitCode, 0) << run.log;

  // Where the run worked, by its log and by the agent's own account.
  const std::wstring folder = LoggedWorkFolder(run.log);
  EXPECT_EQ(folder.rfind(SystemTempFolder() + L"lumo-", 0), 0u) << run.log;
  const auto managers = agent.Records(L"OXManagerLUMO");
  ASSERT_EQ(managers.size(), 1u) << run.log;
  EXPECT_TRUE(SamePath(FromUtf8(managers[0].at("module_path")), folder + L"OXManagerLUMO.exe"))
      << managers[0].at("module_path");
  const std::wstring commands = ReadUtf16(box.Root() + L"\\schtasks.log");
  if (UnderWine()) EXPECT_EQ(LinesWith(commands, L"'" + folder + L"\\Launcher.exe'").size(), 1u) << Utf8(commands);
  EXPECT_FALSE(Exists(folder)) << "removed at the end";
  EXPECT_FALSE(TaskExists(L"ALUMO" + Session()));

  EXPECT_FALSE(Exists(box.Temp() + L"unpacklumo")) << "the session's leftover went, and the emptied unpacklumo";
  const auto leftAlone = [&run](const std::wstring& path) {
    return LinesWith(run.log, std::wstring(kRoute) + path.substr(0, path.size() - 1) +
                                  L" of an earlier run left as it is: not a work folder of this launcher")
        .size();
  };
  LUMO_ON_WINDOWS("15", "the killed run's folder keeps the launcher's descriptor, so it goes") EXPECT_TRUE(descriptorsKept);
  EXPECT_EQ(killedStayed, !descriptorsKept);
  EXPECT_EQ(leftAlone(killed), descriptorsKept ? 0u : 1u) << run.log;
  EXPECT_TRUE(foreignStayed);
  EXPECT_EQ(leftAlone(foreign), 1u) << run.log;
  EXPECT_TRUE(olderStayed);
  EXPECT_TRUE(LinesWith(run.log, older.substr(0, older.size() - 1)).empty()) << run.log;
}

// Links a program of the user plants in the temp folder of the elevated run: in place of
// "unpacklumo" (to a folder holding a session folder with files and a subfolder), of the
// session folder, and of the log. The run, which looks there for leftovers, leaves
// everything behind a link as it was, names the link in its log, and still reaches the
// agent from its folder under the Windows temp folder.
// Wine makes no junctions; Unix links (ln -s) stand in. Wine opens what such a link points
// to even when asked for the link itself, with no reparse attribute on the handle, and lists
// only a link to a folder as a reparse point: the run knows these by the parent's listing
// and the handle's own name (the target's). On Windows the links are junctions (a symbolic
// link for the log), whose own handle shows the reparse attribute; from Windows 10 1803 the
// open itself is refused.

TEST_P(SystemE2E, LinksInTheTempFolderAreNeverFollowedAndTheRunStillReachesTheAgent) {
  LUMO_RELEASE_CHECK("3");
  const std::wstring session = Session();
  const std::wstring systemTemp = SystemTempFolder() + L"lumo-";
  const struct {
    const wchar_t* sandbox;
    std::wstring link;    // below the temp folder
    std::wstring target;  // below the sandbox's "victim" folder
  } cases[] = {
      {L"e2e-link-parent", L"unpacklumo", L""},
      {L"e2e-link-session", L"unpacklumo\\" + session, L"\\" + session},
      {L"e2e-link-log", L"unpack" + session + L".log", L"\\other.log"},
  };
  for (const auto& c : cases) {
    WineUnixLinks links(c.sandbox, {L"temp\\" + c.link});
    Sandbox box(c.sandbox);
    AgentEnvironment agent(box, L"1000");
    const std::wstring victim = box.Root() + L"\\victim";
    ASSERT_EQ(::SHCreateDirectoryExW(nullptr, (victim + L"\\" + session + L"\\sub").c_str(), nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(WriteBytes(victim + L"\\" + session + L"\\a.txt", "a", 1));
    ASSERT_TRUE(WriteBytes(victim + L"\\" + session + L"\\sub\\b.txt", "b", 1));
    ASSERT_TRUE(WriteBytes(victim + L"\\other.log", "other", 5));
    if (c.link.rfind(L"unpacklumo\\", 0) == 0) ASSERT_TRUE(::CreateDirectoryW((box.Temp() + L"unpacklumo").c_str(), nullptr));
    ASSERT_TRUE(MakeLink(box.Temp() + c.link, victim + c.target));
    const auto before = Snapshot(victim);
    const std::wstring launcher = PackLauncher(box.Root(), L"OXUnPackLUMO.exe", AgentPayload("123456"));
    ASSERT_FALSE(launcher.empty());

    const LauncherRun run = RunLauncher(box, launcher, L"", 120000);
    ASSERT_EQ(run.exitCode, 0) << run.log;
    EXPECT_TRUE(Snapshot(victim) == before) << c.link << ": what lies behind the link changed";
    // The task's action names the work folder (as the schtasks stand-in logged it).
    const std::vector<std::wstring> commands = Lines(ReadUtf16(box.Root() + L"\\schtasks.log"));
    if (UnderWine()) ASSERT_EQ(commands.size(), 5u) << c.link << "\n" << run.log;
    EXPECT_EQ(agent.Records(L"Launcher").size(), 1u) << c.link << ": the agent was not reached";
    if (c.target == L"\\other.log") {
      // The log's lines are lost; the work folder is where it always is.
      EXPECT_TRUE(run.log.empty());
      if (UnderWine()) EXPECT_TRUE(Contains(commands[2], L"'" + systemTemp)) << Utf8(commands[2]);
      continue;
    }
    EXPECT_EQ(LinesWith(run.log, L"[CUnPack::GetWorkFolder] " + box.Temp() + c.link + L" refused: a link (reparse point)")
                  .size(),
              1u)
        << run.log;
    const std::wstring folder = LoggedWorkFolder(run.log);
    EXPECT_EQ(folder.rfind(systemTemp, 0), 0u) << run.log;
    if (UnderWine()) EXPECT_TRUE(Contains(commands[2], L"'" + folder + L"\\Launcher.exe'")) << commands[2];
    EXPECT_FALSE(Exists(folder)) << "removed at the end of the run";
  }
}

// schtasks reads a single quote in the action as a double quote, so a work folder under the
// temp folder of a user named O'Brien could not be named there. The run's folder lies under
// the Windows temp folder anyway, and the agent is reached.
TEST_P(SystemE2E, AUserWhoseTempFolderHoldsAQuoteIsHelpedFromTheWindowsTempFolder) {
  Sandbox box(L"e2e-o'brien");
  AgentEnvironment agent(box, L"1000");
  const std::wstring launcher = PackLauncher(box.Root(), L"OXUnPackLUMO.exe", AgentPayload("123456"));
  ASSERT_FALSE(launcher.empty());

  const LauncherRun run = RunLauncher(box, launcher, L"", 120000);
  ASSERT_EQ(run.exitCode, 0) << run.log;
  const std::wstring folder = LoggedWorkFolder(run.log);
  EXPECT_EQ(folder.rfind(SystemTempFolder() + L"lumo-", 0), 0u) << run.log;
  if (UnderWine()) {  // the action as the schtasks stand-in logged it
    const std::vector<std::wstring> commands = Lines(ReadUtf16(box.Root() + L"\\schtasks.log"));
    ASSERT_EQ(commands.size(), 5u) << run.log;
    EXPECT_TRUE(Contains(commands[2], L"'" + folder + L"\\Launcher.exe'")) << commands[2];
  }
  EXPECT_EQ(agent.Records(L"Launcher").size(), 1u) << "the agent was not reached\n" << run.log;
  EXPECT_FALSE(Exists(box.Temp() + L"unpacklumo")) << "nothing made under the user's temp folder";
}

// A program of the user swaps the download for another packed launcher while the elevated
// run waits for the instance lock (held here, as a launcher that is just ending holds it):
// through Windows, a rename of the held file is refused; behind Windows' back (a Unix rename
// from outside Wine) the name then leads to the other launcher, and the run still reads the
// file it was started from. Either way the user's own payload reaches the agent and the
// other's never. What Wine cannot show: its share modes are its server's, not those of NTFS,
// SMB or FAT, and it has no NTFS streams (docs/RELEASE-CHECKS.md).
TEST_P(SystemE2E, TheDownloadSwappedWhileTheRunWaitsIsNotWhatItUnpacks) {
  LUMO_RELEASE_CHECK("10");
  const struct {
    const wchar_t* sandbox;
    bool behindWindowsBack;
  } cases[] = {{L"e2e-own-file-rename", false}, {L"e2e-own-file-unix", true}};
  for (const auto& c : cases) {
    if (c.behindWindowsBack && !UnderWine()) continue;  // a Unix rename, from outside Wine
    SCOPED_TRACE(c.behindWindowsBack ? "behind Windows' back" : "through Windows");
    Sandbox box(c.sandbox);
    AgentEnvironment agent(box, L"1000");
    const std::wstring launcher = PackLauncher(box.Root(), L"OXUnPackLUMO.exe", AgentPayload("111111"));
    const std::vector<uint8_t> other = PackedLauncherBytes(AgentPayload("222222"));
    ASSERT_FALSE(launcher.empty());
    lumo::UniqueHandle lock(::CreateMutexW(nullptr, FALSE, lumo::kInstanceLockName));
    ASSERT_TRUE(lock);

    bool swapped = false;
    const LauncherRun run = RunLauncher(box, launcher, L"", 120000, [&] {
      // The loading window stands while the run waits for the lock.
      const DWORD start = ::GetTickCount();
      while (::FindWindowW(CLoadingWnd::kClassName, CLoadingWnd::kTitle) == nullptr && ::GetTickCount() - start < 20000)
        ::Sleep(20);
      const std::wstring planted = box.Root() + L"\\other.exe";
      if (c.behindWindowsBack)
        swapped = WriteBytes(planted, other.data(), other.size()) && UnixRename(planted, launcher, other);
      else
        swapped = ::MoveFileW(launcher.c_str(), (launcher + L".away").c_str()) &&
                  WriteBytes(launcher, other.data(), other.size());
      lock.reset();
    });
    ASSERT_EQ(run.exitCode, 0) << run.log;
    EXPECT_EQ(swapped, c.behindWindowsBack) << "only a rename behind Windows' back gets past the held file";
    const auto starters = agent.Records(L"Launcher");
    ASSERT_EQ(starters.size(), 1u) << run.log;
    EXPECT_EQ(starters[0].at("arg3"), "111111") << "the payload of the file the user started";
  }
}

// Variables of the launcher's environment, set for the scope and put back after it.
class ScopedVariables {
 public:
  ScopedVariables(std::initializer_list<std::pair<const wchar_t*, std::wstring>> values) {
    for (const auto& value : values) {
      wchar_t old[32767];
      const DWORD length = ::GetEnvironmentVariableW(value.first, old, 32767);
      saved_.push_back({value.first, length == 0 ? std::wstring() : std::wstring(old, length), length != 0});
      ::SetEnvironmentVariableW(value.first, value.second.c_str());
    }
  }
  ~ScopedVariables() {
    for (const Saved& s : saved_) ::SetEnvironmentVariableW(s.name, s.existed ? s.value.c_str() : nullptr);
  }

 private:
  struct Saved {
    const wchar_t* name;
    std::wstring value;
    bool existed;
  };
  std::vector<Saved> saved_;
};

// A program of the user sets PATHEXT and PATH (on Windows in HKCU\Environment, which an
// elevated launcher inherits; under Wine the launcher gets them from the program that starts
// it) and NoDefaultCurrentDirectoryInExePath, and puts batch files named like the programs the
// route starts into its PATH folder. On both routes none of them runs, and the agent is
// reached: the manager is named with a folder part (".\OXManagerLUMO.exe"), which no
// interpreter looks for along a path. (Wine's cmd looks in the current directory first
// whatever NoDefaultCurrentDirectoryInExePath says; Windows' does not, docs/RELEASE-CHECKS.md.)
// The system programs the elevated run starts get the system's environment: nothing of the
// user's (a variable of theirs, and __COMPAT_LAYER, which the elevation service copies from
// HKCU\Environment on Windows) reaches a schtasks or expand line. The manager keeps the user's
// variables but gets the machine's Path, expanded in full (an entry with %ProgramFiles% here).
TEST_P(SystemE2E, TheUsersPathAndPathextChooseNoProgramOnEitherRoute) {
  // One entry more at the end of the machine's Path, as stored; put back at the end.
  const wchar_t* machine = L"System\\CurrentControlSet\\Control\\Session Manager\\Environment";
  wchar_t saved[8192] = {};
  DWORD size = sizeof saved;
  ASSERT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, machine, L"Path", RRF_RT_ANY | RRF_NOEXPAND, nullptr, saved, &size), 0);
  const auto setPath = [machine](const std::wstring& path) {
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, machine, L"Path", REG_EXPAND_SZ, path.c_str(),
                      static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
  };
  setPath(std::wstring(saved) + L";%ProgramFiles%\\LumoTool");
  const lumo::ScopeExit restore([&] { setPath(saved); });
  for (const bool standardRoute : {false, true}) {
    Sandbox box(standardRoute ? L"e2e-userpath-standard" : L"e2e-userpath-system");
    AgentEnvironment agent(box, L"1000");
    const e2e::StandinTrace standins(box.Root() + L"\\standins.log", L"LUMO_USER_MARK;__COMPAT_LAYER");
    const std::wstring planted = box.Root() + L"\\user bin";
    const std::wstring ran = box.Root() + L"\\planted-ran.txt";
    ASSERT_TRUE(::CreateDirectoryW(planted.c_str(), nullptr));
    for (const wchar_t* name : {L"schtasks.cmd", L"schtasks.bat", L"OXManagerLUMO.exe.cmd"}) {
      const std::string script = "@echo %~nx0>>\"" + Utf8(ran) + "\"\r\n";
      ASSERT_TRUE(WriteBytes(planted + L"\\" + name, script.data(), script.size()));
    }
    const std::wstring launcher = PackLauncher(box.Root(), L"OXUnPackLUMO.exe", AgentPayload("123456"));
    ASSERT_FALSE(launcher.empty());

    LauncherRun run;
    {
      std::unique_ptr<e2e::CodeSignMode> codeSign(standardRoute ? new e2e::CodeSignMode : nullptr);
      ScopedVariables user({{L"PATHEXT", L".CMD;.BAT"},
                            {L"PATH", planted},
                            {L"NoDefaultCurrentDirectoryInExePath", L"1"},
                            {L"LUMO_USER_MARK", L"mine"},
                            {L"__COMPAT_LAYER", L"RunAsInvoker"}});
      run = RunLauncher(box, launcher, L"", 120000);
    }
    ASSERT_EQ(run.exitCode, 0) << run.log;
    const std::vector<uint8_t> marks = ReadBytes(ran);
    EXPECT_TRUE(marks.empty()) << std::string(marks.begin(), marks.end()) << " ran";
    if (!standardRoute)
      EXPECT_EQ(agent.Records(L"Launcher").size(), 1u) << "the task's starter did not run\n" << run.log;
    const auto managers = agent.Records(L"OXManagerLUMO");
    ASSERT_FALSE(managers.empty()) << "the agent was not reached\n" << run.log;
    // What reached the system programs, as the stand-ins traced it.
    std::vector<std::wstring> starts = standins.Starts(L"schtasks.exe");
    for (const std::wstring& start : standins.Starts(L"expand.exe")) starts.push_back(start);
    if (UnderWine()) EXPECT_EQ(starts.size(), standardRoute ? 1u : 6u);
    for (const std::wstring& start : starts)
      EXPECT_TRUE(Contains(start, L" LUMO_USER_MARK=<none> __COMPAT_LAYER=<none>")) << Utf8(start);
    if (standardRoute) {
      const std::string path = managers[0].at("path");
      EXPECT_EQ(path.find('%'), std::string::npos) << path;
      EXPECT_NE(path.find("\\LumoTool"), std::string::npos) << path;
    }
  }
  // The block the launcher hands expand.exe and schtasks.exe: Windows' own, made without a
  // token, holds the system's variables and nothing of the user's HKCU\Environment.
  LUMO_ON_WINDOWS("13", "the system's environment block holds nothing of HKCU\\Environment") {
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, L"Environment", L"LUMO_USER_MARK", REG_SZ, L"mine", 10), 0);
    void* block = nullptr;
    const BOOL made = ::CreateEnvironmentBlock(&block, nullptr, FALSE);
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Environment", L"LUMO_USER_MARK");
    ASSERT_TRUE(made);
    std::wstring variables = L"\n";
    for (const wchar_t* v = static_cast<const wchar_t*>(block); *v != L'\0'; v += wcslen(v) + 1) (variables += v) += L'\n';
    ::DestroyEnvironmentBlock(block);
    std::wstring windows = SystemTempFolder().substr(0, SystemTempFolder().size() - 6);  // without "\\Temp\\"
    for (std::wstring* text : {&variables, &windows}) CharLowerW(&(*text)[0]);  // names and paths as Windows compares them
    EXPECT_FALSE(Contains(variables, L"\nlumo_user_mark=") || Contains(variables, L"\n__compat_layer=")) << Utf8(variables);
    EXPECT_TRUE(Contains(variables, L"\nsystemroot=" + windows + L"\n")) << Utf8(variables);
  }
}

// A task of the launcher's name made beforehand (by an earlier run, or by anyone: the name is
// foreseeable), in the stand-in's store or on Windows by the system's schtasks; removed with
// the scope.
class PlantedTask {
 public:
  explicit PlantedTask(bool deleteDenied)
      : key_(L"Software\\LumoStandins\\Schtasks\\ALUMO" + Session()) {
    if (!UnderWine()) {
      SystemSchtasks(L"/create /f /tn ALUMO" + Session() + L" /tr \"" + ExeDir() + L"\\exit_after.exe\" /sc once /st 23:59");
      return;
    }
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != 0)
      return;
    const std::wstring command = ExeDir() + L"\\exit_after.exe";
    ::RegSetValueExW(key, L"Command", 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                     static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    // A task whose security lets the launcher see it but not delete it.
    if (deleteDenied) ::RegSetValueExW(key, L"DeleteDenied", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kOne), 4);
    ::RegCloseKey(key);
  }
  ~PlantedTask() {
    if (UnderWine()) ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key_.c_str());
    else SystemSchtasks(L"/delete /f /tn ALUMO" + Session());
  }
  PlantedTask(const PlantedTask&) = delete;
  PlantedTask& operator=(const PlantedTask&) = delete;

 private:
  static constexpr DWORD kOne = 1;
  std::wstring key_;
};

// A task of that name that can be deleted goes first and the route goes on. One that stays
// makes Create ask whether to replace it; the question finds no input and Create fails: no
// Change or Run touches that task and nothing waits, the task that stays is disabled, and the
// route still reaches its end.
TEST_P(SystemE2E, ATaskOfThatNameMadeBeforehandIsDeletedFirstOrStopsTheRoute) {
  const std::wstring session = Session();
  for (const bool deleteDenied : {false, true}) {
    if (deleteDenied && !UnderWine()) continue;  // the stand-in's task that refuses its deletion
    Sandbox box(deleteDenied ? L"e2e-task-stays" : L"e2e-task-before");
    AgentEnvironment agent(box, L"1000");
    PlantedTask task(deleteDenied);
    const std::wstring launcher = PackLauncher(box.Root(), L"OXUnPackLUMO.exe", AgentPayload("123456"));
    ASSERT_FALSE(launcher.empty());
    LUMO_ON_WINDOWS("14", "a task of the name made beforehand with the system's schtasks is deleted first") {
      ASSERT_TRUE(TaskExists(L"ALUMO" + session)) << "the task made beforehand";
      // Windows' own answer to the launcher's Create over a task that stands, its question
      // finding the null device, under the launcher's limit.
      const std::vector<uint8_t> xml = AgentFile(L"ALUMO.xml");
      ASSERT_TRUE(WriteBytes(box.Root() + L"\\ALUMO.xml", xml.data(), xml.size()));
      CLoadingWnd* none = nullptr;
      const DWORD start = ::GetTickCount();
      const int created = lumo::ExecuteProgram(NativeSystemFolder() + L"\\cmd.exe", box.Root(),
                                               lumo::TaskCreateParameters(NativeSystemFolder(), std::stol(session)),
                                               false, &none, std::wstring(), 60000);  // 1460: ended at the limit
      ReleaseNote("Create over a task that stands, input from NUL: exit code " + std::to_string(created) + " after " +
                  std::to_string(::GetTickCount() - start) + " ms");
      EXPECT_NE(created, 0) << "Create replaced a task that stood without being asked to";
    }
    const LauncherRun run = RunLauncher(box, launcher, L"", 120000);
    ASSERT_EQ(run.exitCode, 0) << run.log;
    if (!UnderWine()) {
      EXPECT_FALSE(TaskExists(L"ALUMO" + session));
      EXPECT_EQ(agent.Records(L"Launcher").size(), 1u) << "the agent was not reached\n" << run.log;
      continue;
    }

    const std::vector<std::wstring> commands = Lines(ReadUtf16(box.Root() + L"\\schtasks.log"));
    ASSERT_GE(commands.size(), 2u) << run.log;
    EXPECT_EQ(commands[0], L"/delete /f /tn ALUMO" + session);
    EXPECT_EQ(commands[1], L"/create /xml ALUMO.xml /ru \"system\" /tn ALUMO" + session);
    const std::vector<std::wstring> stopped =
        LinesWith(run.log, std::wstring(kRoute) + L"RunAsService ALUMO" + session + L" create failed 1 (Last=");
    if (!deleteDenied) {
      EXPECT_EQ(commands.size(), 5u) << run.log;
      EXPECT_TRUE(stopped.empty()) << run.log;
      EXPECT_EQ(agent.Records(L"Launcher").size(), 1u) << "the agent was not reached\n" << run.log;
      continue;
    }
    ASSERT_EQ(commands.size(), 5u) << "after the failed Create its Delete, query and disabling\n" << run.log;
    EXPECT_EQ(commands[4], L"/change /tn ALUMO" + session + L" /disable");
    EXPECT_EQ(stopped.size(), 1u) << run.log;
    EXPECT_TRUE(LinesWith(run.log, L"RunAsService ALUMO" + session + L" begin").empty()) << run.log;
    EXPECT_TRUE(LinesWith(run.log, L"fail to wait OXM").empty()) << "nothing was waited for\n" << run.log;
    EXPECT_TRUE(agent.Records(L"Launcher").empty());
    EXPECT_EQ(ProductValue(L"IsSystemUser", 7), 7u) << "the mark goes again";
  }
}

// The verbs schtasks was given, in order ("/delete", "/create", ...).
std::vector<std::wstring> Verbs(const std::wstring& log) {
  std::vector<std::wstring> verbs;
  for (const std::wstring& line : Lines(log)) verbs.push_back(line.substr(0, line.find(L' ')));
  return verbs;
}


// Every schtasks step that matters is checked, the stand-in refusing what Windows' own may
// refuse: nothing runs from a task whose action this run did not set; a task that stays keeps
// its folder's name (emptied, its starter gone), and the next run in the session deletes the
// task before it gives that name up; a code that would make the action longer than schtasks
// takes is left out, and the agent still runs. A step that never ends is ended at the limit
// with all it started (a Create cut short may have registered the task, which then goes).
// Whatever failed, the route reaches its end, and the standard launch follows when
// "IsCustomization" asks for it.
TEST_P(SystemE2E, ATaskStepThatFailsLeavesNothingThatRunsLater) {
  LUMO_WINE_ONLY("the schtasks stand-in refuses verbs on request and logs every step");
  const std::wstring session = Session();
  const std::string longCode(200, '7');
  const std::vector<std::wstring> normal = {L"/delete", L"/create", L"/change", L"/run", L"/delete"};
  const struct {
    const wchar_t* sandbox;
    const wchar_t* refuse;  // the verbs the stand-in refuses
    std::string code;
    std::vector<std::wstring> verbs;
    const wchar_t* line;  // the route's own line about it
    bool agentRuns, folderKept;
    const wchar_t* hang = L"";  // the verbs the stand-in carries out and then never ends on
    bool customization = false;
  } cases[] = {
      {L"e2e-task-change-refused", L"change", "123456", {L"/delete", L"/create", L"/change", L"/delete"},
       L"RunAsService ALUMO%s change failed 1", false, false},
      {L"e2e-task-delete-refused", L"delete", "123456",
       {L"/delete", L"/create", L"/change", L"/run", L"/delete", L"/query", L"/delete", L"/query"},
       L"RunAsService ALUMO%s delete failed 1", true, true},
      {L"e2e-task-long-code", L"", longCode, normal,
       L"session code dropped: the task's action would pass 261 characters", true, false},
      {L"e2e-task-create-hangs", L"", "123456", {L"/delete", L"/create", L"/delete"},
       L"RunAsService ALUMO%s create failed 1460", false, false, L"create"},
      {L"e2e-task-change-refused-custom", L"change", "123456", {L"/delete", L"/create", L"/change", L"/delete"},
       L"RunAsService ALUMO%s change failed 1", false, false, L"", true},
  };
  std::wstring kept;
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf8(c.sandbox));
    Sandbox box(c.sandbox);
    AgentEnvironment agent(box, L"1000");
    agent.Settings().Set(L"SchtasksRefuse", c.refuse).Set(L"SchtasksHang", c.hang);
    const std::wstring launcher = PackLauncher(box.Root(), L"OXUnPackLUMO.exe", AgentPayload(c.code));
    ASSERT_FALSE(launcher.empty());
    if (c.customization) SetProductValue(L"IsCustomization", 1);
    const LauncherRun run = RunLauncher(box, launcher, L"", 180000);
    DeleteProductValue(L"IsCustomization");
    std::vector<DWORD> left;  // stand-ins still running, ended here so that none outlives the test
    CUtility::FindProcesses(L"schtasks.exe", left, static_cast<DWORD>(-1));
    for (DWORD id : left) ::TerminateProcess(lumo::UniqueHandle(::OpenProcess(PROCESS_TERMINATE, FALSE, id)).get(), 1);
    ASSERT_EQ(run.exitCode, 0) << run.log;
    EXPECT_TRUE(left.empty()) << "a schtasks stand-in outlived the run";
    EXPECT_EQ(LinesWith(run.log, L" did not end within 60 s; ended with all it started").size(), *c.hang ? 1u : 0u)
        << run.log;
    EXPECT_EQ(LinesWith(run.log, std::wstring(kRoute) + L"RunAsService ALUMO" + session + L" end").size(), 1u)
        << run.log;
    EXPECT_EQ(agent.Records(L"OXManagerLUMO").size(), c.agentRuns || c.customization ? 1u : 0u) << run.log;

    const std::wstring commands = ReadUtf16(box.Root() + L"\\schtasks.log");
    EXPECT_EQ(Verbs(commands), c.verbs) << Utf8(commands);
    std::wstring line = c.line;
    if (line.find(L"%s") != std::wstring::npos) line.replace(line.find(L"%s"), 2, session);
    EXPECT_EQ(LinesWith(run.log, std::wstring(kRoute) + line).size(), 1u) << run.log;
    EXPECT_EQ(agent.Records(L"Launcher").size(), c.agentRuns ? 1u : 0u) << run.log;
    EXPECT_EQ(ProductValue(L"IsSystemUser", 7), 7u) << "the mark goes";
    EXPECT_EQ(TaskExists(L"ALUMO" + session), c.folderKept);
    const std::wstring folder = LoggedWorkFolder(run.log);
    EXPECT_EQ(Exists(folder), c.folderKept) << run.log;
    if (c.folderKept) {
      // Nothing of the run's own files is left under its name; only what was in use is there,
      // renamed aside.
      for (const auto& entry : Snapshot(folder.substr(0, folder.size() - 1)))
        EXPECT_NE(entry.first.find(L"\\lumo-n-"), std::wstring::npos) << Utf8(entry.first);
      kept = folder;
    }
    if (c.code == longCode) {
      const std::wstring change = Lines(commands)[2];
      const std::wstring action = change.substr(change.find(L"/tr \"") + 5);
      EXPECT_LE(action.size(), 262u) << "the value within 261 characters, and its closing quote";
      const auto managers = agent.Records(L"OXManagerLUMO");
      ASSERT_EQ(managers.size(), 1u) << run.log;
      EXPECT_EQ(managers[0].at("has_code"), "0");
    }
  }

  // The next run in the session: the task that stayed goes first (the Delete line before
  // Create), and only once the query says it is gone may its folder go. A folder of another
  // session that a running launcher holds stays as it is. On Windows the kept folder goes
  // then; Wine builds every folder's descriptor from Unix mode bits, so there it reads as not
  // the launcher's and stays, with that line (docs/RELEASE-CHECKS.md).
  ASSERT_FALSE(kept.empty());
  const bool descriptorsKept = ReadsBackProtected(kept);
  const std::wstring other = MakeEarlierFolder(true, ::GetTickCount(), static_cast<int>(SessionId()) + 6);
  ASSERT_FALSE(other.empty());
  lumo::UniqueFile hold(::CreateFileW(other.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  Sandbox box(L"e2e-task-next-run");
  AgentEnvironment agent(box, L"1000");
  const LauncherRun run = RunLauncher(box, PackLauncher(box.Root(), L"OXUnPackLUMO.exe", AgentPayload("123456")),
                                      L"", 120000);
  hold.reset();
  const bool keptStayed = Exists(kept), otherStayed = Exists(other + L"Launcher.exe");
  DeleteTree(kept);
  DeleteTree(other);
  ASSERT_EQ(run.exitCode, 0) << run.log;
  const std::vector<std::wstring> verbs = Verbs(ReadUtf16(box.Root() + L"\\schtasks.log"));
  ASSERT_FALSE(verbs.empty());
  EXPECT_EQ(verbs.front(), L"/delete");
  EXPECT_EQ(verbs.size(), normal.size() + (descriptorsKept ? 1u : 0u)) << "a query, where the folder is the launcher's";
  EXPECT_FALSE(TaskExists(L"ALUMO" + session));
  EXPECT_EQ(keptStayed, !descriptorsKept);
  EXPECT_EQ(LinesWith(run.log, kept.substr(0, kept.size() - 1) + L" of an earlier run removed").size(),
            descriptorsKept ? 1u : 0u)
      << run.log;
  EXPECT_TRUE(otherStayed);
  EXPECT_EQ(agent.Records(L"Launcher").size(), 1u) << run.log;
}

LUMO_ON_BOTH_BUILDS(SystemE2E);

}  // namespace
