// The settings rules of the initial settings file, the per-session key mapping and the
// decimal conversion they share.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <string>
#include <vector>

#include "settings/core/decimal.h"
#include "settings/core/init_rules.h"
#include "settings/core/key_mapping.h"

namespace {

using namespace lumo;

// A "Settings" section as the profile reader would present it; records the keys asked for.
struct Section {
  std::map<std::wstring, std::wstring> values;
  std::vector<std::wstring> asked;
  SettingLookup Lookup() {
    return [this](const wchar_t* key) {
      asked.push_back(key);
      auto it = values.find(key);
      return it == values.end() ? std::wstring() : it->second;
    };
  }
  bool WasAsked(const std::wstring& key) const {
    for (const auto& k : asked)
      if (k == key) return true;
    return false;
  }
};

InitSettings Load(Section& section) {
  InitSettings record;
  ApplyInitSettings(record, section.Lookup());
  return record;
}

TEST(KeyMapping, PerSessionAndSharedTargets) {
  EXPECT_EQ(MapSessionKeyPath(L"Software\\Ondrix Inc.\\Ondrix Remote Server", true, 2),
            L"Software\\Ondrix Inc.\\Ondrix Remote Server LUMO_2");
  EXPECT_EQ(MapSessionKeyPath(L"Software\\Ondrix Inc.\\Ondrix Remote Server", false, 2),
            L"Software\\Ondrix Inc.\\Ondrix Remote Server LUMO");
  // An unknown session is printed as -1.
  EXPECT_EQ(MapSessionKeyPath(kProductBasePath, true, -1), L"Software\\Ondrix Inc.\\Ondrix Remote Server LUMO_-1");
}

TEST(KeyMapping, BusinessPathGetsTheSuffixAfterTheWordServer) {
  EXPECT_EQ(MapSessionKeyPath(kBusinessPath, true, 3),
            L"Software\\Ondrix Inc.\\Ondrix Remote Server LUMO_3 for Business");
}

TEST(KeyMapping, OtherPathsAndOtherCasesStayUnchanged) {
  EXPECT_EQ(MapSessionKeyPath(L"Software\\Other Vendor\\App", true, 1), L"Software\\Other Vendor\\App");
  EXPECT_EQ(MapSessionKeyPath(L"software\\ondrix inc.\\ondrix remote server", true, 1),
            L"software\\ondrix inc.\\ondrix remote server");
  EXPECT_EQ(MapSessionKeyPath(L"", true, 1), L"");
}

TEST(KeyMapping, EveryOccurrenceIsReplacedWithoutRescanningTheInsertedText) {
  const std::wstring base = kProductBasePath;
  EXPECT_EQ(MapSessionKeyPath(base + L"\\x\\" + base, true, 4),
            base + L" LUMO_4\\x\\" + base + L" LUMO_4");
  // A prefix in front is kept.
  EXPECT_EQ(MapSessionKeyPath(L"Wow6432Node\\" + base + L"\\Sub", false, 0), L"Wow6432Node\\" + base + L" LUMO\\Sub");
}

TEST(KeyMapping, KeywordMatchesInAnyCaseOnly) {
  EXPECT_TRUE(IsProductKeyword(L"UNIVERSAL_PATH_CONVERT"));
  EXPECT_TRUE(IsProductKeyword(L"universal_path_convert"));
  EXPECT_FALSE(IsProductKeyword(L"UNIVERSAL_PATH_CONVERT "));
  EXPECT_FALSE(IsProductKeyword(kProductBasePath));
}

TEST(Decimal, ReadsLikeWtoi) {
  EXPECT_EQ(ParseDecimal(L"30"), 30);
  EXPECT_EQ(ParseDecimal(L"  \t-17"), -17);
  EXPECT_EQ(ParseDecimal(L"+8"), 8);
  EXPECT_EQ(ParseDecimal(L"12abc"), 12);
  EXPECT_EQ(ParseDecimal(L"abc"), 0);
  EXPECT_EQ(ParseDecimal(L""), 0);
  EXPECT_EQ(ParseDecimal(L"- 5"), 0);
  EXPECT_EQ(ParseDecimal(L"007"), 7);
}

TEST(Decimal, SaturatesInsteadOfWrapping) {
  EXPECT_EQ(ParseDecimal(L"2147483647"), INT_MAX);
  EXPECT_EQ(ParseDecimal(L"-2147483648"), INT_MIN);
  // 4294967326 would wrap to 30 in 32 bits.
  EXPECT_EQ(ParseDecimal(L"4294967326"), INT_MAX);
  EXPECT_EQ(ParseDecimal(L"-99999999999999999999"), INT_MIN);
}

TEST(SettingsFiles, CandidatesNeverDoubleTheBackslash) {
  const auto withSlash = SettingsFileCandidates(L"C:\\t\\unpacklumo\\1\\");
  EXPECT_EQ(withSlash.first, L"C:\\t\\unpacklumo\\1\\.init_setting.ini");
  EXPECT_EQ(withSlash.second, L"C:\\t\\unpacklumo\\1\\setup.ini");
  EXPECT_EQ(SettingsFileCandidates(L"D:\\dl").first, L"D:\\dl\\.init_setting.ini");
}

TEST(InitRules, CodeBranchReadsCategoryModeAndKind) {
  Section s;
  s.values = {{L"lumo_token", L"ABC123"}, {L"token_category", L"12"}, {L"token_mode", L"5"}, {L"token_kind", L"3"},
              {L"gateway_mode", L"1"}};
  const InitSettings r = Load(s);
  EXPECT_EQ(r.token, L"ABC123");
  EXPECT_EQ(r.tokenCategory, 12);
  EXPECT_EQ(r.tokenMode, 5);
  EXPECT_EQ(r.tokenKind, 3);
  // With a code, the gateway key is never read.
  EXPECT_EQ(r.gatewayMode, 0);
  EXPECT_FALSE(s.WasAsked(L"gateway_mode"));
}

TEST(InitRules, OnlyModeWithoutCodeLeavesTheDefaultsAndReadsNoMode) {
  Section s;
  s.values = {{L"token_mode", L"7"}};
  const InitSettings r = Load(s);
  EXPECT_EQ(r.token, L"");
  EXPECT_EQ(r.tokenMode, 0);
  EXPECT_EQ(r.tokenCategory, 0);
  EXPECT_EQ(r.tokenKind, 0);
  EXPECT_EQ(r.gatewayMode, 0);
  EXPECT_FALSE(s.WasAsked(L"token_mode"));
  EXPECT_FALSE(s.WasAsked(L"token_kind"));
}

TEST(InitRules, CardCategoryWithoutCodeTakesTheCardCode) {
  Section s;
  s.values = {{L"token_category", L"38"}, {L"card_code", L"CARD9"}, {L"token_mode", L"6"}, {L"token_kind", L"9"}};
  const InitSettings r = Load(s);
  EXPECT_EQ(r.token, L"CARD9");
  EXPECT_EQ(r.tokenCategory, 38);
  EXPECT_EQ(r.tokenKind, 2) << "the card category forces the kind";
  EXPECT_EQ(r.tokenMode, 6) << "38 is no forced-mode category";
}

TEST(InitRules, CardCategoryWithCodeButNoCardCodeEndsWithoutCode) {
  Section s;
  s.values = {{L"lumo_token", L"TOK"}, {L"token_category", L"38"}, {L"token_kind", L"5"}};
  const InitSettings r = Load(s);
  EXPECT_EQ(r.token, L"");
  EXPECT_EQ(r.tokenCategory, 38);
  EXPECT_EQ(r.tokenKind, 2);
}

TEST(InitRules, CardCategoryWithoutAnyCodeRunsTheGatewayBranch) {
  Section s;
  s.values = {{L"token_category", L"38"}, {L"gateway_mode", L"1"}, {L"token_kind", L"5"}};
  const InitSettings r = Load(s);
  EXPECT_EQ(r.token, L"");
  EXPECT_EQ(r.gatewayMode, 1);
  // The category was only consulted; it is not stored in this branch.
  EXPECT_EQ(r.tokenCategory, 0);
  EXPECT_EQ(r.tokenKind, 0);
}

TEST(InitRules, OtherCategoryWithoutCodeIgnoresTheCardCode) {
  Section s;
  s.values = {{L"token_category", L"12"}, {L"card_code", L"CARD"}, {L"gateway_mode", L"1"}};
  const InitSettings r = Load(s);
  EXPECT_EQ(r.token, L"");
  EXPECT_EQ(r.gatewayMode, 1);
  EXPECT_EQ(r.tokenCategory, 0);
}

TEST(InitRules, ForcedModeCategoriesSetModeFourOnlyWhenAModeIsGiven) {
  for (int category : {37, 40, 43}) {
    Section s;
    s.values = {{L"lumo_token", L"T"}, {L"token_category", std::to_wstring(category)}, {L"token_mode", L"7"}};
    const InitSettings r = Load(s);
    EXPECT_EQ(r.tokenCategory, category);
    EXPECT_EQ(r.tokenMode, 4) << category;
  }
  Section without;
  without.values = {{L"lumo_token", L"T"}, {L"token_category", L"40"}};
  EXPECT_EQ(Load(without).tokenMode, 0);
  Section other;
  other.values = {{L"lumo_token", L"T"}, {L"token_category", L"41"}, {L"token_mode", L"7"}};
  EXPECT_EQ(Load(other).tokenMode, 7);
}

TEST(InitRules, NumbersThatAreTextBecomeZeroAndEmptyOnesLeaveTheField) {
  Section s;
  s.values = {{L"lumo_token", L"T"}, {L"token_category", L"abc"}, {L"token_mode", L""}, {L"token_kind", L"3x"}};
  InitSettings r;
  r.tokenCategory = 9;
  r.tokenMode = 8;
  ApplyInitSettings(r, s.Lookup());
  EXPECT_EQ(r.tokenCategory, 0);
  EXPECT_EQ(r.tokenMode, 8);
  EXPECT_EQ(r.tokenKind, 3);
}

TEST(InitRules, GatewayModeAcceptsOnlyBinaryDigits) {
  struct Case {
    const wchar_t* value;
    int32_t before;
    int32_t after;
  } cases[] = {{L"10", 0, 1}, {L"1", 0, 1}, {L"00", 1, 0}, {L"0", 1, 0}, {L"2", 1, 1},
               {L"yes", 0, 0}, {L"-1", 0, 0}, {L"1 ", 0, 0}, {L"", 1, 1}};
  for (const Case& c : cases) {
    Section s;
    s.values = {{L"gateway_mode", c.value}};
    InitSettings r;
    r.gatewayMode = c.before;
    ApplyInitSettings(r, s.Lookup());
    EXPECT_EQ(r.gatewayMode, c.after) << "gateway_mode=" << std::string(c.value, c.value + wcslen(c.value));
  }
}

TEST(InitRules, LongValuesAreCutTo255Characters) {
  Section s;
  s.values = {{L"lumo_token", std::wstring(300, L'k')}};
  EXPECT_EQ(Load(s).token, std::wstring(255, L'k'));
  Section card;
  card.values = {{L"lumo_token", L"T"}, {L"token_category", L"38"}, {L"card_code", std::wstring(256, L'c')}};
  EXPECT_EQ(Load(card).token, std::wstring(255, L'c'));
}

TEST(InitRules, EmptySectionKeepsTheDefaults) {
  Section s;
  const InitSettings r = Load(s);
  EXPECT_EQ(r.token, L"");
  EXPECT_EQ(r.tokenCategory, 0);
  EXPECT_EQ(r.tokenMode, 0);
  EXPECT_EQ(r.tokenKind, 0);
  EXPECT_EQ(r.gatewayMode, 0);
}

}  // namespace
