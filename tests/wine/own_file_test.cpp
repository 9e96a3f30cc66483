// The launcher's own file, held from the start of the process: a probe program
// (tests/helpers/own_file_probe.cpp) builds the same owner as the launcher at its start and
// reports the verdict, then what its handle reads. Each case starts the probe suspended, so
// that whatever is done to its file before the resume is done before the open.
//
// What Wine cannot show: its share modes are checked by its own server, not by NTFS, SMB or
// FAT (a download on a network share or a USB stick), and it has no NTFS streams (a stream
// renamed away, which the mapped-file check also catches); a Unix rename from outside Wine
// stands for a replacement behind Windows' back. Nor the version read from the loaded module
// rather than from the path: Wine's version functions answer for the path of a loaded module
// from the module itself. docs/RELEASE-CHECKS.md holds the Windows runs.
#include <gtest/gtest.h>

#include <functional>

#include "support/junction.h"
#include "support/platform.h"
#include "support/winsupport.h"
#include "util/launcher_file.h"

namespace {

using namespace testsupport;

std::wstring Fnv(const std::vector<uint8_t>& bytes) {
  unsigned long long hash = 14695981039346656037ull;
  for (uint8_t b : bytes) hash = (hash ^ b) * 1099511628211ull;
  wchar_t text[64] = {};
  swprintf(text, 64, L"%llu %016llx", static_cast<unsigned long long>(bytes.size()), hash);
  return text;
}

TEST(OwnFile, TheHeldFileIsTheOneStartedAndTheOneReadWhateverHappensAtItsPath) {
  Sandbox box(L"own-file");
  const std::vector<uint8_t> probeBytes = ReadBytes(ExeDir() + L"\\own_file_probe.exe");
  const std::vector<uint8_t> otherBytes = ReadBytes(LauncherPath());
  ASSERT_FALSE(probeBytes.empty());
  ASSERT_FALSE(otherBytes.empty());
  using Action = std::function<bool(const std::wstring& exe)>;
  const Action nothing = [](const std::wstring&) { return true; };
  const struct {
    const char* name;
    Action beforeOpen;      // while the probe is suspended
    Action afterVerdict;    // before it reads its file back
    const wchar_t* verdict;
    DWORD blockedMs = 0;    // another program holds the file with DELETE access this long after the resume
  } cases[] = {
      {"held", nothing, nothing, L"held"},
      {"held by a scanner for a moment", nothing, nothing, L"held", 300},
      {"held by another program for good", nothing, nothing, L"open failed 32", 4000},
      {"renamed before the open, a byte-identical copy at its name",
       [&](const std::wstring& exe) {
         return ::MoveFileW(exe.c_str(), (exe + L".away").c_str()) && WriteBytes(exe, probeBytes.data(), probeBytes.size());
       },
       nothing, L"another file 0xC00000D4"},
      {"a hard link to the same file at its name",
       [](const std::wstring& exe) {
         return ::MoveFileW(exe.c_str(), (exe + L".first").c_str()) &&
                ::CreateHardLinkW(exe.c_str(), (exe + L".first").c_str(), nullptr);
       },
       nothing, L"held"},
      {"replaced after the open: refused through Windows; behind its back, the handle still reads the original",
       nothing,
       [&](const std::wstring& exe) {
         const std::wstring other = exe + L".other";
         const bool refused = !::MoveFileW(exe.c_str(), (exe + L".away").c_str()) &&
                              ::GetLastError() == ERROR_SHARING_VIOLATION && !::DeleteFileW(exe.c_str()) &&
                              ::CreateFileW(exe.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                            nullptr) == INVALID_HANDLE_VALUE;
         LUMO_ON_WINDOWS("10", "the running download cannot be deleted or written (error 32), nor its folder renamed") {
           const std::wstring folder = exe.substr(0, exe.rfind(L'\\'));
           EXPECT_FALSE(::DeleteFileW(exe.c_str()));
           EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
           EXPECT_EQ(::CreateFileW(exe.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
           EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
           EXPECT_FALSE(::MoveFileW(folder.c_str(), (folder + L".away").c_str())) << "NTFS keeps the folder's name";
           return refused;  // no replacement behind Windows' back here
         }
         return refused && WriteBytes(other, otherBytes.data(), otherBytes.size()) &&
                UnixRename(other, exe, otherBytes);
       },
       L"held"},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring folder = box.Root() + L"\\" + std::to_wstring(++index);
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring exe = folder + L"\\probe.exe", report = folder + L"\\report.txt", go = folder + L"\\go";
    ASSERT_TRUE(WriteBytes(exe, probeBytes.data(), probeBytes.size()));

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring command = Quote(exe) + L" " + Quote(report) + L" " + Quote(go);
    ASSERT_TRUE(::CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                                 &startup, &process));
    const bool before = c.beforeOpen(exe);
    HANDLE blocker = INVALID_HANDLE_VALUE;
    if (c.blockedMs != 0)
      blocker = ::CreateFileW(exe.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(c.blockedMs != 0, blocker != INVALID_HANDLE_VALUE);
    ::ResumeThread(process.hThread);
    ::CloseHandle(process.hThread);
    if (blocker != INVALID_HANDLE_VALUE) {
      ::Sleep(c.blockedMs);
      ::CloseHandle(blocker);
    }
    EXPECT_TRUE(before);
    const std::vector<std::wstring> verdict = WaitForLines(report, 1, 20000);
    const bool after = c.afterVerdict(exe);
    WriteBytes(go, "", 0);
    const std::vector<std::wstring> lines = WaitForLines(report, 2, 30000);
    EXPECT_EQ(WaitExit(process.hProcess, 20000), 0);
    EXPECT_TRUE(after);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], c.verdict);
    // A failed open reads nothing; every other handle reads the bytes that were started.
    EXPECT_EQ(lines[1], Fnv(lines[0].compare(0, 11, L"open failed") == 0 ? std::vector<uint8_t>() : probeBytes));
  }
}

// The elevated copy is started by the path the system resolved for the held handle. Wine
// cannot show a download on a network share ("\\\\?\\UNC\\..."): docs/RELEASE-CHECKS.md.
TEST(OwnFile, TheHeldFileIsNamedByItsFinalPathInTheWin32Form) {
  Sandbox box(L"own-file-final");
  const std::wstring file = box.Root() + L"\\held.exe";
  ASSERT_TRUE(WriteBytes(file, "MZ", 2));
  const CLauncherFile held(file);
  ASSERT_TRUE(held.IsHeld());
  EXPECT_EQ(held.FinalPath(), file);
}

}  // namespace
