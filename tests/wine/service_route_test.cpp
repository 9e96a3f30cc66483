// The pieces of the launch as SYSTEM that can be checked without a whole launcher: the
// schtasks stand-in of the test prefix, the protected work folder, and the route's refusal
// to create a task for a folder that is not the one it protected.
#include <gtest/gtest.h>

#include <thread>

#include "app/app.h"
#include "settings/product_key.h"
#include "settings/registry.h"
#include "support/platform.h"
#include "support/standin_settings.h"
#include "support/winsupport.h"
#include "unpack/secure_folder.h"
#include "util/handles.h"
#include "util/utility.h"

namespace {

using namespace testsupport;

// The stand-in's tests: only the project's prefix has it.
constexpr const char* kStandIn = "the schtasks stand-in and its log; Windows runs its own schtasks.exe";

// Runs "cmd /c schtasks ARGS" the way the launcher does, with the stand-in's record in the
// sandbox. Returns the exit code.
long Schtasks(const Sandbox& box, const std::wstring& arguments) {
  StandinSettings settings;
  settings.Set(L"SchtasksLog", box.Root() + L"\\schtasks.log");
  return RunWait(NativeInterpreter() + L" /c schtasks " + arguments, 30000, box.Root().c_str());
}

std::vector<std::wstring> SchtasksRecord(const Sandbox& box) { return Lines(ReadUtf16(box.Root() + L"\\schtasks.log")); }

// A task definition like the agent's, UTF-16 with its byte-order mark.
void WriteDefinition(const std::wstring& path) {
  const std::wstring xml =
      L"\xFEFF<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
      L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n"
      L"  <Triggers><BootTrigger><Enabled>true</Enabled></BootTrigger></Triggers>\r\n"
      L"  <Actions Context=\"Author\"><Exec><Command>Launcher.exe</Command>"
      L"<Arguments>OXManagerLUMO.exe 1</Arguments></Exec></Actions>\r\n"
      L"</Task>\r\n";
  WriteBytes(path, xml.data(), xml.size() * sizeof(wchar_t));
}

// The echo helper's report: command line, current folder, show command.
std::vector<std::wstring> WaitForEcho(const std::wstring& path, DWORD timeoutMs) {
  return WaitForLines(path, 3, timeoutMs);
}

std::wstring SystemFolder() {
  wchar_t folder[MAX_PATH] = {};
  ::GetSystemDirectoryW(folder, MAX_PATH);
  return folder;
}

TEST(SchtasksStandIn, CreateChangeRunDeleteAsTheLauncherAsks) {
  LUMO_WINE_ONLY(kStandIn);
  Sandbox box(L"schtasks-cycle");
  WriteDefinition(box.Root() + L"\\ALUMO.xml");
  const std::wstring starter = CopyAs(ExeDir() + L"\\echoargs.exe", box.Root(), L"Launcher.exe");
  const std::wstring echo = box.Root() + L"\\echo.txt";
  ::SetEnvironmentVariableW(L"LUMO_ECHO_FILE", echo.c_str());
  ::SetEnvironmentVariableW(L"LUMO_ECHO_SLEEP", L"3000");

  const std::wstring create = L"/create /xml ALUMO.xml /ru \"system\" /tn ALUMOT7";
  const std::wstring change = L"/change /tn ALUMOT7 /ru \"system\" /tr \"'" + box.Root() +
                              L"\\\\Launcher.exe' OXManagerLUMO.exe 7 \\\"a b\\\" x'y\"";
  Schtasks(box, L"/delete /f /tn ALUMOT7");  // a leftover of an earlier run
  EXPECT_EQ(Schtasks(box, create), 0);
  // An existing task without /f: Windows' question on standard output, answered from
  // standard input; at its end, exit code 1 and nothing more.
  EXPECT_EQ(Schtasks(box, create + L" <nul >question.txt"), 1);
  const std::vector<uint8_t> question = ReadBytes(box.Root() + L"\\question.txt");
  EXPECT_EQ(std::string(question.begin(), question.end()),
            "WARNING: The task name \"ALUMOT7\" already exists. Do you want to replace it (Y/N)? ");
  ASSERT_TRUE(WriteBytes(box.Root() + L"\\yes.txt", "y\r\n", 3));
  EXPECT_EQ(Schtasks(box, create + L" <yes.txt >nul"), 0) << "replaced when the answer is Y";
  EXPECT_EQ(Schtasks(box, change), 0);
  EXPECT_EQ(Schtasks(box, L"/run /tn ALUMOT7"), 0);
  EXPECT_EQ(Schtasks(box, L"/delete /f /tn ALUMOT7"), 0);
  EXPECT_NE(Schtasks(box, L"/run /tn ALUMOT7"), 0) << "a deleted task cannot run";
  EXPECT_NE(Schtasks(box, L"/change /tn ALUMOT7 /tr x.exe"), 0);

  // The action ran detached with the changed program and arguments, in system32, and
  // lives on after its task is gone.
  const std::vector<std::wstring> report = WaitForEcho(echo, 10000);
  ::SetEnvironmentVariableW(L"LUMO_ECHO_FILE", nullptr);
  ::SetEnvironmentVariableW(L"LUMO_ECHO_SLEEP", nullptr);
  ASSERT_EQ(report.size(), 3u);
  // Every single quote of the action became a double quote, as Windows' schtasks reads it.
  EXPECT_EQ(report[0], L"\"" + box.Root() + L"\\\\Launcher.exe\" OXManagerLUMO.exe 7 \"a b\" x\"y");
  EXPECT_EQ(lstrcmpiW(report[1].c_str(), SystemFolder().c_str()), 0) << report[1];
  std::vector<DWORD> starters;
  CUtility::FindProcesses(L"Launcher.exe", starters, static_cast<DWORD>(-1));
  EXPECT_EQ(starters.size(), 1u) << "the started action outlives the deleted task";
  for (DWORD id : starters) {
    lumo::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
    if (process) ::WaitForSingleObject(process.get(), 5000);
  }

  // Every command line, as given.
  const std::vector<std::wstring> record = SchtasksRecord(box);
  ASSERT_EQ(record.size(), 9u);
  EXPECT_EQ(record[1], create);
  EXPECT_EQ(record[4], change);
  EXPECT_EQ(record[5], L"/run /tn ALUMOT7");
  EXPECT_EQ(record[6], L"/delete /f /tn ALUMOT7");
}

TEST(SchtasksStandIn, DefinitionWithoutAnActionOrFileIsRefused) {
  LUMO_WINE_ONLY(kStandIn);
  Sandbox box(L"schtasks-bad");
  const std::string broken = "<Task><Actions></Actions></Task>";
  WriteBytes(box.Root() + L"\\broken.xml", broken.data(), broken.size());
  EXPECT_NE(Schtasks(box, L"/create /xml broken.xml /ru \"system\" /tn ALUMOT8"), 0);
  EXPECT_NE(Schtasks(box, L"/create /xml missing.xml /ru \"system\" /tn ALUMOT8"), 0);
  EXPECT_NE(Schtasks(box, L"/query /tn ALUMOT8"), 0) << "nothing was stored";
}

// --- The protected work folder ---

struct Sids {
  std::vector<BYTE> system = std::vector<BYTE>(SECURITY_MAX_SID_SIZE);
  std::vector<BYTE> admins = std::vector<BYTE>(SECURITY_MAX_SID_SIZE);
  Sids() {
    DWORD size = SECURITY_MAX_SID_SIZE;
    ::CreateWellKnownSid(WinLocalSystemSid, nullptr, system.data(), &size);
    size = SECURITY_MAX_SID_SIZE;
    ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins.data(), &size);
  }
};

