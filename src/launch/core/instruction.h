// Session instructions: "KEY=value" entries separated by commas, turned into the registry
// values the agent reads. Portable; the shell writes what this returns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumo {

// The comma-separated pieces, left to right; runs of commas and commas at either end give
// no empty pieces.
std::vector<std::wstring> SplitInstruction(const std::wstring& text);

// Trims white space (as iswspace sees it) from one side only.
std::wstring TrimLeadingSpace(const std::wstring& text);
std::wstring TrimTrailingSpace(const std::wstring& text);

// The largest accepted idle time-out; larger or negative numbers are dropped.
constexpr int kMaxIdleTimeout = 9999;

// The "IDLE" value converted as _wtoi does; false when the number is outside 0..9999.
bool ConvertIdleTimeout(const std::wstring& value, uint32_t& timeout);

struct InstructionWrite {
  enum class Kind { kNote, kIdle };
  Kind kind;
  std::wstring note;     // kNote: the text for NoteSession
  uint32_t timeout = 0;  // kIdle: the number for IdleSessionTimeout
};

// The writes of an instruction, in the order of its entries (a later entry for the same
// value overwrites an earlier one when applied in order). Entries without '=', with an
// unknown key, or with an unacceptable IDLE number yield nothing.
std::vector<InstructionWrite> ParseInstruction(const std::wstring& text);

}  // namespace lumo
