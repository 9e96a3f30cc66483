// Packed launchers of both builds run under Wine: the payload reaches the work folder (as the
// log records it), odd payloads end the run quickly, leftovers of an earlier run go, and the
// work folder is gone at the end. Every run under Wine is elevated, so its work folder lies
// under the Windows temp folder, where its log names it.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>

#include "e2e/e2e_product.h"
#include "support/agent_record.h"
#include "support/junction.h"
#include "support/launcher_run.h"
#include "support/platform.h"
#include "unit/pe_image.h"
#include "support/tiny_cabinet.h"
#include "support/winsupport.h"
#include "util/utility.h"

namespace {

using namespace testsupport;

constexpr DWORD kRunTimeout = 90000;

// The lines that show an entry went whole into the work folder.
void ExpectWritten(const LauncherRun& run, int position, int count, const PayloadFile& file) {
  const std::wstring path = LoggedWorkFolder(run.log) + std::wstring(file.name.begin(), file.name.end());
  const std::wstring n = std::to_wstring(position);
  const std::wstring size = std::to_wstring(file.data.size());
  EXPECT_TRUE(Contains(run.log, L"(" + n + L"/" + std::to_wstring(count) + L")UnPack file name:" + path + L" (" + size + L")"))
      << run.log;
  EXPECT_TRUE(Contains(run.log, L"UnPack count:" + n + L" len:" + size + L" File:" + path)) << run.log;
}

// `seen`: the work folder as seen while the run went on, where the log names none.
void ExpectCleanEnd(const LauncherRun& run, const Sandbox& box, const std::wstring& seen = std::wstring()) {
  EXPECT_FALSE(run.timedOut) << run.log;
  EXPECT_EQ(run.exitCode, 0) << run.log;
  const std::wstring folder = seen.empty() ? LoggedWorkFolder(run.log) : seen;
  EXPECT_EQ(folder.rfind(SystemTempFolder() + L"lumo-", 0), 0u) << "the elevated run's folder\n" << run.log;
  EXPECT_FALSE(Exists(folder)) << "the work folder is removed at the end";
  EXPECT_FALSE(Exists(box.Temp() + L"unpacklumo")) << "and nothing is left under the user's temp folder";
}

// Each launcher run here also passes through the later steps of the start-up sequence, so
// runs are few and each checks several things. The code-sign values keep them on the
// standard route, which ends at once when the payload carries no agent (the route as SYSTEM
// would wait some twenty seconds for a manager that never comes).
class ExtractionE2E : public EachBuild {
  e2e::CodeSignMode standardRoute_;
};
TEST_P(ExtractionE2E, EveryEntryIsExtractedLoggedAndRemovedWithTheLeftoversOfAnEarlierRun) {
  Sandbox box(L"e2e-entries");
  const std::wstring folder = WorkFolder(box);
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, (folder + L"log").c_str(), nullptr), ERROR_SUCCESS);
  ASSERT_TRUE(WriteBytes(folder + L"old.cab", "stale", 5));
  ASSERT_TRUE(WriteBytes(folder + L"log\\debug.dvm", "", 0));
  const std::vector<PayloadFile> files = {
      {"agent.cab", PatternBytes(3 * 1024 * 1024, 1)},
      {"zero.dat", {}},
      {"block.bin", PatternBytes(2048, 2)},
      {".init_setting.ini", TextBytes("[Settings]\r\n")},
  };
  const LauncherRun run = PackAndRun(box, L"OXUnPackLUMO.exe", files, L"", kRunTimeout);
  for (int i = 0; i < 4; ++i) ExpectWritten(run, i + 1, 4, files[i]);
  EXPECT_TRUE(Contains(run.log, L"[CUnPack::UnPackFiles] UnPack total 4 files.")) << run.log;
  EXPECT_FALSE(Contains(run.log, L"skip without unpacking files")) << run.log;
  ExpectCleanEnd(run, box);
}

