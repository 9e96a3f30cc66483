// The expand.exe stand-in's rules: what its command line asks for, which cabinet names may
// be written below the destination, and which names a "/f:" pattern selects.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "standins/expand/core/expand_core.h"
#include "tests/support/tiny_cabinet.h"

namespace {

using expandtool::CabinetChecksum;
using expandtool::CheckCabinet;
using expandtool::ExpandedFileAttributes;
using expandtool::ParseArguments;
using expandtool::SafeRelativeName;
using expandtool::Selected;
using expandtool::WildcardMatch;

TEST(ExpandArguments, TheLaunchersCommandLine) {
  const auto request = ParseArguments({L"*.cab", L"/f:*", L".\\"});
  ASSERT_TRUE(request.ok()) << request.error;
  ASSERT_EQ(request.sources.size(), 1u);
  EXPECT_EQ(request.sources[0], L"*.cab");
  EXPECT_EQ(request.filter, L"*");
  EXPECT_EQ(request.destination, L".\\");
  EXPECT_FALSE(request.list);
}

TEST(ExpandArguments, PlainFormsAndOptionSpellings) {
  auto request = ParseArguments({L"C:\\in\\a.cab", L"-F:*.exe", L"C:\\out"});
  ASSERT_TRUE(request.ok());
  EXPECT_EQ(request.sources, std::vector<std::wstring>{L"C:\\in\\a.cab"});
  EXPECT_EQ(request.filter, L"*.exe");
  EXPECT_EQ(request.destination, L"C:\\out");

  // Several sources: the last plain argument is the destination; "/r" changes nothing.
  request = ParseArguments({L"/R", L"a.cab", L"b.cab", L"out"});
  ASSERT_TRUE(request.ok());
  EXPECT_EQ(request.sources, (std::vector<std::wstring>{L"a.cab", L"b.cab"}));
  EXPECT_EQ(request.destination, L"out");
  EXPECT_EQ(request.filter, L"*") << "without /f: every file";

  request = ParseArguments({L"-d", L"a.cab"});
  ASSERT_TRUE(request.ok());
  EXPECT_TRUE(request.list);
  EXPECT_TRUE(request.destination.empty());

  EXPECT_TRUE(ParseArguments({L"/lumo:identify"}).identify);
}

TEST(ExpandArguments, IncompleteOrUnknownCommandLinesAreRefused) {
  EXPECT_FALSE(ParseArguments({}).ok());
  EXPECT_FALSE(ParseArguments({L"a.cab"}).ok()) << "no destination";
  EXPECT_FALSE(ParseArguments({L"/f:*", L"out"}).ok()) << "a destination alone";
  EXPECT_FALSE(ParseArguments({L"a.cab", L"/f:", L"out"}).ok());
  EXPECT_FALSE(ParseArguments({L"a.cab", L"/f:a", L"/f:b", L"out"}).ok());
  EXPECT_FALSE(ParseArguments({L"a.cab", L"/x", L"out"}).ok());
  EXPECT_FALSE(ParseArguments({L"/d"}).ok());
  EXPECT_FALSE(ParseArguments({L"a.cab", L"out"}).identify);
}

TEST(ExpandNames, PlainAndNestedNamesStayBelowTheDestination) {
  EXPECT_EQ(SafeRelativeName(L"OXManagerLUMO.exe"), L"OXManagerLUMO.exe");
  EXPECT_EQ(SafeRelativeName(L"sub/dir\\file.txt"), L"sub\\dir\\file.txt");
  EXPECT_EQ(SafeRelativeName(L"..name"), L"..name") << "dots inside a name are harmless";
  EXPECT_EQ(SafeRelativeName(L"a..b\\c"), L"a..b\\c");
  EXPECT_EQ(SafeRelativeName(L"connection.txt"), L"connection.txt");
  EXPECT_EQ(SafeRelativeName(L"com10"), L"com10");
}

TEST(ExpandNames, NamesThatLeaveTheDestinationOrNameDevicesAreRefused) {
  for (const wchar_t* name :
       {L"", L"..", L"..\\evil.exe", L"../evil.exe", L"a\\..\\..\\evil.exe", L"a/../b", L".\\a",
        L"\\windows\\evil.exe", L"/etc/passwd", L"\\\\server\\share\\x", L"C:\\evil.exe", L"C:evil.exe",
        L"file.txt:stream", L"a\\\\b", L"a\\", L"trailing.", L"trailing ", L"dir.\\x", L"CON",
        L"nul.txt", L"sub\\Com1.log", L"LPT9", L"conout$", L"a\x01" L"b", L"wild*", L"q?", L"a|b",
        L"a<b", L"a\"b"}) {
    EXPECT_EQ(SafeRelativeName(name), L"") << "accepted: " << testing::PrintToString(std::wstring(name));
  }
}

TEST(ExpandNames, FilterPatterns) {
  EXPECT_TRUE(WildcardMatch(L"*", L""));
  EXPECT_TRUE(WildcardMatch(L"*.cab", L"LUMO-AGENT.CAB"));
  EXPECT_TRUE(WildcardMatch(L"ox*lumo.exe", L"OXManagerLUMO.exe"));
  EXPECT_TRUE(WildcardMatch(L"dxprinter?.cat", L"dxprinterx.cat"));
  EXPECT_FALSE(WildcardMatch(L"dxprinter?.cat", L"dxprinter.cat"));
  EXPECT_FALSE(WildcardMatch(L"*.cab", L"a.cab.txt"));
  EXPECT_TRUE(WildcardMatch(L"*a*b*", L"xxaxxbxx"));
  EXPECT_FALSE(WildcardMatch(L"*a*b", L"xxaxxbxxc"));

  EXPECT_TRUE(Selected(L"*", L"any\\thing"));
  EXPECT_TRUE(Selected(L"*.*", L"NoDot"));
  EXPECT_TRUE(Selected(L"file.txt", L"sub\\file.txt")) << "the last component decides too";
  EXPECT_TRUE(Selected(L"sub\\*", L"sub\\file.txt"));
  EXPECT_FALSE(Selected(L"*.exe", L"ALUMO.xml"));
}

TEST(ExpandAttributes, TheCabinetsProtectionAndArchiveBitsAndNothingElse) {
  const struct {
    uint16_t stored;
    uint32_t expanded;
  } cases[] = {
      {0x0000, 0x80},  // none: a normal file
      {0x0020, 0x20},  // what gcab stores
      {0x0001, 0x01},
      {0x0027, 0x27},  // read-only, hidden, system, archive
      {0x0040, 0x80},  // "execute" is no file attribute
      {0x00C3, 0x03},  // nor is "name is UTF-8"
      {0x0010, 0x80},  // a directory bit in a cabinet is not taken over
  };
  for (const auto& c : cases) EXPECT_EQ(ExpandedFileAttributes(c.stored), c.expanded) << std::hex << c.stored;
}

std::vector<uint8_t> Tiny() { return testsupport::TinyCabinet(); }

TEST(ExpandCabinetCheck, ChecksumFollowsTheCabinetFormat) {
  const std::vector<uint8_t> cab = Tiny();
  const size_t block = 93;
  const uint32_t compressed = cab[block + 4] | (cab[block + 5] << 8);
  EXPECT_EQ(CabinetChecksum(&cab[block + 4], 4, CabinetChecksum(&cab[block + 8], compressed, 0)), 0xC89C1FB6u);
  // Trailing bytes count in reverse order.
  const uint8_t three[] = {1, 2, 3};
  EXPECT_EQ(CabinetChecksum(three, 3, 0), 0x010203u);
  const uint8_t five[] = {1, 2, 3, 4, 5};
  EXPECT_EQ(CabinetChecksum(five, 5, 0), 0x04030201u ^ 5u);
}

TEST(ExpandCabinetCheck, SoundCabinetPasses) {
  const std::vector<uint8_t> cab = Tiny();
  EXPECT_EQ(CheckCabinet(cab.data(), cab.size()), L"");
  std::vector<uint8_t> longer = cab;
  longer.push_back(0);  // bytes behind the cabinet's end are not part of it
  EXPECT_EQ(CheckCabinet(longer.data(), longer.size()), L"");
}

TEST(ExpandCabinetCheck, DamagedCabinetsAreRefused) {
  const std::vector<uint8_t> cab = Tiny();
  // A changed byte in the compressed data.
  std::vector<uint8_t> flipped = cab;
  flipped[120] ^= 0x20;
  EXPECT_NE(CheckCabinet(flipped.data(), flipped.size()).find(L"damaged data block 1"), std::wstring::npos);
  // A block without a recorded checksum cannot be checked and passes.
  std::vector<uint8_t> unsummed = flipped;
  for (size_t i = 93; i < 97; ++i) unsummed[i] = 0;
  EXPECT_EQ(CheckCabinet(unsummed.data(), unsummed.size()), L"");
  // Cut short anywhere.
  for (size_t length : {size_t{0}, size_t{10}, size_t{40}, size_t{100}, cab.size() - 1}) {
    EXPECT_NE(CheckCabinet(cab.data(), length), L"") << length;
  }
  // A data block said to lie behind the end.
  std::vector<uint8_t> misplaced = cab;
  misplaced[36] = 0xF0;
  EXPECT_EQ(CheckCabinet(misplaced.data(), misplaced.size()), L"the cabinet is cut short");
  std::vector<uint8_t> other = cab;
  other[3] = 'X';
  EXPECT_EQ(CheckCabinet(other.data(), other.size()), L"not a cabinet");
}

}  // namespace
