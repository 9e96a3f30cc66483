// Session instructions: splitting, trimming and the IDLE conversion.
#include "launch/core/instruction.h"

#include <gtest/gtest.h>

namespace {

using namespace lumo;
using Kind = InstructionWrite::Kind;

TEST(Instruction, NoteAndIdleInOrder) {
  const auto writes = ParseInstruction(L"NOTE=Printer down,IDLE=30");
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].kind, Kind::kNote);
  EXPECT_EQ(writes[0].note, L"Printer down");
  EXPECT_EQ(writes[1].kind, Kind::kIdle);
  EXPECT_EQ(writes[1].timeout, 30u);
}

TEST(Instruction, OnlyTheFirstEqualsSplitsAndKeysMatchInAnyCase) {
  const auto writes = ParseInstruction(L"note=a=b");
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].kind, Kind::kNote);
  EXPECT_EQ(writes[0].note, L"a=b");
  const auto idle = ParseInstruction(L"iDlE=5");
  ASSERT_EQ(idle.size(), 1u);
  EXPECT_EQ(idle[0].timeout, 5u);
}

TEST(Instruction, BlanksAreTrimmedBeforeTheKeyAndAfterTheValueOnly) {
  auto writes = ParseInstruction(L"  \tNOTE=hello \t ");
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].note, L"hello");
  // A blank between the key and "=" stays in the key, which then matches nothing.
  EXPECT_TRUE(ParseInstruction(L"NOTE =x").empty());
  // A blank right after "=" stays in the value.
  writes = ParseInstruction(L"NOTE= x");
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].note, L" x");
  // An empty value is a value.
  writes = ParseInstruction(L"NOTE=");
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].note, L"");
}

TEST(Instruction, IdleOutsideTheRangeIsDroppedAndTextGivesZero) {
  EXPECT_TRUE(ParseInstruction(L"IDLE=10000").empty());
  EXPECT_TRUE(ParseInstruction(L"IDLE=-1").empty());
  EXPECT_TRUE(ParseInstruction(L"IDLE=4294967326").empty()) << "must not wrap into the range";
  auto writes = ParseInstruction(L"IDLE=abc");
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].timeout, 0u);
  writes = ParseInstruction(L"IDLE=12abc");
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].timeout, 12u);
  writes = ParseInstruction(L"IDLE= +9999,IDLE=0");
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].timeout, 9999u);
  EXPECT_EQ(writes[1].timeout, 0u);
}

TEST(Instruction, StrayCommasAndEntriesWithoutEqualsYieldNothing) {
  EXPECT_EQ(SplitInstruction(L",,NOTE=x,,"), std::vector<std::wstring>{L"NOTE=x"});
  EXPECT_TRUE(SplitInstruction(L",,,").empty());
  EXPECT_TRUE(SplitInstruction(L"").empty());
  const auto writes = ParseInstruction(L",NOTE=x,,");
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].note, L"x");
  EXPECT_TRUE(ParseInstruction(L"NOTE").empty());
  EXPECT_TRUE(ParseInstruction(L"COLOR=red,=5").empty());
}

TEST(Instruction, LaterEntriesComeLater) {
  const auto writes = ParseInstruction(L"NOTE=a,IDLE=1,NOTE=b");
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0].note, L"a");
  EXPECT_EQ(writes[2].kind, Kind::kNote);
  EXPECT_EQ(writes[2].note, L"b");
}

}  // namespace