TEST_P(ExtractionE2E, FillerAndSignatureDoNotMoveThePayload) {
  Sandbox box(L"e2e-signed");
  const std::vector<PayloadFile> files = {{"a.txt", TextBytes("alpha")}, {"b.bin", PatternBytes(4097, 7)}};
  std::vector<uint8_t> bytes = PackedLauncherBytes(files, 12);
  // A certificate table appended by the rules of Authenticode, at the security directory of
  // the launcher's own width; real signing is checked by tests/checks/signing.sh.
  petest::AppendCertificateTable(bytes, 1544, 0x5A);
  const LauncherRun run = RunLauncher(box, WriteLauncher(box.Root(), L"signed.exe", bytes), L"", kRunTimeout);
  EXPECT_TRUE(Contains(run.log, L"[CUnPack::FindHeader] Sign Size:1544 ")) << run.log;
  ExpectWritten(run, 1, 2, files[0]);
  ExpectWritten(run, 2, 2, files[1]);
  EXPECT_TRUE(Contains(run.log, L"UnPack total 2 files.")) << run.log;
  ExpectCleanEnd(run, box);
}

TEST_P(ExtractionE2E, ATraversalNameWritesNothingOutside) {
  Sandbox box(L"e2e-traversal");
  const std::vector<PayloadFile> files = {
      {"..\\..\\escaped.txt", TextBytes("out")}, {"kept.txt", TextBytes("in")}, {"../up.txt", TextBytes("out")}};
  const LauncherRun run = PackAndRun(box, L"OXUnPackLUMO.exe", files, L"", kRunTimeout);
  EXPECT_TRUE(Contains(run.log, L"(1/3)Skip file name:..\\..\\escaped.txt (3)")) << run.log;
  EXPECT_TRUE(Contains(run.log, L"(3/3)Skip file name:../up.txt (3)")) << run.log;
  ExpectWritten(run, 2, 3, files[1]);
  EXPECT_FALSE(Exists(SystemTempFolder() + L"up.txt"));
  EXPECT_FALSE(Exists(SystemTempFolder() + L"..\\escaped.txt"));
  EXPECT_FALSE(Exists(box.Temp() + L"escaped.txt"));
  EXPECT_FALSE(Exists(box.Temp() + L"up.txt"));
  ExpectCleanEnd(run, box);
}

TEST_P(ExtractionE2E, ALyingSizeEndsTheRun) {
  Sandbox box(L"e2e-lying");
  std::vector<uint8_t> bytes = PackedLauncherBytes({{"first.txt", TextBytes("1")}, {"liar.bin", PatternBytes(100, 3)}});
  const size_t stub = ReadBytes(LauncherPath()).size();
  const uint64_t lie = 64u * 1024 * 1024;  // far more than the file holds, less than any free disk
  memcpy(&bytes[stub + 284 + 1 + 8], &lie, 8);
  const LauncherRun run = RunLauncher(box, WriteLauncher(box.Root(), L"OXUnPackLUMO.exe", bytes), L"", kRunTimeout);
  EXPECT_TRUE(Contains(run.log, L"UnPack stopped: ")) << run.log;
  EXPECT_FALSE(Contains(run.log, L"UnPack total")) << run.log;
  ExpectCleanEnd(run, box);
}

TEST_P(ExtractionE2E, NoDiskSpaceForAnEntryShowsTheMessageThenTheRunGoesOn) {
  Sandbox box(L"e2e-nospace");
  std::vector<uint8_t> bytes = PackedLauncherBytes({{"huge.bin", PatternBytes(10, 3)}});
  const size_t stub = ReadBytes(LauncherPath()).size();
  const uint64_t lie = uint64_t{1} << 63;
  memcpy(&bytes[stub + 8], &lie, 8);
  std::wstring text, seen;
  bool answered = false;
  // Nothing is extracted, so no line names the folder: it is watched for once the box is answered.
  const std::vector<std::wstring> before = ElevatedWorkFolders();
  const LauncherRun run =
      RunLauncher(box, WriteLauncher(box.Root(), L"OXUnPackLUMO.exe", bytes), L"", kRunTimeout, [&] {
        answered = AnswerMessageBox(L"Ondrix LUMO", IDOK, 30000, &text);
        const DWORD start = ::GetTickCount();
        while (answered && (seen = NewElevatedWorkFolder(before)).empty() && ::GetTickCount() - start < 20000) ::Sleep(1);
      });
  ASSERT_TRUE(answered) << run.log;
  EXPECT_EQ(text, L"There is not enough disk space to install .");
  EXPECT_TRUE(Contains(run.log, L"[CUnPack::UnPackFiles] There is not enough disk space to install .")) << run.log;
  EXPECT_FALSE(Contains(run.log, L"skip without unpacking files")) << "the sequence creates the folder itself";
  ExpectCleanEnd(run, box, seen);
}

