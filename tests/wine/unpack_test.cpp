// The extraction run in-process, over launchers packed into the sandbox: the files it
// writes byte for byte, its log lines, and how it meets malformed payloads.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <thread>

#include "support/launcher_run.h"
#include "support/platform.h"
#include "unit/pe_image.h"
#include "support/winsupport.h"
#include "unpack/unpack.h"

namespace {

using namespace testsupport;

struct KeepCurrentDirectory {
  wchar_t saved[MAX_PATH + 1] = {};
  KeepCurrentDirectory() { ::GetCurrentDirectoryW(MAX_PATH, saved); }
  ~KeepCurrentDirectory() { ::SetCurrentDirectoryW(saved); }
};

// One extraction of `bytes` (a packed file written into the sandbox) by a CUnPack that
// reads that file instead of the running program.
struct Extraction {
  DWORD result = 0;
  std::wstring log;
  std::wstring workFolder;
  bool workFolderCreated = false;  // the run itself created it
};

Extraction Extract(const Sandbox& box, const std::vector<uint8_t>& bytes,
                   const std::function<void()>& whileRunning = nullptr) {
  Extraction e;
  const std::wstring packed = WriteLauncher(box.Root(), L"packed.exe", bytes);
  EXPECT_FALSE(packed.empty());
  const std::wstring logPath = LogPath(box.Temp());
  const size_t before = ReadUtf16(logPath).size();
  CUnPack unpack(packed);
  unpack.SetElevatedRoad(false);  // into the sandbox's temp folder, where WorkFolder finds it
  std::thread helper;
  if (whileRunning) helper = std::thread(whileRunning);
  unpack.RunExtraction();
  if (helper.joinable()) helper.join();
  e.result = unpack.LastRunResult();
  e.workFolder = WorkFolder(box);
  e.workFolderCreated = Exists(e.workFolder);
  e.log = ReadUtf16(logPath).substr(before);
  return e;
}

size_t StubLength() { return ReadBytes(LauncherPath()).size(); }

TEST(Extraction, EveryEntryIsWrittenByteForByteWithItsLogLines) {
  Sandbox box(L"x-entries");
  KeepCurrentDirectory keep;
  const std::vector<PayloadFile> files = {
      {"agent.cab", PatternBytes(3 * 1024 * 1024, 1)},   // many whole blocks
      {"empty.dat", {}},                                   // size 0
      {"two-blocks.bin", PatternBytes(2048, 2)},           // an exact multiple of the buffer
      {"odd.bin", PatternBytes(1025, 3)},
      {".init_setting.ini", TextBytes("[Settings]\r\ntoken=123\r\n")},
  };
  const Extraction e = Extract(box, PackedLauncherBytes(files));
  EXPECT_EQ(e.result, 1u) << e.log;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::wstring name(files[i].name.begin(), files[i].name.end());
    const std::wstring path = e.workFolder + name;
    ASSERT_TRUE(Exists(path)) << files[i].name;
    EXPECT_TRUE(ReadBytes(path) == files[i].data) << files[i].name << " differs";
    const std::wstring n = std::to_wstring(i + 1);
    const std::wstring size = std::to_wstring(files[i].data.size());
    EXPECT_TRUE(Contains(e.log, L"[CUnPack::UnPackFiles] (" + n + L"/5)UnPack file name:" + path + L" (" + size + L")"))
        << e.log;
    EXPECT_TRUE(Contains(e.log, L"[CUnPack::UnPackFiles] UnPack count:" + n + L" len:" + size + L" File:" + path))
        << e.log;
    EXPECT_TRUE(Contains(e.log, L" FileSize:" + size + L" (Last=")) << e.log;
  }
  EXPECT_EQ(LinesWith(e.log, L"[CUnPack::UnPackFiles]  FreeSpace:").size(), 5u) << "one disk check per entry";
  EXPECT_TRUE(Contains(e.log, L"[CUnPack::FindHeader] Name:" + box.Root() + L"\\packed.exe")) << e.log;
  EXPECT_TRUE(Contains(e.log, L"[CUnPack::FindHeader] Sign Size:0 ")) << e.log;
  EXPECT_TRUE(Contains(e.log, L"[CUnPack::FindHeader] Header offset:" + std::to_wstring(StubLength()) + L" ")) << e.log;
  EXPECT_TRUE(Contains(e.log, L"[CUnPack::UnPackFiles] UnPack total 5 files.")) << e.log;
}

