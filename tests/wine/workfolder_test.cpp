// The work folder's life and the recursive folder removal, on real folders under Wine.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <thread>

#include "support/junction.h"
#include "support/launcher_run.h"
#include "support/platform.h"
#include "support/winsupport.h"
#include "unpack/secure_folder.h"
#include "unpack/unpack.h"
#include "util/folder_chain.h"
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

bool IsEmptyFolder(const std::wstring& folder) {
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((folder + L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  bool empty = true;
  do {
    if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0) empty = false;
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  return empty;
}

// Restores the test process's current directory, which RemoveWorkFolder moves.
struct KeepCurrentDirectory {
  std::wstring saved = CurrentDirectory();
  ~KeepCurrentDirectory() { ::SetCurrentDirectoryW(saved.c_str()); }
};

// The road of an unelevated run, which keeps the user's temp folder. (Every process is
// elevated under Wine: these tests ask for that road. The elevated run's folder under the
// Windows temp folder is the end-to-end tests' matter.)
struct UnelevatedRun : CUnPack {
  UnelevatedRun() { SetElevatedRoad(false); }
};

TEST(WorkFolder, IsBuiltOnceUnderTheTempFolderAndCreatedWithTheProductFolder) {
  Sandbox box(L"wf-build");
  KeepCurrentDirectory keep;
  UnelevatedRun unpack;
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
  UnelevatedRun unpack;
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
    UnelevatedRun unpack;
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
    UnelevatedRun unpack;
    const std::wstring folder = unpack.GetWorkFolder();
    unpack.RemoveWorkFolder();
    EXPECT_FALSE(Exists(folder));
    EXPECT_TRUE(Exists(parent + L"\\99")) << "another session's folder stays, and with it unpacklumo";
  }
  {
    // Never built: nothing is removed.
    MakeFile(parent + L"\\99\\keep.txt");
    UnelevatedRun unpack;
    unpack.RemoveWorkFolder();
    EXPECT_TRUE(Exists(parent + L"\\99\\keep.txt"));
  }
}

// A file held open without delete sharing keeps a leftover from going, under Wine as on
// Windows. What makes an elevated run's leftover unremovable for an unelevated run on
// Windows, its protected descriptor, cannot be shown: Wine keeps no descriptor it is given
// (it reads back one made from the mode bits) and runs every test elevated. The leftover here
// is made the elevated way all the same.
HANDLE HoldWithoutDeleteSharing(const std::wstring& path) {
  return ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

TEST(WorkFolder, ALeftoverThatWillNotGoIsLeftAndTheFirstFreeNameTaken) {
  LUMO_RELEASE_CHECK("4");
  Sandbox box(L"wf-held");
  KeepCurrentDirectory keep;
  const std::wstring folder = WorkFolder(box);
  const std::wstring session = folder.substr(0, folder.size() - 1);
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, (box.Temp() + L"unpacklumo").c_str(), nullptr), ERROR_SUCCESS);
  {
    std::wstring sidText;
    lumo::UniqueLocal user;
    lumo::GetSessionUserSid(sidText, user);
    lumo::FolderChain chain;
    ASSERT_TRUE(chain.Open(box.Temp() + L"unpacklumo", true, false));
    ASSERT_TRUE(chain.Descend(std::to_wstring(static_cast<int>(SessionId())), lumo::FolderChain::Create::kOnly, true,
                              lumo::ProtectedDescriptor(user.get()).get()))
        << "an elevated run's folder";
  }
  ASSERT_TRUE(::CreateDirectoryW((session + L"-1").c_str(), nullptr));
  MakeFile(folder + L"held.txt");
  MakeFile(folder + L".init_setting.ini", "[Settings]\nlumo_token=STALE\n");
  MakeFile(session + L"-1\\held.txt");
  HANDLE held[] = {HoldWithoutDeleteSharing(folder + L"held.txt"), HoldWithoutDeleteSharing(session + L"-1\\held.txt")};
  ASSERT_NE(held[0], INVALID_HANDLE_VALUE);
  ASSERT_NE(held[1], INVALID_HANDLE_VALUE);

  const std::wstring logPath = LogPath(box.Temp());
  UnelevatedRun unpack;
  const std::wstring fresh = unpack.GetWorkFolder();
  EXPECT_EQ(fresh, session + L"-2\\") << "the first name that is free";
  EXPECT_TRUE(unpack.HasWorkFolder());
  EXPECT_TRUE(IsEmptyFolder(fresh)) << "nothing of another run in it";
  EXPECT_TRUE(lumo::IsHeldWorkFolder(fresh)) << "the run holds the folder it made";
  EXPECT_EQ(LinesWith(ReadUtf16(logPath), L"[CUnPack::GetWorkFolder] The work folder " + folder +
                                              L" of an earlier run cannot be removed; this run uses " + fresh)
                .size(),
            1u)
      << ReadUtf16(logPath);
  EXPECT_FALSE(Exists(folder + L".init_setting.ini")) << "what could go went";

  unpack.RemoveWorkFolder();
  EXPECT_FALSE(Exists(fresh));
  EXPECT_TRUE(Exists(folder + L"held.txt"));
  EXPECT_TRUE(Exists(box.Temp() + L"unpacklumo")) << "it still holds the leftovers";

  // Once nothing holds it, the next run clears the leftover and takes the session's name.
  for (HANDLE h : held) ::CloseHandle(h);
  UnelevatedRun next;
  EXPECT_EQ(next.GetWorkFolder(), folder);
  EXPECT_TRUE(IsEmptyFolder(folder));
  next.RemoveWorkFolder();
}

