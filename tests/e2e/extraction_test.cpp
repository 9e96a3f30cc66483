// Packed x86_64 launchers run under Wine: the payload reaches the work folder (as the log
// records it), odd payloads end the run quickly, and the work folder is gone at the end.
#include <gtest/gtest.h>
#include <shlobj.h>

#include "e2e/e2e_product.h"
#include "support/junction.h"
#include "support/launcher_run.h"
#include "support/winsupport.h"

namespace {

using namespace testsupport;

constexpr DWORD kRunTimeout = 90000;

// The lines that show an entry went whole into the work folder.
void ExpectWritten(const LauncherRun& run, const Sandbox& box, int position, int count, const PayloadFile& file) {
  const std::wstring path = WorkFolder(box) + std::wstring(file.name.begin(), file.name.end());
  const std::wstring n = std::to_wstring(position);
  const std::wstring size = std::to_wstring(file.data.size());
  EXPECT_TRUE(Contains(run.log, L"(" + n + L"/" + std::to_wstring(count) + L")UnPack file name:" + path + L" (" + size + L")"))
      << run.log;
  EXPECT_TRUE(Contains(run.log, L"UnPack count:" + n + L" len:" + size + L" File:" + path)) << run.log;
}

void ExpectCleanEnd(const LauncherRun& run, const Sandbox& box) {
  EXPECT_FALSE(run.timedOut) << run.log;
  EXPECT_EQ(run.exitCode, 0) << run.log;
  EXPECT_FALSE(Exists(WorkFolder(box))) << "the work folder is removed at the end";
  EXPECT_FALSE(Exists(box.Temp() + L"unpacklumo")) << "and the empty unpacklumo folder with it";
}

// Each launcher run here also passes through the later steps of the start-up sequence, so
// runs are few and each checks several things. The code-sign values keep them on the
// standard route, which ends at once when the payload carries no agent (the route as SYSTEM
// would wait some twenty seconds for a manager that never comes).
class ExtractionE2E : public ::testing::Test {
  e2e::CodeSignMode standardRoute_;
};
TEST_F(ExtractionE2E, EveryEntryIsExtractedLoggedAndRemovedWithTheLeftoversOfAnEarlierRun) {
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
  for (int i = 0; i < 4; ++i) ExpectWritten(run, box, i + 1, 4, files[i]);
  EXPECT_TRUE(Contains(run.log, L"[CUnPack::UnPackFiles] UnPack total 4 files.")) << run.log;
  EXPECT_FALSE(Contains(run.log, L"skip without unpacking files")) << run.log;
  ExpectCleanEnd(run, box);
}

TEST_F(ExtractionE2E, FillerAndSignatureDoNotMoveThePayload) {
  Sandbox box(L"e2e-signed");
  const std::vector<PayloadFile> files = {{"a.txt", TextBytes("alpha")}, {"b.bin", PatternBytes(4097, 7)}};
  std::vector<uint8_t> bytes = PackedLauncherBytes(files, 12);
  // A certificate table appended by the rules of Authenticode (named by the PE32+ security
  // directory); real signing is checked by tests/checks/signing.sh.
  const uint32_t lfanew = *reinterpret_cast<const uint32_t*>(&bytes[60]);
  const uint32_t at = lfanew + 24 + 112 + 4 * 8;
  const uint32_t offset = static_cast<uint32_t>(bytes.size()), size = 1544;
  memcpy(&bytes[at], &offset, 4);
  memcpy(&bytes[at + 4], &size, 4);
  bytes.resize(bytes.size() + size, 0x5A);
  const LauncherRun run = RunLauncher(box, WriteLauncher(box.Root(), L"signed.exe", bytes), L"", kRunTimeout);
  EXPECT_TRUE(Contains(run.log, L"[CUnPack::FindHeader] Sign Size:1544 ")) << run.log;
  ExpectWritten(run, box, 1, 2, files[0]);
  ExpectWritten(run, box, 2, 2, files[1]);
  EXPECT_TRUE(Contains(run.log, L"UnPack total 2 files.")) << run.log;
  ExpectCleanEnd(run, box);
}

TEST_F(ExtractionE2E, ATraversalNameWritesNothingOutside) {
  Sandbox box(L"e2e-traversal");
  const std::vector<PayloadFile> files = {
      {"..\\..\\escaped.txt", TextBytes("out")}, {"kept.txt", TextBytes("in")}, {"../up.txt", TextBytes("out")}};
  const LauncherRun run = PackAndRun(box, L"OXUnPackLUMO.exe", files, L"", kRunTimeout);
  EXPECT_TRUE(Contains(run.log, L"(1/3)Skip file name:..\\..\\escaped.txt (3)")) << run.log;
  EXPECT_TRUE(Contains(run.log, L"(3/3)Skip file name:../up.txt (3)")) << run.log;
  ExpectWritten(run, box, 2, 3, files[1]);
  EXPECT_FALSE(Exists(box.Temp() + L"escaped.txt"));
  EXPECT_FALSE(Exists(box.Temp() + L"unpacklumo\\up.txt"));
  EXPECT_FALSE(Exists(box.Temp() + L"up.txt"));
  ExpectCleanEnd(run, box);
}

TEST_F(ExtractionE2E, ALyingSizeEndsTheRun) {
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

TEST_F(ExtractionE2E, NoDiskSpaceForAnEntryShowsTheMessageThenTheRunGoesOn) {
  Sandbox box(L"e2e-nospace");
  std::vector<uint8_t> bytes = PackedLauncherBytes({{"huge.bin", PatternBytes(10, 3)}});
  const size_t stub = ReadBytes(LauncherPath()).size();
  const uint64_t lie = uint64_t{1} << 63;
  memcpy(&bytes[stub + 8], &lie, 8);
  std::wstring text;
  bool answered = false;
  const LauncherRun run = RunLauncher(box, WriteLauncher(box.Root(), L"OXUnPackLUMO.exe", bytes), L"", kRunTimeout,
                                      [&] { answered = AnswerMessageBox(L"Ondrix LUMO", IDOK, 30000, &text); });
  ASSERT_TRUE(answered) << run.log;
  EXPECT_EQ(text, L"There is not enough disk space to install .");
  EXPECT_TRUE(Contains(run.log, L"[CUnPack::UnPackFiles] There is not enough disk space to install .")) << run.log;
  EXPECT_FALSE(Contains(run.log, L"skip without unpacking files")) << "the sequence creates the folder itself";
  ExpectCleanEnd(run, box);
}

TEST_F(ExtractionE2E, AReadOnlyFileKeepsItselfAndItsFolder) {
  Sandbox box(L"e2e-readonly");
  const std::wstring folder = WorkFolder(box);
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr), ERROR_SUCCESS);
  ASSERT_TRUE(WriteBytes(folder + L"pinned.txt", "pin", 3));
  ASSERT_TRUE(::SetFileAttributesW((folder + L"pinned.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  const PayloadFile file{"payload.txt", TextBytes("data")};
  const LauncherRun run = PackAndRun(box, L"OXUnPackLUMO.exe", {file}, L"", kRunTimeout);
  EXPECT_EQ(run.exitCode, 0) << run.log;
  ExpectWritten(run, box, 1, 1, file);
  EXPECT_TRUE(Exists(folder + L"pinned.txt"));
  EXPECT_FALSE(Exists(folder + L"payload.txt")) << "what could be deleted is gone";
  ::SetFileAttributesW((folder + L"pinned.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(ExtractionE2E, WithoutPayloadAnEmptyWorkFolderComesAndGoes) {
  Sandbox box(L"e2e-empty");
  std::vector<uint8_t> bytes = ReadBytes(LauncherPath());
  bytes.resize(bytes.size() + 284, 0);
  const LauncherRun run = RunLauncher(box, WriteLauncher(box.Root(), L"OXUnPackLUMO.exe", bytes), L"", kRunTimeout);
  EXPECT_TRUE(Contains(run.log, L"[CUnPack::FindHeader] Header offset:0 ")) << run.log;
  EXPECT_FALSE(Contains(run.log, L"skip without unpacking files")) << run.log;
  ExpectCleanEnd(run, box);
}

TEST_F(ExtractionE2E, AWorkFolderThatCannotBeCreatedSkipsTheLaunch) {
  Sandbox box(L"e2e-nofolder");
  // A file where the unpacklumo folder belongs: no work folder can be made under it.
  ASSERT_TRUE(WriteBytes(box.Temp() + L"unpacklumo", "file", 4));
  const LauncherRun run = PackAndRun(box, L"OXUnPackLUMO.exe", {{"a.txt", TextBytes("a")}}, L"", kRunTimeout);
  EXPECT_EQ(run.exitCode, 0) << run.log;
  EXPECT_TRUE(Contains(run.log, L"[CUnPackFileApp::InitInstance] LUMO skip without unpacking files")) << run.log;
  EXPECT_TRUE(ReadBytes(box.Temp() + L"unpacklumo") == TextBytes("file")) << "the file in the way is untouched";
}

TEST_F(ExtractionE2E, AJunctionInTheWorkFolderKeepsItsTargetsFiles) {
  Sandbox box(L"e2e-junction");
  const std::wstring outside = box.Root() + L"\\outside";
  ASSERT_TRUE(::CreateDirectoryW(outside.c_str(), nullptr));
  ASSERT_TRUE(WriteBytes(outside + L"\\precious.txt", "keep", 4));
  const std::wstring folder = WorkFolder(box);
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr), ERROR_SUCCESS);
  DWORD error = 0;
  if (!MakeJunction(folder + L"link", outside, &error)) {
    // Wine 8 answers FSCTL_SET_REPARSE_POINT with ERROR_NOT_SUPPORTED; the walk's decision
    // is covered by the native FolderWalk tests.
    GTEST_SKIP() << "no junctions here (error " << error << ")";
  }
  const LauncherRun run = PackAndRun(box, L"OXUnPackLUMO.exe", {{"a.txt", TextBytes("a")}}, L"", kRunTimeout);
  EXPECT_TRUE(Exists(outside + L"\\precious.txt"));
  ExpectCleanEnd(run, box);
}

}  // namespace