// A launcher carrying the agent stand-in, run with these settings; while the agent's window
// is up, its folder (the run's work folder) is looked at, since it goes with the run.
struct AgentRun {
  LauncherRun run;
  AgentRecord manager;
  bool agentSeen = false;
  std::vector<std::wstring> filesBesideAgent;
  std::string settingsBesideAgent;
  DWORD managerAttributes = INVALID_FILE_ATTRIBUTES;
};

AgentRun RunWithAgent(const Sandbox& box, const std::vector<uint8_t>& cabinet, const std::string& settings) {
  AgentRun result;
  const std::wstring records = box.Root() + L"\\records";
  ::CreateDirectoryW(records.c_str(), nullptr);
  const std::string agentIni = "[Agent]\nLifetimeMs=2500\nRecordFolder=" + ToUtf8(records) + "\n";
  const std::vector<PayloadFile> files = {
      {"lumo-agent.cab", cabinet}, {"agent.ini", TextBytes(agentIni)}, {".init_setting.ini", TextBytes(settings)}};
  const std::vector<std::wstring> before = ElevatedWorkFolders();
  result.run = RunLauncher(box, PackLauncher(box.Root(), L"OXUnPackLUMO.exe", files), L"", kRunTimeout, [&] {
    for (const DWORD start = ::GetTickCount(); ::GetTickCount() - start < 30000; ::Sleep(20)) {
      if (lumo::FindProductWindow() == nullptr) continue;
      result.agentSeen = true;
      const std::wstring folder = NewElevatedWorkFolder(before);
      if (folder.empty()) break;  // nothing to look at: the checks of the folder fail
      WIN32_FIND_DATAW data;
      HANDLE find = ::FindFirstFileW((folder + L"*").c_str(), &data);
      if (find != INVALID_HANDLE_VALUE) {
        do result.filesBesideAgent.push_back(data.cFileName);
        while (::FindNextFileW(find, &data));
        ::FindClose(find);
      }
      const std::vector<uint8_t> text = ReadBytes(folder + L".init_setting.ini");
      result.settingsBesideAgent.assign(text.begin(), text.end());
      result.managerAttributes = ::GetFileAttributesW((folder + L"OXManagerLUMO.exe").c_str());
      break;
    }
  });
  const std::vector<std::wstring> found = AgentRecordFiles(records, L"OXManagerLUMO");
  if (!found.empty()) result.manager = ReadAgentRecord(found.front());
  return result;
}