// The old two seconds of retries are kept for one case: the leftover's removal went
// through but its name stays taken while another program still has the folder open.
TEST(WorkFolder, ALeftoverThatIsStillGoingIsWaitedFor) {
  Sandbox box(L"wf-lingering");
  KeepCurrentDirectory keep;
  const std::wstring folder = WorkFolder(box);
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr), ERROR_SUCCESS);
  MakeFile(folder + L"a.txt");
  // Open with every sharing: no obstacle to the deletion, but the name stays until closed.
  HANDLE open = ::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(open, INVALID_HANDLE_VALUE);
  UnelevatedRun unpack;
  std::wstring got;
  std::thread run([&] { got = unpack.GetWorkFolder(); });
  while (Exists(folder + L"a.txt")) ::Sleep(10);
  ::Sleep(300);
  const bool lingered = Exists(folder) && !Exists(folder + L"a.txt");
  ::CloseHandle(open);
  run.join();
  if (!lingered) GTEST_SKIP() << "the folder's name went at once (POSIX deletion)";
  EXPECT_EQ(got, folder) << "waited for the name instead of taking a fresh one";
  unpack.RemoveWorkFolder();
}

TEST(FolderTree, ProtectionAttributesAreClearedAndWhatIsInUseStays) {
  Sandbox box(L"ft-readonly");
  const std::wstring root = box.Root() + L"\\tree";
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, (root + L"\\a\\b").c_str(), nullptr), ERROR_SUCCESS);
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, (root + L"\\c").c_str(), nullptr), ERROR_SUCCESS);
  MakeFile(root + L"\\top.txt");
  MakeFile(root + L"\\a\\b\\held.txt");
  MakeFile(root + L"\\a\\b\\other.txt");
  MakeFile(root + L"\\c\\x.txt");
  ASSERT_TRUE(::SetFileAttributesW((root + L"\\top.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(::SetFileAttributesW((root + L"\\c\\x.txt").c_str(),
                                   FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  ASSERT_TRUE(::SetFileAttributesW((root + L"\\a\\b\\other.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(::SetFileAttributesW((root + L"\\c").c_str(), FILE_ATTRIBUTE_READONLY));
  // A read-only file that also lives outside the tree (a hard link): its attributes are
  // those of the outside file too, and stay as they are.
  const std::wstring outside = box.Root() + L"\\outside.txt";
  MakeFile(outside);
  ASSERT_TRUE(::SetFileAttributesW(outside.c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(::CreateHardLinkW((root + L"\\c\\linked.txt").c_str(), outside.c_str(), nullptr));
  HANDLE held = HoldWithoutDeleteSharing(root + L"\\a\\b\\held.txt");
  ASSERT_NE(held, INVALID_HANDLE_VALUE);

  EXPECT_FALSE(CUtility::DeleteFolderTree(root));
  EXPECT_TRUE(Exists(root + L"\\a\\b\\held.txt"));
  EXPECT_FALSE(Exists(root + L"\\a\\b\\other.txt"));
  EXPECT_FALSE(Exists(root + L"\\top.txt"));
  EXPECT_FALSE(Exists(root + L"\\c\\x.txt"));
  EXPECT_TRUE(Exists(root + L"\\c\\linked.txt"));
  EXPECT_TRUE(::GetFileAttributesW(outside.c_str()) & FILE_ATTRIBUTE_READONLY) << "the outside file is untouched";

  ::CloseHandle(held);
  ASSERT_TRUE(::SetFileAttributesW(outside.c_str(), FILE_ATTRIBUTE_NORMAL));  // both names may go now
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

// Junctions need FSCTL_SET_REPARSE_POINT from the file system, which Wine 8 refuses (error
// 50); the decisions of the walk are tested natively either way (FolderWalk in the unit
// tests), and under Wine with the one kind of link it has.
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
  LUMO_RELEASE_CHECK("3");
  LUMO_WINDOWS_ONLY(kNoJunctionsUnderWine);
  Sandbox box(L"ft-junction");
  const std::wstring outside = box.Root() + L"\\outside";
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, (outside + L"\\sub").c_str(), nullptr), ERROR_SUCCESS);
  MakeFile(outside + L"\\precious.txt");
  MakeFile(outside + L"\\sub\\more.txt");
  const std::wstring tree = box.Root() + L"\\tree";
  ASSERT_TRUE(::CreateDirectoryW(tree.c_str(), nullptr));
  MakeFile(tree + L"\\own.txt");
  ASSERT_TRUE(Make(tree + L"\\link", outside)) << "error " << unsupportedError_;
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

// Wine's links are Unix symbolic links: listed as folder links, opened as their targets even
// with FILE_FLAG_OPEN_REPARSE_POINT. The walk must neither enter one nor act on what it
// opened; there is no handle to the link itself, so under Wine the link stays (on Windows a
// link is opened as itself and removed, as the test above shows).
TEST_F(Junctions, UnderWineAUnixLinkIsNeitherEnteredNorActedOn) {
  LUMO_WINE_ONLY("Unix links");
  WineUnixLinks links(L"ft-unixlink", {L"tree\\link", L"tree\\filelink", L"toplink", L"emptylink"});
  Sandbox box(L"ft-unixlink");
  const std::wstring outside = box.Root() + L"\\outside";
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, (outside + L"\\sub").c_str(), nullptr), ERROR_SUCCESS);
  MakeFile(outside + L"\\precious.txt");
  const std::wstring tree = box.Root() + L"\\tree";
  ASSERT_TRUE(::CreateDirectoryW(tree.c_str(), nullptr));
  MakeFile(tree + L"\\own.txt");
  ASSERT_TRUE(MakeWineUnixLink(tree + L"\\link", outside));
  // Listed as a plain file, opened as its target: only the handle's own name tells.
  ASSERT_TRUE(MakeWineUnixLink(tree + L"\\filelink", outside + L"\\precious.txt"));
  ASSERT_TRUE(MakeWineUnixLink(box.Root() + L"\\toplink", outside));
  ASSERT_TRUE(MakeWineUnixLink(box.Root() + L"\\emptylink", outside + L"\\sub"));
  ASSERT_TRUE(Exists(tree + L"\\link\\precious.txt")) << "the link does not resolve";

  EXPECT_FALSE(CUtility::DeleteFolderTree(tree)) << "the link keeps the tree";
  EXPECT_FALSE(Exists(tree + L"\\own.txt"));
  EXPECT_TRUE(IsReparsePoint(tree + L"\\link"));
  EXPECT_TRUE(Exists(outside + L"\\precious.txt"));
  EXPECT_TRUE(Exists(outside + L"\\sub"));
  // A tree that is itself such a link, and a link to an empty folder.
  EXPECT_FALSE(CUtility::DeleteFolderTree(box.Root() + L"\\toplink\\"));
  EXPECT_FALSE(CUtility::RemoveFolder(box.Root() + L"\\emptylink"));
  EXPECT_TRUE(Exists(outside + L"\\precious.txt"));
  EXPECT_TRUE(Exists(outside + L"\\sub"));
}

// The checked road, one component at a time. Under Wine the link is a Unix link, which Wine
// opens as its target, showing no reparse attribute through the handle (and a reparse point
// in the listing only for a link to a folder): the handle's own name, the target's, refuses
// it here. On Windows the handle is the link itself and its reparse attribute refuses it,
// and from Windows 10 1803 the open itself is refused (OBJ_DONT_REPARSE, which Wine accepts
// and ignores): that, and junctions, Wine cannot show.
TEST_F(Junctions, TheCheckedWalkTakesFoldersRefusesLinksAndFilesAndMakesWhatIsMissing) {
  LUMO_RELEASE_CHECK("3");
  WineUnixLinks links(L"ft-walk", {L"link"});
  Sandbox box(L"ft-walk");
  const std::wstring outside = box.Root() + L"\\outside";
  ASSERT_TRUE(::CreateDirectoryW(outside.c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW((box.Root() + L"\\plain").c_str(), nullptr));
  MakeFile(box.Root() + L"\\file");
  ASSERT_TRUE(UnderWine() ? MakeWineUnixLink(box.Root() + L"\\link", outside) : Make(box.Root() + L"\\link", outside))
      << "error " << unsupportedError_;
  using lumo::Verdict;
  const struct {
    const wchar_t* name;
    Verdict verdict;
  } cases[] = {{L"plain", Verdict::kAccepted}, {L"link", Verdict::kLink}, {L"file", Verdict::kNotFolder},
               {L"missing", Verdict::kAccepted}};
  for (const auto& c : cases) {
    lumo::FolderChain chain;
    ASSERT_TRUE(chain.Open(box.Root(), true, false));
    const bool taken = chain.Descend(c.name, lumo::FolderChain::Create::kIfMissing, true);
    EXPECT_EQ(taken ? Verdict::kAccepted : chain.Failure().verdict, c.verdict) << c.name;
    if (taken) EXPECT_EQ(chain.Path(), box.Root() + L"\\" + c.name + L"\\");
  }
  EXPECT_TRUE(Exists(box.Root() + L"\\missing")) << "made where nothing was";

  // A road through the link stops at the link, and nothing is made behind it.
  lumo::FolderChain chain;
  EXPECT_FALSE(chain.Open(box.Root() + L"\\link\\made", true, true));
  EXPECT_EQ(chain.Failure().path, box.Root() + L"\\link");
  EXPECT_TRUE(chain.Empty());
  EXPECT_FALSE(Exists(outside + L"\\made"));
  // Unchecked (an unelevated run above its work folder) the link is the user's own business.
  EXPECT_TRUE(chain.Open(box.Root() + L"\\link\\made", false, true));
  EXPECT_TRUE(Exists(outside + L"\\made"));
}

TEST_F(Junctions, MountPointsUnderProgramDataAreKept) {
  LUMO_WINDOWS_ONLY(kNoJunctionsUnderWine);
  Sandbox box(L"ft-programdata");
  const std::wstring outside = box.Root() + L"\\target";
  ASSERT_TRUE(::CreateDirectoryW(outside.c_str(), nullptr));
  MakeFile(outside + L"\\precious.txt");
  const std::wstring area = box.Root() + L"\\ProgramData";
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, (area + L"\\Ondrix").c_str(), nullptr), ERROR_SUCCESS);
  MakeFile(area + L"\\Ondrix\\file.txt");
  ASSERT_TRUE(Make(area + L"\\Ondrix\\mount", outside)) << "error " << unsupportedError_;

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