TEST(Extraction, SignedAndFilledLayoutsAreFoundAlike) {
  Sandbox box(L"x-signed");
  KeepCurrentDirectory keep;
  const std::vector<PayloadFile> files = {{"a.txt", TextBytes("alpha")}, {"b.txt", PatternBytes(5000, 9)}};
  std::vector<uint8_t> bytes = PackedLauncherBytes(files, 12);
  // Signed the way a signer does, at the directory of this build's own headers (PE32 or
  // PE32+); the filler byte 0x30 would read as a header offset of 808464432.
  petest::AppendCertificateTable(bytes, 2048, 0x30);
  const Extraction e = Extract(box, bytes);
  EXPECT_EQ(e.result, 1u) << e.log;
  EXPECT_TRUE(Contains(e.log, L"[CUnPack::FindHeader] Sign Size:2048 ")) << e.log;
  EXPECT_TRUE(ReadBytes(e.workFolder + L"a.txt") == files[0].data);
  EXPECT_TRUE(ReadBytes(e.workFolder + L"b.txt") == files[1].data);
  EXPECT_TRUE(Contains(e.log, L"UnPack total 2 files.")) << e.log;
}

TEST(Extraction, NoPayloadAndAnOffsetBeyondTheEndCreateNoWorkFolder) {
  Sandbox box(L"x-nopayload");
  KeepCurrentDirectory keep;
  std::vector<uint8_t> zero = ReadBytes(LauncherPath());
  zero.resize(zero.size() + 284, 0);
  Extraction e = Extract(box, zero);
  EXPECT_EQ(e.result, 0u);
  EXPECT_TRUE(Contains(e.log, L"Header offset:0 ")) << e.log;
  EXPECT_FALSE(Contains(e.log, L"[CUnPack::UnPackFiles]")) << e.log;
  EXPECT_FALSE(e.workFolderCreated);

  std::vector<uint8_t> beyond = PackedLauncherBytes({{"a.txt", TextBytes("a")}});
  const uint64_t offset = beyond.size() + 1000;
  memcpy(&beyond[beyond.size() - 284 + 8], &offset, 8);
  e = Extract(box, beyond);
  EXPECT_EQ(e.result, 1u) << e.log;
  EXPECT_TRUE(Contains(e.log, L"UnPack total 0 files.")) << e.log;
  EXPECT_FALSE(e.workFolderCreated);
}

TEST(Extraction, UnsafeNamesAreSkippedAndNothingLandsOutsideTheWorkFolder) {
  Sandbox box(L"x-names");
  KeepCurrentDirectory keep;
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, (WorkFolder(box) + L"sub").c_str(), nullptr), ERROR_SUCCESS);
  const std::vector<PayloadFile> files = {
      {"first.txt", TextBytes("one")},
      {"..\\outside.txt", TextBytes("escaped")},
      {"../up.txt", TextBytes("escaped")},
      {"sub\\inner.txt", TextBytes("nested")},
      {"C:evil.txt", TextBytes("drive")},
      {"first.txt:hidden", TextBytes("stream")},
      {"..", TextBytes("dots")},
      {"", TextBytes("nameless")},
      {std::string(260, 'n'), TextBytes("unterminated")},
      {"NUL", TextBytes("device")},
      {"first.txt.", TextBytes("over first.txt")},  // Windows drops the final dot
      {std::string(256, 'l'), TextBytes("no file system holds the name")},
      {"last.txt", TextBytes("two")},
  };
  const Extraction e = Extract(box, PackedLauncherBytes(files));
  EXPECT_EQ(e.result, 1u) << e.log;
  EXPECT_TRUE(ReadBytes(e.workFolder + L"first.txt") == TextBytes("one")) << "not overwritten by \"first.txt.\"";
  EXPECT_TRUE(ReadBytes(e.workFolder + L"last.txt") == TextBytes("two")) << "the entries after the skipped ones";
  EXPECT_FALSE(Exists(box.Temp() + L"unpacklumo\\outside.txt"));
  EXPECT_FALSE(Exists(box.Temp() + L"unpacklumo\\up.txt"));
  EXPECT_FALSE(Exists(e.workFolder + L"sub\\inner.txt"));
  EXPECT_FALSE(Exists(L"C:evil.txt"));
  EXPECT_EQ(LinesWith(e.log, L"Skip file name:").size(), 11u) << e.log;
  EXPECT_TRUE(Contains(e.log, L"(2/13)Skip file name:..\\outside.txt (7)")) << e.log;
  EXPECT_TRUE(Contains(e.log, L"(9/13)Skip file name:" + std::wstring(260, L'n'))) << e.log;
  EXPECT_TRUE(Contains(e.log, L"(11/13)Skip file name:first.txt. (14), a name ending in a dot")) << e.log;
  EXPECT_TRUE(Contains(e.log, L"(12/13)Skip file name:" + std::wstring(256, L'l') + L" (29), a name longer than 255"))
      << e.log;
  EXPECT_TRUE(Contains(e.log, L"(13/13)UnPack file name:" + e.workFolder + L"last.txt")) << e.log;
  EXPECT_TRUE(Contains(e.log, L"UnPack total 13 files.")) << e.log;
  // Only the two good files (and the folder made above) are in the work folder.
  size_t count = 0;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((e.workFolder + L"*").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  do {
    if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0) ++count;
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  EXPECT_EQ(count, 2u) << "the leftover 'sub' is cleared, the skipped entries write nothing";
}

