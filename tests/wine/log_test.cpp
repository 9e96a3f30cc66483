// The log against the real file system: encoding, line ends, file name, the last error,
// and the lines that are lost (never waited for) when the file cannot be opened.
#include <gtest/gtest.h>

#include "support/junction.h"
#include "support/winsupport.h"
#include "util/utility.h"

namespace {

using namespace testsupport;

TEST(Log, WritesUtf16LinesWithCrLfIntoTheSessionFileOfTheTempFolder) {
  Sandbox box(L"log-format");
  const std::wstring path = LogPath(box.Temp());
  EXPECT_EQ(CUtility::GetLogFilePath(), path);

  CUtility::Log(L"[%ls] first %d", L"Test::One", 1);
  CUtility::Log(L"[%ls] second", L"Test::Two");

  const std::vector<uint8_t> bytes = ReadBytes(path);
  ASSERT_GE(bytes.size(), 4u);
  // No byte-order mark: the file starts with the first line's "[".
  EXPECT_EQ(bytes[0], '[');
  EXPECT_EQ(bytes[1], 0);
  EXPECT_EQ(bytes.size() % 2, 0u);

  const std::wstring text = ReadUtf16(path);
  ASSERT_EQ(text.substr(text.size() - 2), L"\r\n");
  const std::vector<std::wstring> lines = Lines(text);
  ASSERT_EQ(lines.size(), 2u);
  const std::wstring pid = L"[" + std::to_wstring(::GetCurrentProcessId()) + L"]";
  EXPECT_EQ(lines[0].rfind(pid, 0), 0u);
  EXPECT_TRUE(Contains(lines[0], L"  [Test::One] first 1 (Last="));
  EXPECT_TRUE(Contains(lines[1], L"  [Test::Two] second (Last="));
  // The time field: "YYYY-MM-DD HH:MM:SS" right after the process id.
  const std::wstring time = lines[0].substr(pid.size(), 19);
  EXPECT_EQ(time[4], L'-');
  EXPECT_EQ(time[10], L' ');
  EXPECT_EQ(time[13], L':');
}

TEST(Log, LineEndsInTheThreadsLastError) {
  Sandbox box(L"log-last");
  ::SetLastError(5);
  CUtility::Log(L"[%ls] after access denied", L"Test::Last");
  // Logging leaves the caller's last error as it found it.
  EXPECT_EQ(::GetLastError(), 5u);
  const std::vector<std::wstring> lines = Lines(ReadUtf16(LogPath(box.Temp())));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(lines[0].size() - 9), L" (Last=5)") << lines[0];
}

TEST(Log, ReadOnlyFileLosesTheLineAndTheCallerGoesOn) {
  Sandbox box(L"log-readonly");
  const std::wstring path = LogPath(box.Temp());
  CUtility::Log(L"[%ls] kept", L"Test::RO");
  ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
  HANDLE probe = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    // Wine keeps the read-only attribute in the Unix permission bits, which root ignores.
    ::CloseHandle(probe);
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    GTEST_SKIP() << "this platform lets the process write a read-only file (Wine as root)";
  }
  CUtility::Log(L"[%ls] lost", L"Test::RO");
  ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  const std::wstring text = ReadUtf16(path);
  EXPECT_TRUE(Contains(text, L"kept"));
  EXPECT_FALSE(Contains(text, L"lost"));
}

TEST(Log, LineIsLostWhileAnotherWriterHoldsTheFile) {
  Sandbox box(L"log-held");
  const std::wstring path = LogPath(box.Temp());
  CUtility::Log(L"[%ls] before", L"Test::Held");
  HANDLE held = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const DWORD start = ::GetTickCount();
  CUtility::Log(L"[%ls] during", L"Test::Held");
  EXPECT_LT(::GetTickCount() - start, 2000u) << "a held log file must not be waited for";
  ::CloseHandle(held);
  CUtility::Log(L"[%ls] after", L"Test::Held");
  const std::wstring text = ReadUtf16(path);
  EXPECT_TRUE(Contains(text, L"before"));
  EXPECT_FALSE(Contains(text, L"during"));
  EXPECT_TRUE(Contains(text, L"after"));
}

// A log that is a link, or a file with other names, would carry the lines into another file:
// it is not written, and the line is lost. Wine lists a Unix link to a file as a plain file
// and opens its target; the handle's own name, the target's, is what tells it there. On
// Windows the link, a symbolic link there, shows its reparse attribute through its own handle.
TEST(Log, ALogThatIsALinkOrHasOtherNamesIsNotWritten) {
  const std::wstring logName = L"temp\\unpack" + std::to_wstring(static_cast<int>(SessionId())) + L".log";
  for (const bool hardLink : {false, true}) {
    const std::wstring name = hardLink ? L"log-hardlink" : L"log-link";
    WineUnixLinks links(name, {logName});
    Sandbox box(name);
    const std::wstring other = box.Root() + L"\\other.log";
    ASSERT_TRUE(WriteBytes(other, "kept", 4));
    const std::wstring path = LogPath(box.Temp());
    if (hardLink)
      ASSERT_TRUE(::CreateHardLinkW(path.c_str(), other.c_str(), nullptr));
    else
      ASSERT_TRUE(MakeLink(path, other));
    CUtility::Log(L"[%ls] lost", L"Test::Link");
    const std::vector<uint8_t> bytes = ReadBytes(other);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "kept") << name;
  }
}

TEST(Log, FileExceptionWritesTheSystemsTextOrNothing) {
  Sandbox box(L"log-file-exception");
  CUtility::FileException(ERROR_ACCESS_DENIED, L"C:\\x\\a.txt");
  CUtility::FileException(0x20001234, L"C:\\x\\b.txt");  // an error without any text
  const std::vector<std::wstring> lines = Lines(ReadUtf16(LogPath(box.Temp())));
  ASSERT_EQ(lines.size(), 1u) << "nothing for the error without text";
  EXPECT_TRUE(Contains(lines[0], L"[CUtility::FileException] ")) << lines[0];
  EXPECT_TRUE(Contains(lines[0], L" (C:\\x\\a.txt) (Last=5)")) << lines[0];
}

TEST(Log, ModulePathNamesThisProgram) {
  const std::wstring path = CUtility::GetModulePath();
  EXPECT_TRUE(Contains(path, L"wine_tests.exe")) << path;
}

}  // namespace
