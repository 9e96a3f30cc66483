// The work folder's life and the recursive folder removal, on real folders under Wine.
#include <gtest/gtest.h>
#include <shlobj.h>

#include "support/junction.h"
#include "support/launcher_run.h"
#include "support/winsupport.h"
#include "unpack/secure_folder.h"
#include "unpack/unpack.h"
#include "util/utility.h"

namespace {

using namespace testsupport;

void MakeFile(const std::wstring& path, const std::string& text = "data") {
  ASSERT_TRUE(WriteBytes(path, text.data(), text.size())) << "cannot write the test file";
}

std::wstring CurrentDirectory() {
  wchar_t buffer[MAX_PATH + 1] = {};
  ::GetCurrentDirectoryW(MAX_PATH, buffer);
  return buffer;
}

// Restores the test process's current directory, which RemoveWorkFolder moves.
struct KeepCurrentDirectory {
  std::wstring saved = CurrentDirectory();
  ~KeepCurrentDirectory() { ::SetCurrentDirectoryW(saved.c_str()); }
};

TEST(WorkFolder, IsBuiltOnceUnderTheTempFolderAndCreatedWithTheProductFolder) {
  Sandbox box(L"wf-build");
  KeepCurrentDirectory keep;
  CUnPack unpack;
  const std::wstring folder = unpack.GetWorkFolder();
  EXPECT_EQ(folder, box.Temp() + L"unpacklumo\\" + std::to_wstring(SessionId()) + L"\\");
  EXPECT_TRUE(Exists(folder));
  EXPECT_TRUE(Exists(box.Temp() + L"Ondrix\\lumo"));
  // Cached: a second call neither rebuilds the path nor recreates a removed folder. (An
  // elevated run holds its folder until the launch ends; let go of it to remove it here.)
  lumo::ReleaseWorkFolder();
  ::RemoveDirectoryW(folder.c_str());
  ASSERT_FALSE(Exists(folder));
  EXPECT_EQ(unpack.GetWorkFolder(), folder);
  EXPECT_FALSE(Exists(folder));
}

TEST(WorkFolder, LeftoversOfAnEarlierRunAreClearedBeforeUse) {
  Sandbox box(L"wf-leftovers");
  KeepCurrentDirectory keep;
  const std::wstring folder = WorkFolder(box);
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, (folder + L"log\\deep").c_str(), nullptr), ERROR_SUCCESS);
  MakeFile(folder + L"stale.cab");
  MakeFile(folder + L"log\\deep\\debug.dvm");
  CUnPack unpack;
  EXPECT_EQ(unpack.GetWorkFolder(), folder);
  EXPECT_TRUE(Exists(folder));
  EXPECT_FALSE(Exists(folder + L"stale.cab"));
  EXPECT_FALSE(Exists(folder + L"log"));
}

TEST(WorkFolder, RemovalTakesTheFolderAndAnEmptyParentButNotAnotherSession) {
  Sandbox box(L"wf-remove");
  KeepCurrentDirectory keep;
  const std::wstring parent = box.Temp() + L"unpacklumo";
  {
    CUnPack unpack;
    const std::wstring folder = unpack.GetWorkFolder();
    MakeFile(folder + L"a.txt");
    // The work folder as current directory (as while commands run) does not keep it.
    ASSERT_TRUE(::SetCurrentDirectoryW(folder.c_str()));
    unpack.RemoveWorkFolder();
    EXPECT_FALSE(Exists(folder));
    EXPECT_FALSE(Exists(parent)) << "the empty unpacklumo folder goes too";
    EXPECT_EQ(CurrentDirectory() + L"\\", box.Temp());
  }
  {
    ASSERT_EQ(::SHCreateDirectoryExW(nullptr, (parent + L"\\99").c_str(), nullptr), ERROR_SUCCESS);
    CUnPack unpack;
    const std::wstring folder = unpack.GetWorkFolder();
    unpack.RemoveWorkFolder();
    EXPECT_FALSE(Exists(folder));
    EXPECT_TRUE(Exists(parent + L"\\99")) << "another session's folder stays, and with it unpacklumo";
  }
  {
    // Never built: nothing is removed.
    MakeFile(parent + L"\\99\\keep.txt");
    CUnPack unpack;
    unpack.RemoveWorkFolder();
    EXPECT_TRUE(Exists(parent + L"\\99\\keep.txt"));
  }
}