lumo::UniqueHandle OwnImpersonationToken() {
  lumo::UniqueHandle own, impersonation;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, own.put()) ||
      !::DuplicateToken(own.get(), SecurityImpersonation, impersonation.put()))
    return lumo::UniqueHandle();
  return impersonation;
}

// The access check wants an owner and a group, which the folder gets from the token that
// creates it; Administrators stands in for both here.
bool Granted(PSECURITY_DESCRIPTOR protectedDescriptor, HANDLE token, DWORD access) {
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorDacl(protectedDescriptor, &present, &dacl, &defaulted);
  Sids sids;
  SECURITY_DESCRIPTOR full;
  ::InitializeSecurityDescriptor(&full, SECURITY_DESCRIPTOR_REVISION);
  ::SetSecurityDescriptorDacl(&full, present, dacl, FALSE);
  ::SetSecurityDescriptorOwner(&full, sids.admins.data(), FALSE);
  ::SetSecurityDescriptorGroup(&full, sids.admins.data(), FALSE);
  PSECURITY_DESCRIPTOR descriptor = &full;
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
  PRIVILEGE_SET privileges{};
  DWORD privilegesLength = sizeof(privileges);
  DWORD granted = 0;
  BOOL status = FALSE;
  return ::AccessCheck(descriptor, token, access, &mapping, &privileges, &privilegesLength, &granted, &status) &&
         status;
}

