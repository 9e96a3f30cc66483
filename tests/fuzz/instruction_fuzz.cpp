// Session instructions ("/I" on the command line, ending up in the product key). For any text:
//  - the split gives the comma-separated pieces, none empty, and nothing else;
//  - the writes are exactly those of a transcription of the documented rules: only the two
//    known values, in the order of their entries;
//  - an IDLE number is read without overflow: a value is accepted exactly when its digits,
//    read at any length, lie between 0 and 9999;
//  - the output is bounded by the input: no more writes than entries, no more note text than
//    the instruction holds.
#include "launch/core/instruction.h"

#include <cwctype>

#include "tests/fuzz/harness.h"

namespace {

using lumo::InstructionWrite;

bool IsSpace(wchar_t c) { return std::iswspace(static_cast<std::wint_t>(c)) != 0; }

bool IsKey(const std::wstring& key, const wchar_t* name) {
  if (key.size() != 4) return false;
  for (std::size_t i = 0; i < 4; ++i) {
    const wchar_t c = key[i];
    if (c != name[i] && c != name[i] + (L'a' - L'A')) return false;
  }
  return true;
}

// The value as _wtoi reads it, at any length: whether it lies in 0..9999, and its number then.
bool IdleInRange(const std::wstring& value, uint32_t& number) {
  std::size_t i = 0;
  while (i < value.size() && IsSpace(value[i])) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == L'-' || value[i] == L'+')) negative = value[i++] == L'-';
  while (i < value.size() && value[i] == L'0') ++i;
  std::wstring digits;
  for (; i < value.size() && value[i] >= L'0' && value[i] <= L'9'; ++i) digits += value[i];
  if (digits.empty()) {
    number = 0;
    return true;
  }
  if (negative || digits.size() > 4) return false;
  number = static_cast<uint32_t>(std::stoul(std::string(digits.begin(), digits.end())));
  return number <= 9999;
}

std::vector<InstructionWrite> Transcription(const std::wstring& text) {
  std::vector<InstructionWrite> writes;
  std::wstring entry;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != L',') {
      entry += text[i];
      continue;
    }
    const std::size_t equals = entry.find(L'=');
    if (!entry.empty() && equals != std::wstring::npos) {
      std::size_t from = 0;
      while (from < equals && IsSpace(entry[from])) ++from;
      const std::wstring key = entry.substr(from, equals - from);
      std::size_t to = entry.size();
      while (to > equals + 1 && IsSpace(entry[to - 1])) --to;
      const std::wstring value = entry.substr(equals + 1, to - equals - 1);
      uint32_t number = 0;
      if (IsKey(key, L"NOTE")) {
        writes.push_back({InstructionWrite::Kind::kNote, value, 0});
      } else if (IsKey(key, L"IDLE") && IdleInRange(value, number)) {
        writes.push_back({InstructionWrite::Kind::kIdle, std::wstring(), number});
      }
    }
    entry.clear();
  }
  return writes;
}

}  // namespace

void fuzz::Check(Input& input) {
  const std::wstring text = input.Text();
  fuzz::Note("instruction", text);

  const std::vector<std::wstring> pieces = lumo::SplitInstruction(text);
  std::wstring joined;
  for (const std::wstring& piece : pieces) {
    REQUIRE(!piece.empty());
    REQUIRE(piece.find(L',') == std::wstring::npos);
    joined += (joined.empty() ? L"" : L",") + piece;
  }
  std::wstring collapsed;  // commas in runs made one, none at the ends
  for (wchar_t c : text) {
    if (c != L',' || (!collapsed.empty() && collapsed.back() != L',')) collapsed += c;
  }
  if (!collapsed.empty() && collapsed.back() == L',') collapsed.pop_back();
  REQUIRE(joined == collapsed);

  const std::vector<InstructionWrite> writes = lumo::ParseInstruction(text);
  const std::vector<InstructionWrite> expected = Transcription(text);
  REQUIRE(writes.size() == expected.size());
  REQUIRE(writes.size() <= pieces.size());
  std::size_t noteText = 0;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    REQUIRE(writes[i].kind == expected[i].kind);
    REQUIRE(writes[i].note == expected[i].note);
    REQUIRE(writes[i].timeout == expected[i].timeout);
    REQUIRE(writes[i].timeout <= 9999);
    noteText += writes[i].note.size();
  }
  REQUIRE(noteText <= text.size());

  // The conversion alone, on the whole text as a value.
  uint32_t ours = 12345;
  uint32_t number = 0;
  const bool accepted = lumo::ConvertIdleTimeout(text, ours);
  REQUIRE(accepted == IdleInRange(text, number));
  if (accepted) REQUIRE(ours == number);
}

std::vector<fuzz::Bytes> fuzz::Seeds() {
  std::vector<Bytes> seeds;
  for (const wchar_t* text :
       {L"NOTE=Printer down,IDLE=30", L"note=a=b", L"iDlE=5", L"  \tNOTE=hello \t ", L"NOTE =x", L"NOTE= x", L"NOTE=",
        L"IDLE=10000", L"IDLE=-1", L"IDLE=4294967326", L"IDLE=abc", L"IDLE=12abc", L"IDLE= +9999,IDLE=0", L",,NOTE=x,,",
        L",,,", L"NOTE", L"COLOR=red,=5", L"NOTE=a,IDLE=1,NOTE=b", L"IDLE=-0", L"IDLE=00009999"}) {
    seeds.push_back(Output().Text(text).Take());
  }
  return seeds;
}
