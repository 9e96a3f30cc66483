// The expand.exe stand-in as the launcher meets it: the system folder's expand.exe, run by
// the command interpreter in a work folder with "*.cab /f:* .\".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/agent_record.h"
#include "support/platform.h"
#include "support/tiny_cabinet.h"
#include "support/winsupport.h"

namespace {

using namespace testsupport;

// Every test here is of the stand-in, which only the project's prefix has.
constexpr const char* kStandIn = "the expand stand-in; Windows runs its own expand.exe";

std::wstring SystemExpand() { return NativeSystemFolder() + L"\\expand.exe"; }

// The launcher's own command: the (64-bit) interpreter in the work folder, which reaches
// expand.exe in its system folder.
long ExpandLikeTheLauncher(const std::wstring& workFolder) {
  wchar_t system[MAX_PATH + 1] = {};
  ::GetSystemDirectoryW(system, MAX_PATH);
  return RunWait(NativeInterpreter() + L" /c " + system + L"\\expand.exe *.cab /f:* .\\", 60000,
                 workFolder.c_str());
}

std::wstring MakeFolder(const std::wstring& path) {
  ::CreateDirectoryW(path.c_str(), nullptr);
  return path;
}

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  return names;
}

TEST(ExpandStandIn, WineRunsTheStandInNotItsOwn) {
  LUMO_WINE_ONLY(kStandIn);
  // Wine's own expand.exe knows no such switch and fails; the stand-in answers 77.
  EXPECT_EQ(RunWait(Quote(SystemExpand()) + L" /lumo:identify"), 77);
  EXPECT_EQ(RunWait(NativeInterpreter() + L" /c expand.exe /lumo:identify"), 77)
      << "found on the search path too";
}

TEST(ExpandStandIn, AgentCabinetExpandsIntoTheWorkFolderUnchanged) {
  LUMO_WINE_ONLY(kStandIn);
  Sandbox box(L"expand-agent");
  const std::wstring work = MakeFolder(box.Root() + L"\\work folder");
  ASSERT_TRUE(::CopyFileW(AgentCabinet().c_str(), (work + L"\\lumo-agent.cab").c_str(), FALSE));
  // A file of an earlier run is replaced.
  ASSERT_TRUE(WriteBytes(work + L"\\ALUMO.xml", "stale", 5));

  EXPECT_EQ(ExpandLikeTheLauncher(work), 0);
  for (const std::wstring& name : AgentFiles()) {
    const std::vector<uint8_t> expanded = ReadBytes(work + L"\\" + name);
    EXPECT_FALSE(expanded.empty()) << ToUtf8(name);
    EXPECT_EQ(expanded, ReadBytes(AgentDir() + L"\\" + name)) << ToUtf8(name);
  }
  EXPECT_TRUE(Exists(work + L"\\lumo-agent.cab")) << "the cabinet stays";
  EXPECT_EQ(FilesIn(work).size(), AgentFiles().size() + 1);
}