TEST(ProtectedFolder, DescriptorGrantsFullControlToSystemAndAdministratorsAndOnlyReadingToTheUser) {
  std::wstring sidText;
  lumo::UniqueLocal user;
  ASSERT_TRUE(lumo::GetSessionUserSid(sidText, user));
  lumo::ProtectedDescriptor descriptor(user.get());
  ASSERT_TRUE(descriptor.valid());

  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED) << "nothing inherited from the user's temp folder";
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
  ASSERT_TRUE(present && dacl != nullptr);
  ASSERT_EQ(dacl->AceCount, 3);
  Sids sids;
  const PSID expectedSids[] = {sids.system.data(), sids.admins.data(), user.get()};
  const DWORD expectedMasks[] = {FILE_ALL_ACCESS, FILE_ALL_ACCESS, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE};
  for (DWORD i = 0; i < 3; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) << "entry " << i;
    EXPECT_EQ(ace->Mask, expectedMasks[i]) << "entry " << i;
    EXPECT_TRUE(::EqualSid(reinterpret_cast<PSID>(&ace->SidStart), expectedSids[i])) << "entry " << i;
  }

  // What the entries mean for the two tokens of one administrator.
  lumo::UniqueHandle elevated = OwnImpersonationToken();
  lumo::UniqueHandle plain = NonAdministratorToken();
  ASSERT_TRUE(elevated && plain);
  EXPECT_TRUE(Granted(descriptor.get(), elevated.get(), FILE_ADD_FILE | DELETE | WRITE_DAC));
  EXPECT_TRUE(Granted(descriptor.get(), plain.get(), FILE_LIST_DIRECTORY | FILE_TRAVERSE));
  for (DWORD write : std::initializer_list<DWORD>{FILE_ADD_FILE, FILE_ADD_SUBDIRECTORY, FILE_DELETE_CHILD, DELETE, WRITE_DAC, FILE_WRITE_ATTRIBUTES})
    EXPECT_FALSE(Granted(descriptor.get(), plain.get(), write)) << std::hex << write;
}

// The descriptor the launcher gives its folder is the one it knows an earlier run's
// leftover by, once the system has made an administrator (or SYSTEM) its owner, as it does
// for a folder an elevated run makes; and no other. (Wine reads back no descriptor a folder
// was made with, so only the descriptor itself can be judged here.)
TEST(ProtectedFolder, TheLauncherKnowsTheDescriptorItBuildsAndNoOther) {
  std::wstring sidText;
  lumo::UniqueLocal user;
  ASSERT_TRUE(lumo::GetSessionUserSid(sidText, user));
  Sids sids;
  const struct {
    const char* what;
    PSID user;   // the entry for the session's user
    PSID owner;          // as the system makes it for the folder
    bool keepProtected;
    bool own;
  } cases[] = {
      {"owned by Administrators", user.get(), sids.admins.data(), true, true},
      {"owned by SYSTEM, no user entry", nullptr, sids.system.data(), true, true},
      {"no owner", user.get(), nullptr, true, false},
      {"owned by the user", user.get(), user.get(), true, false},
      {"not protected", user.get(), sids.admins.data(), false, false},
  };
  for (const auto& c : cases) {
    lumo::ProtectedDescriptor descriptor(c.user);
    ASSERT_TRUE(descriptor.valid());
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
    const bool daclProtected = (control & SE_DACL_PROTECTED) != 0 && c.keepProtected;
    EXPECT_EQ(lumo::IsWorkFolderSecurity(c.owner, dacl, daclProtected), c.own) << c.what;
  }
}

// Claims parent\name as an elevated run claims its work folder.
int ClaimProtected(const std::wstring& parent, const std::wstring& name) {
  lumo::FolderChain chain;
  if (!chain.Open(parent, true, false)) return -1;
  return lumo::ClaimWorkFolder(chain, name, true);
}