// On Windows a read-only settings file of an earlier run cannot be replaced, so a run that
// adopted the folder would hand the agent the earlier session's code. Under Wine (as root)
// it could be replaced, but still not deleted: the folder would stay after every run. The
// elevated run works elsewhere, and still clears the leftover.
TEST_P(ExtractionE2E, AReadOnlyLeftoverNeitherReachesTheAgentNorStrandsTheFolder) {
  LUMO_RELEASE_CHECK("4");
  Sandbox box(L"e2e-readonly");
  const std::wstring folder = WorkFolder(box);
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr), ERROR_SUCCESS);
  const std::string stale = "[Settings]\nlumo_token=STALE7\n";
  ASSERT_TRUE(WriteBytes(folder + L".init_setting.ini", stale.data(), stale.size()));
  ASSERT_TRUE(WriteBytes(folder + L"stray.txt", "old", 3));
  ASSERT_TRUE(::SetFileAttributesW((folder + L".init_setting.ini").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(::SetFileAttributesW((folder + L"stray.txt").c_str(),
                                   FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));

  const std::string settings = "[Settings]\nlumo_token=FRESH8\n";
  const AgentRun result = RunWithAgent(box, ReadBytes(AgentCabinet()), settings);
  ASSERT_TRUE(result.agentSeen) << result.run.log;
  EXPECT_EQ(Field(result.manager, "code"), "FRESH8") << result.run.log;
  const std::wstring manager = FromUtf8(Field(result.manager, "module_path"));
  EXPECT_TRUE(SamePath(manager, LoggedWorkFolder(result.run.log) + L"OXManagerLUMO.exe")) << ToUtf8(manager);
  EXPECT_EQ(std::count(result.filesBesideAgent.begin(), result.filesBesideAgent.end(), L"stray.txt"), 0);
  EXPECT_EQ(result.settingsBesideAgent, settings);
  ExpectCleanEnd(result.run, box);
}

TEST_P(ExtractionE2E, AReadOnlyFileOfTheCabinetIsExpandedSoAndRemovedWithTheFolder) {
  LUMO_RELEASE_CHECK("4");
  Sandbox box(L"e2e-readonly-cab");
  std::vector<uint8_t> cabinet = ReadBytes(AgentCabinet());
  ASSERT_TRUE(SetCabinetFileAttributes(cabinet, "OXManagerLUMO.exe", 0x21));  // read-only, archive
  const AgentRun result = RunWithAgent(box, cabinet, "[Settings]\nlumo_token=CAB9\n");
  ASSERT_TRUE(result.agentSeen) << result.run.log;
  EXPECT_EQ(Field(result.manager, "code"), "CAB9");
  ASSERT_NE(result.managerAttributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(result.managerAttributes & FILE_ATTRIBUTE_READONLY) << "the stand-in keeps the cabinet's attributes";
  ExpectCleanEnd(result.run, box);
}

TEST_P(ExtractionE2E, WithoutPayloadAnEmptyWorkFolderComesAndGoes) {
  Sandbox box(L"e2e-empty");
  std::vector<uint8_t> bytes = ReadBytes(LauncherPath());
  bytes.resize(bytes.size() + 284, 0);
  // Nothing is extracted, so no line names the folder: it is watched for while the run goes on.
  const std::vector<std::wstring> before = ElevatedWorkFolders();
  std::wstring seen;
  const LauncherRun run =
      RunLauncher(box, WriteLauncher(box.Root(), L"OXUnPackLUMO.exe", bytes), L"", kRunTimeout, [&] {
        const DWORD start = ::GetTickCount();
        while ((seen = NewElevatedWorkFolder(before)).empty() && ::GetTickCount() - start < 20000) ::Sleep(1);
      });
  EXPECT_TRUE(Contains(run.log, L"[CUnPack::FindHeader] Header offset:0 ")) << run.log;
  EXPECT_FALSE(Contains(run.log, L"skip without unpacking files")) << run.log;
  ExpectCleanEnd(run, box, seen);
}

// A file where the unpacklumo folder belongs refuses the road there, and is left as it is.
// An unelevated run then skips the launch; an elevated one (every run under Wine), which
// only looks there for leftovers, works under the Windows temp folder all the same.
TEST_P(ExtractionE2E, AFileInPlaceOfTheWorkFoldersParentIsRefusedAndLeftAsItIs) {
  Sandbox box(L"e2e-nofolder");
  ASSERT_TRUE(WriteBytes(box.Temp() + L"unpacklumo", "file", 4));
  const LauncherRun run = PackAndRun(box, L"OXUnPackLUMO.exe", {{"a.txt", TextBytes("a")}}, L"", kRunTimeout);
  EXPECT_EQ(run.exitCode, 0) << run.log;
  EXPECT_EQ(LinesWith(run.log, L"[CUnPack::GetWorkFolder] " + box.Temp() + L"unpacklumo refused: not a folder").size(), 1u)
      << run.log;
  EXPECT_EQ(Contains(run.log, L"[CUnPackFileApp::InitInstance] LUMO skip without unpacking files"),
            !CUtility::IsProcessElevated())
      << run.log;
  EXPECT_TRUE(ReadBytes(box.Temp() + L"unpacklumo") == TextBytes("file")) << "the file in the way is untouched";
}

TEST_P(ExtractionE2E, AJunctionInTheWorkFolderKeepsItsTargetsFiles) {
  LUMO_RELEASE_CHECK("3");
  LUMO_WINDOWS_ONLY(kNoJunctionsUnderWine);
  Sandbox box(L"e2e-junction");
  const std::wstring outside = box.Root() + L"\\outside";
  ASSERT_TRUE(::CreateDirectoryW(outside.c_str(), nullptr));
  ASSERT_TRUE(WriteBytes(outside + L"\\precious.txt", "keep", 4));
  const std::wstring folder = WorkFolder(box);
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr), ERROR_SUCCESS);
  DWORD error = 0;
  ASSERT_TRUE(MakeJunction(folder + L"link", outside, &error)) << "error " << error;
  const LauncherRun run = PackAndRun(box, L"OXUnPackLUMO.exe", {{"a.txt", TextBytes("a")}}, L"", kRunTimeout);
  EXPECT_TRUE(Exists(outside + L"\\precious.txt"));
  ExpectCleanEnd(run, box);
}

LUMO_ON_BOTH_BUILDS(ExtractionE2E);

}  // namespace