TEST(Extraction, APayloadCutShortEndsTheRunWithoutSpinning) {
  Sandbox box(L"x-short");
  KeepCurrentDirectory keep;
  const std::vector<PayloadFile> files = {{"good.txt", TextBytes("fine")}, {"cut.bin", PatternBytes(4000, 5)}};
  std::vector<uint8_t> bytes = PackedLauncherBytes(files);
  const size_t second = StubLength() + 284 + 4;
  // The second entry claims 5 MiB more than the file holds.
  const uint64_t lie = 5u * 1024 * 1024;
  memcpy(&bytes[second + 8], &lie, 8);
  const Extraction e = Extract(box, bytes);
  EXPECT_EQ(e.result, 0u) << e.log;
  EXPECT_TRUE(ReadBytes(e.workFolder + L"good.txt") == TextBytes("fine"));
  EXPECT_FALSE(Exists(e.workFolder + L"cut.bin")) << "the partial file is removed";
  EXPECT_TRUE(Contains(e.log, L"UnPack stopped: ")) << e.log;
  EXPECT_TRUE(Contains(e.log, L" of 5242880 bytes in the payload File:" + e.workFolder + L"cut.bin")) << e.log;
  EXPECT_TRUE(Contains(e.log, L"[CUtility::FileException] ")) << e.log;
  EXPECT_FALSE(Contains(e.log, L"UnPack total")) << e.log;
}

TEST(Extraction, NoRoomOnEitherDiskShowsTheMessageAndWritesNothing) {
  Sandbox box(L"x-nospace");
  KeepCurrentDirectory keep;
  std::vector<uint8_t> bytes = PackedLauncherBytes({{"huge.bin", PatternBytes(100, 1)}, {"b.txt", TextBytes("b")}});
  const uint64_t lie = uint64_t{1} << 63;
  memcpy(&bytes[StubLength() + 8], &lie, 8);
  std::wstring text;
  bool answered = false;
  const Extraction e = Extract(box, bytes, [&] { answered = AnswerMessageBox(L"Ondrix LUMO", IDOK, 30000, &text); });
  ASSERT_TRUE(answered) << "no message box appeared";
  EXPECT_EQ(text, L"There is not enough disk space to install .");
  EXPECT_EQ(e.result, 0u);
  EXPECT_EQ(LinesWith(e.log, L"FileSize:-9223372036854775808").size(), 2u) << "both disks are asked: " << e.log;
  EXPECT_TRUE(Contains(e.log, L"[CUnPack::UnPackFiles] There is not enough disk space to install .")) << e.log;
  EXPECT_FALSE(e.workFolderCreated) << "the run needed no work folder";
}

TEST(Extraction, AnEntryThatCannotBeCreatedIsPassedOver) {
  LUMO_WINE_ONLY("a name Linux refuses (over 255 bytes in UTF-8) that Windows accepts");
  Sandbox box(L"x-busy");
  KeepCurrentDirectory keep;
  // A name the launcher takes but the file system refuses. On Windows that takes a failing
  // disk or a filter driver; here it is 130 characters of U+00E9, which are 260 bytes in the
  // UTF-8 name that Wine gives Linux, over its 255. (A leftover file held open no longer
  // serves: the run writes into a folder of its own.)
  const std::vector<PayloadFile> files = {
      {"before.txt", TextBytes("1")}, {std::string(130, '\xE9'), PatternBytes(3000, 4)}, {"after.txt", TextBytes("3")}};
  const Extraction e = Extract(box, PackedLauncherBytes(files));
  const std::wstring folder = WorkFolder(box);
  EXPECT_EQ(e.result, 1u) << e.log;
  EXPECT_TRUE(ReadBytes(folder + L"before.txt") == TextBytes("1"));
  EXPECT_TRUE(ReadBytes(folder + L"after.txt") == TextBytes("3")) << "its data were passed over exactly";
  EXPECT_TRUE(Contains(e.log, L"[CUtility::FileException] ")) << e.log;
  EXPECT_TRUE(Contains(e.log, L"UnPack total 3 files.")) << e.log;
}

}  // namespace