TEST(ProtectedFolder, FolderIsMadeOnlyWhereNothingIsAndHeldUntilReleased) {
  Sandbox box(L"protected-folder");
  const std::wstring parent = box.Root() + L"\\unpacklumo";
  const std::wstring folder = parent + L"\\1\\";
  ::CreateDirectoryW(parent.c_str(), nullptr);
  ASSERT_EQ(ClaimProtected(parent, L"1"), ERROR_SUCCESS);
  EXPECT_TRUE(Exists(folder));
  EXPECT_TRUE(lumo::IsHeldWorkFolder(folder));
  EXPECT_TRUE(lumo::IsHeldWorkFolder(parent + L"\\1")) << "with or without the backslash";
  // The hold traverses the folder, so the system keeps its sharing: what a rename or a
  // deletion of the folder asks for is refused to anyone, at once (sharing counts every open,
  // whatever process made it). Wine keeps it too, for such an open.
  LUMO_RELEASE_CHECK("15");
  const lumo::UniqueFile doomed(::CreateFileW(folder.c_str(), DELETE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  EXPECT_EQ(doomed ? 0u : ::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  const BOOL moved = ::MoveFileW((parent + L"\\1").c_str(), (parent + L"\\1-moved").c_str());
  EXPECT_EQ(moved ? 0u : ::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(lumo::IsHeldWorkFolder(parent));

  // A folder that is already there (planted, or a leftover that would not go) is never
  // adopted: the creation fails and nothing is held.
  EXPECT_EQ(ClaimProtected(parent, L"1"), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(lumo::IsHeldWorkFolder(folder));

  // Released: no longer the held folder, and free to go. A folder that goes while the
  // creation is tried again (its removal not finished a moment before) leaves the name to it.
  std::thread remover([&] {
    ::Sleep(300);
    ::RemoveDirectoryW(folder.c_str());
  });
  const int retried = ClaimProtected(parent, L"1");
  remover.join();
  ASSERT_EQ(retried, ERROR_SUCCESS);
  lumo::ReleaseWorkFolder();
  EXPECT_FALSE(lumo::IsHeldWorkFolder(folder));
  EXPECT_TRUE(::RemoveDirectoryW(folder.c_str()));
}

TEST(ProtectedFolder, FolderSwappedUnderThePathIsNoLongerTheHeldOne) {
  Sandbox box(L"protected-swap");
  const std::wstring parent = box.Root() + L"\\unpacklumo";
  const std::wstring folder = parent + L"\\1\\";
  ::CreateDirectoryW(parent.c_str(), nullptr);
  ASSERT_EQ(ClaimProtected(parent, L"1"), ERROR_SUCCESS);

  // Windows refuses to rename a held folder or a folder above it; Wine allows both. Where
  // the rename goes through, a planted folder under the old path must be told apart.
  const bool moved = ::MoveFileW(parent.c_str(), (box.Root() + L"\\moved").c_str());
  LUMO_ON_WINDOWS("2,15", "the folder above a held work folder cannot be renamed") EXPECT_FALSE(moved);
  if (moved) {
    ASSERT_TRUE(::CreateDirectoryW(parent.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    EXPECT_FALSE(lumo::IsHeldWorkFolder(folder)) << "a planted folder passed for the held one";
  } else {
    EXPECT_TRUE(lumo::IsHeldWorkFolder(folder));
  }
  lumo::ReleaseWorkFolder();
}

TEST(ProtectedFolder, RouteCreatesNoTaskForAFolderItDidNotProtect) {
  Sandbox box(L"protected-route");
  const std::wstring folder = box.Root() + L"\\planted\\";
  ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
  lumo::ReleaseWorkFolder();
  StandinSettings settings;
  settings.Set(L"SchtasksLog", box.Root() + L"\\schtasks.log");
  CUnPackFileApp app;
  app.m_strSessionCode = L"123456";
  app.RunAsService(folder);

  const std::wstring log = ReadUtf16(LogPath(box.Temp()));
  EXPECT_TRUE(Contains(log, L"[CUnPackFileApp::RunAsService] RunAsService work folder " + folder +
                                L" is not the protected folder of this run; no task created"))
      << log;
  EXPECT_FALSE(Contains(log, L"begin"));
  // No schtasks command ran: the stand-in logged none; Windows' scheduler holds no such task.
  if (UnderWine())
    EXPECT_FALSE(Exists(box.Root() + L"\\schtasks.log")) << "no schtasks command ran";
  else
    EXPECT_FALSE(TaskExists(L"ALUMO" + std::to_wstring(static_cast<int>(SessionId()))));
  CRegistry registry;
  ASSERT_TRUE(OpenSessionProductKey(registry));
  EXPECT_FALSE(registry.ValueExists(L"IsSystemUser"));
}

}  // namespace