TEST(WorkFolder, AHeldLeftoverIsRetriedThenUsedAsItIs) {
  Sandbox box(L"wf-held");
  KeepCurrentDirectory keep;
  const std::wstring folder = WorkFolder(box);
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr), ERROR_SUCCESS);
  MakeFile(folder + L"held.txt");
  MakeFile(folder + L"free.txt");
  HANDLE held = ::CreateFileW((folder + L"held.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  CUnPack unpack;
  const DWORD start = ::GetTickCount();
  EXPECT_EQ(unpack.GetWorkFolder(), folder);
  const DWORD elapsed = ::GetTickCount() - start;
  ::CloseHandle(held);
  EXPECT_GE(elapsed, 1500u) << "the 20 creation retries pause 100 ms each";
  EXPECT_TRUE(Exists(folder + L"held.txt"));
  EXPECT_FALSE(Exists(folder + L"free.txt"));
}

TEST(FolderTree, ReadOnlyFilesKeepThemselvesAndTheirFolders) {
  Sandbox box(L"ft-readonly");
  const std::wstring root = box.Root() + L"\\tree";
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, (root + L"\\a\\b").c_str(), nullptr), ERROR_SUCCESS);
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, (root + L"\\c").c_str(), nullptr), ERROR_SUCCESS);
  MakeFile(root + L"\\top.txt");
  MakeFile(root + L"\\a\\b\\locked.txt");
  MakeFile(root + L"\\a\\b\\other.txt");
  MakeFile(root + L"\\c\\x.txt");
  ASSERT_TRUE(::SetFileAttributesW((root + L"\\a\\b\\locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));

  EXPECT_FALSE(CUtility::DeleteFolderTree(root));
  EXPECT_TRUE(Exists(root + L"\\a\\b\\locked.txt"));
  EXPECT_EQ(::GetFileAttributesW((root + L"\\a\\b\\locked.txt").c_str()) & FILE_ATTRIBUTE_READONLY,
            static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))
      << "attributes are never changed";
  EXPECT_FALSE(Exists(root + L"\\a\\b\\other.txt"));
  EXPECT_FALSE(Exists(root + L"\\top.txt"));
  EXPECT_FALSE(Exists(root + L"\\c"));

  ::SetFileAttributesW((root + L"\\a\\b\\locked.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(CUtility::DeleteFolderTree(root + L"\\"));
  EXPECT_FALSE(Exists(root));
}

TEST(FolderTree, MissingPathsCountAsRemoved) {
  Sandbox box(L"ft-missing");
  EXPECT_TRUE(CUtility::RemoveFile(box.Root() + L"\\nothing.txt"));
  EXPECT_TRUE(CUtility::RemoveFolder(box.Root() + L"\\nothing"));
  EXPECT_TRUE(CUtility::DeleteFolderTree(box.Root() + L"\\nothing"));
  EXPECT_FALSE(CUtility::IsMountPoint(box.Root() + L"\\ProgramData\\nothing"));
}

// Junctions need FSCTL_SET_REPARSE_POINT from the file system; the decision "never enter a
// reparse point" is tested natively either way (FolderWalk in the unit tests).
class Junctions : public ::testing::Test {
 protected:
  bool Make(const std::wstring& link, const std::wstring& target) {
    DWORD error = 0;
    if (MakeJunction(link, target, &error)) return true;
    unsupportedError_ = error;
    return false;
  }
  DWORD unsupportedError_ = 0;
};

TEST_F(Junctions, TheWalkRemovesTheLinkAndNeverWhatItPointsTo) {
  Sandbox box(L"ft-junction");
  const std::wstring outside = box.Root() + L"\\outside";
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, (outside + L"\\sub").c_str(), nullptr), ERROR_SUCCESS);
  MakeFile(outside + L"\\precious.txt");
  MakeFile(outside + L"\\sub\\more.txt");
  const std::wstring tree = box.Root() + L"\\tree";
  ASSERT_TRUE(::CreateDirectoryW(tree.c_str(), nullptr));
  MakeFile(tree + L"\\own.txt");
  if (!Make(tree + L"\\link", outside)) GTEST_SKIP() << "no junctions here (error " << unsupportedError_ << ")";
  ASSERT_TRUE(IsReparsePoint(tree + L"\\link"));
  ASSERT_TRUE(Exists(tree + L"\\link\\precious.txt")) << "the junction does not resolve";

  EXPECT_TRUE(CUtility::DeleteFolderTree(tree));
  EXPECT_FALSE(Exists(tree));
  EXPECT_TRUE(Exists(outside + L"\\precious.txt"));
  EXPECT_TRUE(Exists(outside + L"\\sub\\more.txt"));

  // A tree that is itself a link: the link goes, the target stays whole.
  ASSERT_TRUE(Make(box.Root() + L"\\rootlink", outside));
  EXPECT_TRUE(CUtility::DeleteFolderTree(box.Root() + L"\\rootlink\\"));
  EXPECT_FALSE(Exists(box.Root() + L"\\rootlink"));
  EXPECT_TRUE(Exists(outside + L"\\precious.txt"));
}

TEST_F(Junctions, MountPointsUnderProgramDataAreKept) {
  Sandbox box(L"ft-programdata");
  const std::wstring outside = box.Root() + L"\\target";
  ASSERT_TRUE(::CreateDirectoryW(outside.c_str(), nullptr));
  MakeFile(outside + L"\\precious.txt");
  const std::wstring area = box.Root() + L"\\ProgramData";
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, (area + L"\\Ondrix").c_str(), nullptr), ERROR_SUCCESS);
  MakeFile(area + L"\\Ondrix\\file.txt");
  if (!Make(area + L"\\Ondrix\\mount", outside)) GTEST_SKIP() << "no junctions here (error " << unsupportedError_ << ")";

  EXPECT_TRUE(CUtility::IsMountPoint(area + L"\\Ondrix\\mount"));
  EXPECT_FALSE(CUtility::IsMountPoint(area + L"\\Ondrix\\file.txt"));
  EXPECT_FALSE(CUtility::IsMountPoint(area + L"\\Ondrix"));
  EXPECT_FALSE(CUtility::RemoveFolder(area + L"\\Ondrix\\mount"));

  CUtility::DeleteFolderTree(area);
  EXPECT_TRUE(IsReparsePoint(area + L"\\Ondrix\\mount")) << "the mount point stays in place";
  EXPECT_FALSE(Exists(area + L"\\Ondrix\\file.txt"));
  EXPECT_TRUE(Exists(outside + L"\\precious.txt"));

  // Outside a ProgramData path the same junction is no protected mount point.
  const std::wstring plain = box.Root() + L"\\plain";
  ASSERT_TRUE(::CreateDirectoryW(plain.c_str(), nullptr));
  ASSERT_TRUE(Make(plain + L"\\mount", outside));
  EXPECT_FALSE(CUtility::IsMountPoint(plain + L"\\mount"));
  EXPECT_TRUE(CUtility::RemoveFolder(plain + L"\\mount"));
  EXPECT_TRUE(Exists(outside + L"\\precious.txt"));
}

}  // namespace