TEST(ExpandStandIn, ExpandedFilesCarryTheCabinetsAttributes) {
  LUMO_WINE_ONLY(kStandIn);
  Sandbox box(L"expand-attributes");
  const std::wstring work = MakeFolder(box.Root() + L"\\work");
  std::vector<uint8_t> cabinet = TinyCabinet();
  ASSERT_TRUE(SetCabinetFileAttributes(cabinet, "note.txt", 0x27));  // read-only, hidden, system, archive
  ASSERT_TRUE(SetCabinetFileAttributes(cabinet, "two.txt", 0x00));
  ASSERT_TRUE(WriteBytes(work + L"\\tiny.cab", cabinet.data(), cabinet.size()));
  EXPECT_EQ(ExpandLikeTheLauncher(work), 0);
  constexpr DWORD kProtection = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  EXPECT_EQ(::GetFileAttributesW((work + L"\\note.txt").c_str()) & kProtection, kProtection);
  EXPECT_EQ(::GetFileAttributesW((work + L"\\two.txt").c_str()) & kProtection, 0u);
  for (const wchar_t* name : {L"\\note.txt", L"\\two.txt"})
    ::SetFileAttributesW((work + name).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(ExpandStandIn, EveryMatchingCabinetAndTheFilter) {
  LUMO_WINE_ONLY(kStandIn);
  Sandbox box(L"expand-several");
  const std::wstring work = MakeFolder(box.Root() + L"\\work");
  ASSERT_TRUE(::CopyFileW(AgentCabinet().c_str(), (work + L"\\lumo-agent.cab").c_str(), FALSE));
  const std::vector<uint8_t> tiny = TinyCabinet();
  ASSERT_TRUE(WriteBytes(work + L"\\tiny.cab", tiny.data(), tiny.size()));
  EXPECT_EQ(ExpandLikeTheLauncher(work), 0);
  EXPECT_TRUE(Exists(work + L"\\OXManagerLUMO.exe"));
  const std::vector<uint8_t> note = ReadBytes(work + L"\\note.txt");
  EXPECT_EQ(std::string(note.begin(), note.end()), "LUMO stand-in test payload\n");

  // "/f:" picks files; the plain form names one cabinet and a destination folder, made
  // when missing.
  const std::wstring out = box.Root() + L"\\picked\\deeper";
  EXPECT_EQ(RunWait(Quote(SystemExpand()) + L" " + Quote(work + L"\\lumo-agent.cab") + L" -F:*.cat " + Quote(out)), 0);
  EXPECT_EQ(CatalogOf(out + L"\\dxprinter.cat"), "dxprinter");
  EXPECT_EQ(CatalogOf(out + L"\\dxprinterx.cat"), "dxprinterx");
  EXPECT_EQ(FilesIn(out).size(), 2u);
}

TEST(ExpandStandIn, DamagedCabinetFailsAndLeavesNoFiles) {
  LUMO_WINE_ONLY(kStandIn);
  Sandbox box(L"expand-damaged");
  const std::vector<uint8_t> cabinet = ReadBytes(AgentCabinet());
  ASSERT_GT(cabinet.size(), 20000u);

  const std::wstring cut = MakeFolder(box.Root() + L"\\cut");
  ASSERT_TRUE(WriteBytes(cut + L"\\lumo-agent.cab", cabinet.data(), cabinet.size() / 2));
  EXPECT_NE(ExpandLikeTheLauncher(cut), 0);
  EXPECT_EQ(FilesIn(cut).size(), 1u) << "no file, whole or partial, came out of a cut cabinet";

  const std::wstring changed = MakeFolder(box.Root() + L"\\changed");
  std::vector<uint8_t> flipped = cabinet;
  flipped[flipped.size() - 100] ^= 0x01;
  ASSERT_TRUE(WriteBytes(changed + L"\\lumo-agent.cab", flipped.data(), flipped.size()));
  EXPECT_NE(ExpandLikeTheLauncher(changed), 0);
  EXPECT_EQ(FilesIn(changed).size(), 1u);

  const std::wstring other = MakeFolder(box.Root() + L"\\other");
  ASSERT_TRUE(WriteBytes(other + L"\\notes.cab", "just text, no cabinet", 21));
  EXPECT_NE(ExpandLikeTheLauncher(other), 0);
}

TEST(ExpandStandIn, NothingToExpandFails) {
  LUMO_WINE_ONLY(kStandIn);
  Sandbox box(L"expand-none");
  const std::wstring empty = MakeFolder(box.Root() + L"\\empty");
  EXPECT_NE(ExpandLikeTheLauncher(empty), 0);
  EXPECT_TRUE(FilesIn(empty).empty());
  EXPECT_NE(RunWait(Quote(SystemExpand()) + L" " + Quote(empty + L"\\missing.cab") + L" /f:* " + Quote(empty)), 0);
  EXPECT_NE(RunWait(Quote(SystemExpand()) + L" " + Quote(AgentCabinet())), 0) << "no destination";
}

TEST(ExpandStandIn, UnwritableTargetsFail) {
  LUMO_WINE_ONLY(kStandIn);
  Sandbox box(L"expand-unwritable");
  // The destination is a file.
  const std::wstring file = box.Root() + L"\\a file";
  ASSERT_TRUE(WriteBytes(file, "x", 1));
  EXPECT_NE(RunWait(Quote(SystemExpand()) + L" " + Quote(AgentCabinet()) + L" /f:* " + Quote(file)), 0);

  // One name of the cabinet is taken by a folder: the others are still written.
  const std::wstring work = MakeFolder(box.Root() + L"\\work");
  ASSERT_TRUE(::CopyFileW(AgentCabinet().c_str(), (work + L"\\lumo-agent.cab").c_str(), FALSE));
  MakeFolder(work + L"\\ALUMO.xml");
  EXPECT_NE(ExpandLikeTheLauncher(work), 0);
  EXPECT_EQ(ReadBytes(work + L"\\OXManagerLUMO.exe"), ReadBytes(AgentDir() + L"\\OXManagerLUMO.exe"));
}

TEST(ExpandStandIn, NamesLeadingOutOfTheDestinationAreNotWritten) {
  LUMO_WINE_ONLY(kStandIn);
  Sandbox box(L"expand-unsafe");
  const std::wstring work = MakeFolder(box.Root() + L"\\work");
  // The first name becomes "..\n.txt" (same length, names carry no checksum).
  std::vector<uint8_t> cabinet = TinyCabinet();
  ASSERT_EQ(std::string(cabinet.begin() + 60, cabinet.begin() + 68), "note.txt");
  const char escaping[] = "..\\n.txt";
  std::copy(escaping, escaping + 8, cabinet.begin() + 60);
  ASSERT_TRUE(WriteBytes(work + L"\\tiny.cab", cabinet.data(), cabinet.size()));

  EXPECT_NE(ExpandLikeTheLauncher(work), 0);
  EXPECT_FALSE(Exists(box.Root() + L"\\n.txt"));
  EXPECT_TRUE(Exists(work + L"\\two.txt")) << "the other file is still expanded";
}

}  // namespace
