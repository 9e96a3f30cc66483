// Packing and running launchers in end-to-end tests.
//
//   Sandbox box(L"my-test");                                  // private TMP/TEMP
//   LauncherRun run = PackAndRun(box, L"OXUnPackLUMO.exe",
//                                {{"setup.cab", CabBytes()}, {".init_setting.ini", Text("...")}},
//                                L"/T 123456", 60000);
//   EXPECT_EQ(run.exitCode, 0);
//   EXPECT_TRUE(Contains(run.log, L"UnPack total 2 files."));
//
// The launcher is the release launcher, the one users download (out/win32/OXUnPackLUMO.exe,
// a 32-bit program run under WOW64): the end-to-end program chooses it (tests/e2e/main.cpp).
// A test set that must hold for the x86_64 build too runs on both (EachBuild below). The
// launcher is packed with the same container writer that lumo-pack uses, into the sandbox root
// under the given file name, and run there; it inherits the sandbox's TMP/TEMP, so its log
// lies in box.Temp() (an elevated run's work folder, every run's under Wine, lies under the
// Windows temp folder: LoggedWorkFolder). `log` holds only the lines that this run added to
// the session's log. A run that outlives its timeout is killed (exitCode -1, timedOut true).
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "support/winsupport.h"
#include "unpack/core/container.h"
#include "unpack/core/container_writer.h"

