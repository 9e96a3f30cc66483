// The checked road's rules: where a folder path starts and what an opened component must be.
#include <gtest/gtest.h>

#include "util/core/checked_path.h"

namespace {

using namespace lumo;

TEST(CheckedPath, AFolderPathSplitsIntoItsRootAndTheComponentsBelow) {
  const struct {
    const wchar_t* path;
    bool ok;
    const wchar_t* root;
    std::vector<std::wstring> components;
  } cases[] = {
      {L"C:\\Users\\a\\AppData\\Local\\Temp\\", true, L"C:\\", {L"Users", L"a", L"AppData", L"Local", L"Temp"}},
      {L"c:\\Temp", true, L"c:\\", {L"Temp"}},
      {L"C:\\", true, L"C:\\", {}},
      {L"C:\\a\\\\b\\", true, L"C:\\", {L"a", L"b"}},
      {L"\\\\server\\share\\t\\", true, L"\\\\server\\share\\", {L"t"}},
      {L"\\\\server\\share", true, L"\\\\server\\share\\", {}},
      {L"\\\\?\\C:\\t\\", true, L"\\\\?\\C:\\", {L"t"}},
      {L"\\\\?\\UNC\\server\\share\\t", true, L"\\\\?\\UNC\\server\\share\\", {L"t"}},
      // No root to start from, or a step the walk does not take.
      {L"", false, L"", {}},
      {L"Temp\\", false, L"", {}},
      {L"C:Temp\\", false, L"", {}},
      {L"\\\\server\\", false, L"", {}},
      {L"C:\\a\\..\\b\\", false, L"", {}},
      {L"C:\\a\\.\\b\\", false, L"", {}},
  };
  for (const auto& c : cases) {
    std::wstring root;
    std::vector<std::wstring> components;
    ASSERT_EQ(SplitFolderPath(c.path, root, components), c.ok) << c.path;
    if (!c.ok) continue;
    EXPECT_EQ(root, c.root) << c.path;
    EXPECT_EQ(components, c.components) << c.path;
  }
}

// The relaunch names the held file by the path the system resolved for its handle.
TEST(CheckedPath, AFinalPathTakesTheWin32FormOrNone) {
  const struct {
    const wchar_t* final;
    const wchar_t* win32;
  } cases[] = {
      {L"\\\\?\\C:\\Users\\a\\Downloads\\x.exe", L"C:\\Users\\a\\Downloads\\x.exe"},
      {L"\\\\?\\UNC\\srv\\share\\d\\x.exe", L"\\\\srv\\share\\d\\x.exe"},
      // Forms a caller of a Win32 path would not read as the same file: none.
      {L"\\\\?\\UNC\\\\share\\x.exe", L""},
      {L"\\\\?\\Volume{0b1d2c3e-0000-0000-0000-100000000000}\\x.exe", L""},
      {L"\\\\?\\UNC\\srv", L""},
      {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume2\\x.exe", L""},
      {L"\\Device\\HarddiskVolume2\\x.exe", L""},
      {L"C:\\x.exe", L""},
      {L"", L""},
  };
  for (const auto& c : cases) {
    std::wstring path = c.final;
    const wchar_t* win32 = Win32PathFromFinal(&path[0]);
    EXPECT_EQ(win32 != nullptr ? std::wstring(win32) : L"", c.win32) << c.final;
  }
}

TEST(CheckedPath, AnOpenedComponentIsUsedOnlyWhenItIsItselfAndOfTheKindAsked) {
  constexpr uint32_t kFile = 0x20, kFolder = 0x10, kReparse = 0x400;
  const struct {
    uint32_t opened, listed;
    bool namesItself, wantFolder;
    uint32_t links;
    Verdict verdict;
  } cases[] = {
      {kFolder, kFolder, true, true, 1, Verdict::kAccepted},
      {kFile, kFile, true, false, 1, Verdict::kAccepted},
      {kFolder, 0, true, true, 1, Verdict::kAccepted},  // no listing to be had
      {kFolder | kReparse, kFolder | kReparse, true, true, 1, Verdict::kLink},  // a junction opened as itself
      {kFile | kReparse, kFile | kReparse, true, false, 1, Verdict::kLink},     // a symbolic link to a file
      // Opened through a link (Wine): listed as one when it points to a folder, and the
      // handle names the target.
      {kFolder, kFolder | kReparse, true, true, 1, Verdict::kLink},
      {kFolder, kFolder, false, true, 1, Verdict::kLink},
      {kFile, kFile, false, false, 1, Verdict::kLink},
      {kFile, kFile, true, true, 1, Verdict::kNotFolder},
      {kFile, kFile, true, false, 2, Verdict::kOtherNames},
      {kFolder, kFolder, true, false, 1, Verdict::kFailed},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JudgeOpened(c.opened, c.listed, c.namesItself, c.wantFolder, c.links), c.verdict)
        << std::hex << c.opened << " " << c.listed << " " << c.namesItself << " " << c.wantFolder << " " << c.links;
  }
}

}  // namespace
