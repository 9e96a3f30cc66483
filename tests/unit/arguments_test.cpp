// The session code and the second pass over the command line.
#include "app/core/arguments.h"

#include <gtest/gtest.h>

namespace {

using namespace lumo;
using Kind = SwitchAction::Kind;

TEST(ComposeSessionCode, AddsOnlyNonZeroSuffixesInOrder) {
  EXPECT_EQ(ComposeSessionCode(L"TOK", 12, 0, 3), L"TOK_C12_K3");
  EXPECT_EQ(ComposeSessionCode(L"TOK", 0, 0, 0), L"TOK");
  EXPECT_EQ(ComposeSessionCode(L"", 1, 2, 3), L"_C1_M2_K3");
  EXPECT_EQ(ComposeSessionCode(L"T", -5, 4, 0), L"T_C-5_M4");
}

std::wstring Derive(const std::wstring& path, bool* changed = nullptr) {
  std::wstring code = L"UNCHANGED";
  const bool result = CodeFromFileName(path, code);
  if (changed) *changed = result;
  return code;
}

TEST(CodeFromFileName, TakesTheTextAfterTheLastHyphen) {
  EXPECT_EQ(Derive(L"C:\\Users\\u\\Downloads\\LUMO-AB12CD.exe"), L"AB12CD");
  EXPECT_EQ(Derive(L"C:\\dl\\lumo-x-AB12.EXE"), L"AB12");
  // A "_2" copy and a browser's " (1)" copy.
  EXPECT_EQ(Derive(L"C:\\dl\\LUMO-AB12_2.exe"), L"AB12");
  EXPECT_EQ(Derive(L"C:\\dl\\LUMO-AB12 (1).exe"), L"AB12 (1)");
  // Only the last underscore cuts.
  EXPECT_EQ(Derive(L"C:\\dl\\LUMO-A_B_C.exe"), L"A_B");
}

TEST(CodeFromFileName, OnlyUpperAndLowerExtensionsAreRemoved) {
  EXPECT_EQ(Derive(L"C:\\dl\\LUMO-AB12.Exe"), L"AB12.Exe");
  // Every occurrence goes, not only the last.
  EXPECT_EQ(Derive(L"C:\\dl\\LUMO-A.exeB.exe"), L"AB");
}

TEST(CodeFromFileName, NoCodeFromFoldersOrPlainNames) {
  bool changed = true;
  EXPECT_EQ(Derive(L"C:\\my-downloads\\LUMO.exe", &changed), L"UNCHANGED");
  EXPECT_FALSE(changed);
  EXPECT_EQ(Derive(L"C:\\dl\\LUMO.exe", &changed), L"UNCHANGED");
  EXPECT_FALSE(changed);
  EXPECT_EQ(Derive(L"", &changed), L"UNCHANGED");
  EXPECT_FALSE(changed);
  // A hyphen at the very end gives an empty code, which still replaces the old one.
  EXPECT_EQ(Derive(L"C:\\dl\\LUMO-.exe", &changed), L"");
  EXPECT_TRUE(changed);
}

TEST(SecondPass, InstructionCollectsUpToAStopSwitchThenMarker) {
  const auto r = SecondSwitchPass({L"lumo.exe", L"/i", L"NOTE=a", L"b", L"/d"}, L"CODE", L"");
  EXPECT_EQ(r.instruction, L"NOTE=ab");
  EXPECT_EQ(r.sessionCode, L"CODE");
  ASSERT_EQ(r.actions.size(), 2u);
  EXPECT_EQ(r.actions[0].kind, Kind::kApplyInstruction);
  EXPECT_EQ(r.actions[0].text, L"NOTE=ab");
  EXPECT_EQ(r.actions[1].kind, Kind::kDebugMarker);
  EXPECT_EQ(r.actions[1].text, L"debug.dvm");
}

TEST(SecondPass, InstructionSwitchDoesNotStopTheCollection) {
  const auto r = SecondSwitchPass({L"lumo.exe", L"/I", L"x", L"/I", L"y"}, L"", L"");
  EXPECT_EQ(r.instruction, L"x/Iy");
  ASSERT_EQ(r.actions.size(), 1u);
  EXPECT_EQ(r.actions[0].text, L"x/Iy");
}

TEST(SecondPass, CodeSwitchTakesTheNextArgumentWhateverItIs) {
  auto r = SecondSwitchPass({L"lumo.exe", L"/T", L"/D"}, L"OLD", L"");
  EXPECT_EQ(r.sessionCode, L"/D");
  EXPECT_TRUE(r.actions.empty()) << "no marker for a value";
  r = SecondSwitchPass({L"lumo.exe", L"-t", L"NEW"}, L"OLD", L"");
  EXPECT_EQ(r.sessionCode, L"NEW");
  // Last one wins.
  r = SecondSwitchPass({L"lumo.exe", L"/T", L"A", L"-T", L"B"}, L"OLD", L"");
  EXPECT_EQ(r.sessionCode, L"B");
}

TEST(SecondPass, CodeSwitchAtTheEndChangesNothingAndAnEmptyValueEmptiesTheCode) {
  auto r = SecondSwitchPass({L"lumo.exe", L"/T"}, L"OLD", L"");
  EXPECT_EQ(r.sessionCode, L"OLD");
  EXPECT_TRUE(r.actions.empty());
  r = SecondSwitchPass({L"lumo.exe", L"/T", L""}, L"OLD", L"");
  EXPECT_EQ(r.sessionCode, L"");
  EXPECT_TRUE(ShouldClearInstruction(r.sessionCode, r.instruction));
}

TEST(SecondPass, InstructionSwitchAtTheEndReappliesTheEarlierOne) {
  auto r = SecondSwitchPass({L"lumo.exe", L"/I", L"NOTE=a", L"/T", L"C", L"/I"}, L"", L"");
  ASSERT_EQ(r.actions.size(), 2u);
  EXPECT_EQ(r.actions[0].text, L"NOTE=a");
  EXPECT_EQ(r.actions[1].text, L"NOTE=a");
  EXPECT_EQ(r.sessionCode, L"C");
  r = SecondSwitchPass({L"lumo.exe", L"-I"}, L"", L"");
  EXPECT_TRUE(r.actions.empty());
}

TEST(SecondPass, LaterInstructionReplacesTheEarlierAndBothAreApplied) {
  const auto r = SecondSwitchPass({L"x", L"/I", L"NOTE=a", L"/D1", L"-i", L"IDLE=5", L"-D"}, L"", L"");
  EXPECT_EQ(r.instruction, L"IDLE=5");
  ASSERT_EQ(r.actions.size(), 4u);
  EXPECT_EQ(r.actions[0].text, L"NOTE=a");
  EXPECT_EQ(r.actions[1].text, L"debugAV.dvm");
  EXPECT_EQ(r.actions[2].text, L"IDLE=5");
  EXPECT_EQ(r.actions[3].text, L"debug.dvm");
}

TEST(SecondPass, AnEmptyInstructionValueIsNotApplied) {
  const auto r = SecondSwitchPass({L"x", L"/I", L"", L"/D"}, L"C", L"");
  EXPECT_EQ(r.instruction, L"");
  ASSERT_EQ(r.actions.size(), 1u);
  EXPECT_EQ(r.actions[0].kind, Kind::kDebugMarker);
}

TEST(SecondPass, ProgramNameCountsAndASingleArgumentIsNotScanned) {
  // Argument 0 is looked at too.
  auto r = SecondSwitchPass({L"/D", L"other"}, L"", L"");
  ASSERT_EQ(r.actions.size(), 1u);
  EXPECT_EQ(r.actions[0].text, L"debug.dvm");
  r = SecondSwitchPass({L"/D"}, L"C", L"");
  EXPECT_TRUE(r.actions.empty());
  EXPECT_EQ(r.sessionCode, L"C");
}

TEST(SecondPass, OnlyWholeArgumentsAreSwitches) {
  const auto r = SecondSwitchPass({L"x", L"/Dx", L"T", L"/T1", L"D", L"--T", L"Y"}, L"C", L"");
  EXPECT_TRUE(r.actions.empty());
  EXPECT_EQ(r.sessionCode, L"C");
}

TEST(ClearInstruction, OnlyWhenBothAreEmpty) {
  EXPECT_TRUE(ShouldClearInstruction(L"", L""));
  EXPECT_FALSE(ShouldClearInstruction(L"C", L""));
  EXPECT_FALSE(ShouldClearInstruction(L"", L"NOTE=x"));
}

}  // namespace