namespace testsupport {

// Why the release launcher cannot run on this machine, empty when it can: scripts/test probes
// once (scripts/wine --probe-i686) and hands the reason down in LUMO_NO_I686.
inline std::string ReleaseUnavailable() {
  char reason[512] = {};
  const DWORD length = ::GetEnvironmentVariableA("LUMO_NO_I686", reason, sizeof reason);
  return length < sizeof reason ? std::string(reason, length) : std::string("(reason too long)");
}

// The build the end-to-end runs use unless their set runs on both: the release launcher, or,
// where it cannot run, the x86_64 build of the same sources (scripts/test says so).
inline LauncherBuild DefaultEndToEndBuild() {
  return ReleaseUnavailable().empty() ? LauncherBuild::kRelease : LauncherBuild::kX64;
}

// A set that runs on both builds: its fixture derives from EachBuild, its tests are TEST_P,
// and LUMO_ON_BOTH_BUILDS(Set) follows them. Each test then runs as Set.Test/i686 with the
// release launcher and as Set.Test/x86_64; the i686 run is skipped, with the reason, where
// 32-bit programs cannot run.
class EachBuild : public ::testing::TestWithParam<LauncherBuild> {
 protected:
  void SetUp() override {
    if (GetParam() == LauncherBuild::kRelease && !ReleaseUnavailable().empty())
      GTEST_SKIP() << "32-bit programs do not run here: " << ReleaseUnavailable();
    LauncherUnderTest() = GetParam();
  }
  void TearDown() override { LauncherUnderTest() = DefaultEndToEndBuild(); }
  bool IsRelease() const { return GetParam() == LauncherBuild::kRelease; }
};

inline std::string BuildName(const ::testing::TestParamInfo<LauncherBuild>& info) {
  return info.param == LauncherBuild::kRelease ? "i686" : "x86_64";
}

#define LUMO_ON_BOTH_BUILDS(set)                                                        \
  INSTANTIATE_TEST_SUITE_P(, set,                                                       \
                           ::testing::Values(testsupport::LauncherBuild::kRelease,     \
                                             testsupport::LauncherBuild::kX64),        \
                           testsupport::BuildName)

// One payload entry: name (8-bit text, written as given, so tests may pass malformed names)
// and data.
using PayloadFile = lumo::PackEntry;

inline std::vector<uint8_t> TextBytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// Bytes of a recognisable pattern, different for each seed.
inline std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

// The packed bytes of the launcher with these entries; `filler` as in lumo::PackInMemory.
inline std::vector<uint8_t> PackedLauncherBytes(const std::vector<PayloadFile>& files, int64_t filler = -1) {
  return lumo::PackInMemory(ReadBytes(LauncherPath()), "OXUnPackLUMO.exe", files, filler);
}

// Writes `bytes` as folder\fileName; returns the path, or an empty string on failure.
inline std::wstring WriteLauncher(const std::wstring& folder, const std::wstring& fileName,
                                  const std::vector<uint8_t>& bytes) {
  const std::wstring path = folder + L"\\" + fileName;
  return WriteBytes(path, bytes.data(), bytes.size()) ? path : std::wstring();
}

// Packs the launcher with these entries into folder\fileName; returns its path (empty on
// failure).
inline std::wstring PackLauncher(const std::wstring& folder, const std::wstring& fileName,
                                 const std::vector<PayloadFile>& files, int64_t filler = -1) {
  return WriteLauncher(folder, fileName, PackedLauncherBytes(files, filler));
}

// The sandbox's work folder for this session, with its trailing backslash: where an
// unelevated run works, and where an elevated one clears a leftover.
inline std::wstring WorkFolder(const Sandbox& box) {
  return box.Temp() + L"unpacklumo\\" + std::to_wstring(static_cast<int>(SessionId())) + L"\\";
}

// The Windows temp folder, with its backslash: every elevated run (every run under Wine)
// makes its work folder there, "lumo-", its session, "-" and 32 hexadecimal digits.
inline std::wstring SystemTempFolder() {
  wchar_t windows[MAX_PATH] = {};
  ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
  return std::wstring(windows) + L"\\Temp\\";
}

// The "lumo-*" folders there now, by full path with a backslash.
inline std::vector<std::wstring> ElevatedWorkFolders() {
  std::vector<std::wstring> found;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((SystemTempFolder() + L"lumo-*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return found;
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) found.push_back(SystemTempFolder() + data.cFileName + L"\\");
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  return found;
}

// While a launcher runs: the one "lumo-*" folder that was not there `before`, empty while
// there is none (the log is not read meanwhile, since a reader would cost the launcher the
// line it is writing).
inline std::wstring NewElevatedWorkFolder(const std::vector<std::wstring>& before) {
  for (const std::wstring& folder : ElevatedWorkFolders())
    if (std::find(before.begin(), before.end(), folder) == before.end()) return folder;
  return std::wstring();
}

// Whether two paths name the same file as the file system compares names: without regard
// to case (Wine gives a program's own path the case of the disk, "C:\\windows\\temp").
inline bool SamePath(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

// The work folder a run's log names, with its backslash: the folder of its first extracted
// entry ("(1/N)UnPack file name:<folder><name> (<size>)"); empty when it extracted none.
inline std::wstring LoggedWorkFolder(const std::wstring& log) {
  const std::wstring entry = L")UnPack file name:";
  const size_t at = log.find(entry);
  if (at == std::wstring::npos) return std::wstring();
  const size_t from = at + entry.size();
  const std::wstring path = log.substr(from, log.find(L" (", from) - from);
  return path.substr(0, path.rfind(L'\\') + 1);
}

struct LauncherRun {
  long exitCode = -2;     // the process's exit code; -1 timed out (killed), -2 did not start
  bool timedOut = false;
  std::wstring log;       // the log text this run added (lines end in CR LF)
};

// Runs a launcher with `arguments` (appended to its quoted path) in the sandbox root.
// `whileRunning`, when given, is called once right after the start, e.g. to answer a
// message box; the wait for the end follows it.
inline LauncherRun RunLauncher(const Sandbox& box, const std::wstring& launcher, const std::wstring& arguments = L"",
                               DWORD timeoutMs = 60000, const std::function<void()>& whileRunning = nullptr) {
  LauncherRun run;
  const std::wstring logPath = LogPath(box.Temp());
  const size_t before = ReadUtf16(logPath).size();
  std::wstring command = Quote(launcher);
  if (!arguments.empty()) command += L" " + arguments;
  HANDLE process = Start(command, box.Root().c_str());
  if (process == nullptr) return run;
  if (whileRunning) whileRunning();
  run.exitCode = WaitExit(process, timeoutMs);
  run.timedOut = run.exitCode == -1;
  const std::wstring text = ReadUtf16(logPath);
  if (text.size() > before) run.log = text.substr(before);
  // Wine now and then fails to start one program of a run (1359 from CreateProcessW, or 9009
  // from its cmd, which ends so for "not found" too), and the run then goes on as after any
  // failed step. The line lets the test script run a failed test once more (scripts/test): a
  // fault of the launcher's fails again; a payload without the program named fails alike.
  if (UnderWine() && (Contains(run.log, L"[CUnPackFileApp::ExecuteCommand] fail 1359 ") ||
                      Contains(run.log, L" finish ecode:9009 "))) {
    std::printf("[ WINE START FAULT ] a command of this run did not start (1359, or 9009 from cmd)\n");
    std::fflush(stdout);
  }
  return run;
}

// Packs the launcher into box.Root()\fileName and runs it.
inline LauncherRun PackAndRun(const Sandbox& box, const std::wstring& fileName, const std::vector<PayloadFile>& files,
                              const std::wstring& arguments = L"", DWORD timeoutMs = 60000) {
  const std::wstring launcher = PackLauncher(box.Root(), fileName, files);
  if (launcher.empty()) return LauncherRun{};
  return RunLauncher(box, launcher, arguments, timeoutMs);
}

// Log lines of a run that contain `part`.
inline std::vector<std::wstring> LinesWith(const std::wstring& log, const std::wstring& part) {
  std::vector<std::wstring> found;
  for (const std::wstring& line : Lines(log)) {
    if (Contains(line, part)) found.push_back(line);
  }
  return found;
}

}  // namespace testsupport
