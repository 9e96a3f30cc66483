#include "util/core/log_format.h"

#include <gtest/gtest.h>

namespace {

using lumo::FormatLogLine;
using lumo::FormatLogMessage;

TEST(LogLine, CarriesPidTimeTwoBlanksMessageAndLastError) {
  EXPECT_EQ(FormatLogLine(4242, L"2024-07-24 07:33:07",
                          L"[CUnPackFileApp::InitInstance] LUMO skip without unpacking files", 0),
            L"[4242]2024-07-24 07:33:07  [CUnPackFileApp::InitInstance] LUMO skip without unpacking files (Last=0)");
  // An empty time field (the conversion failed) still gives a line.
  EXPECT_EQ(FormatLogLine(7, L"", L"x", 5), L"[7]  x (Last=5)");
  // The error is printed signed, as the design's "%d" does.
  EXPECT_EQ(FormatLogLine(1, L"t", L"m", -1), L"[1]t  m (Last=-1)");
}

TEST(LogTime, IsZeroPaddedAndEmptyWhenFieldsAreInvalid) {
  EXPECT_EQ(lumo::FormatLogTime(2024, 7, 4, 7, 3, 9), L"2024-07-04 07:03:09");
  EXPECT_EQ(lumo::FormatLogTime(2024, 13, 4, 7, 3, 9), L"");
  EXPECT_EQ(lumo::FormatLogTime(2024, 1, 1, 24, 0, 0), L"");
}

TEST(LogMessage, FormatsWideArgumentsWithPercentLs) {
  EXPECT_EQ(FormatLogMessage(L"[%ls] Header offset:%d", L"CUnPack::FindHeader", 4096),
            L"[CUnPack::FindHeader] Header offset:4096");
  EXPECT_EQ(FormatLogMessage(L"[%ls]  FreeSpace:%lld FileSize:%lld", L"P", 123456789012LL, 5LL),
            L"[P]  FreeSpace:123456789012 FileSize:5");
}

TEST(LogMessage, PercentArrivingThroughAnArgumentIsWrittenUnchanged) {
  EXPECT_EQ(FormatLogMessage(L"[%ls] Name:%ls", L"S", L"C:\\100%s\\%d%n.exe"),
            L"[S] Name:C:\\100%s\\%d%n.exe");
}

TEST(LogMessage, IsCutAt1022Characters) {
  const std::wstring exact(1022, L'a');
  EXPECT_EQ(FormatLogMessage(L"%ls", exact.c_str()), exact);
  const std::wstring longer(5000, L'b');
  const std::wstring cut = FormatLogMessage(L"x%ls", longer.c_str());
  ASSERT_EQ(cut.size(), 1022u);
  EXPECT_EQ(cut[0], L'x');
  EXPECT_EQ(cut.substr(1), std::wstring(1021, L'b'));
}

TEST(LogMessage, TheCutNeverPartsASurrogatePairAndKeepsLoneSurrogates) {
  const std::wstring head(1021, L'a');
  struct Case {
    std::wstring text;
    std::wstring kept;
  } cases[] = {
      {head + L"\xD83D\xDE00 after", head},                // the pair would be parted: it goes whole
      {head.substr(1) + L"\xD83D\xDE00 after", head.substr(1) + L"\xD83D\xDE00"},
      {head + L"\xD800x", head + L"\xD800"},                // lone surrogates stay as they are
      {head + L"\xDC00\xDC00", head + L"\xDC00"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatLogMessage(L"%ls", c.text.c_str()), c.kept);
}

// A message's own line break would start a line that reads as one of the launcher's.
TEST(LogLine, IsOneLineEndingInCrLf) {
  const std::wstring line = FormatLogLine(1, L"t", L"NOTE=a\r\n[2]t  forged\n", 0);
  EXPECT_EQ(line, L"[1]t  NOTE=a  [2]t  forged  (Last=0)");
  EXPECT_EQ(lumo::LogFileRecord(L"a\xD800"), std::string("a\0\0\xD8\r\0\n\0", 8));
}

TEST(LogFile, NameCarriesTheSignedSessionId) {
  EXPECT_EQ(lumo::LogFileName(1), L"unpack1.log");
  EXPECT_EQ(lumo::LogFileName(-1), L"unpack-1.log");
}

TEST(StripPathComponents, CutsBeforeTheLastBackslashCountTimes) {
  std::wstring path = L"C:\\Users\\a\\Downloads\\x.exe";
  lumo::StripPathComponents(path, 1);
  EXPECT_EQ(path, L"C:\\Users\\a\\Downloads");
  path = L"C:\\Temp\\unpacklumo\\3";
  lumo::StripPathComponents(path, 1);
  EXPECT_EQ(path, L"C:\\Temp\\unpacklumo");
  path = L"C:\\Temp\\unpacklumo\\3";
  lumo::StripPathComponents(path, 2);
  EXPECT_EQ(path, L"C:\\Temp");
  // A pass without a backslash changes nothing, and later passes find none either.
  path = L"C:\\x";
  lumo::StripPathComponents(path, 3);
  EXPECT_EQ(path, L"C:");
  path = L"plain";
  lumo::StripPathComponents(path, 1);
  EXPECT_EQ(path, L"plain");
  // A trailing backslash is the last one: only it goes.
  path = L"C:\\Temp\\unpacklumo\\3\\";
  lumo::StripPathComponents(path, 1);
  EXPECT_EQ(path, L"C:\\Temp\\unpacklumo\\3");
}

}  // namespace
