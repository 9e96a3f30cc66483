#include "launch/core/instruction.h"

#include "settings/core/decimal.h"
#include "settings/core/key_mapping.h"

namespace lumo {

std::vector<std::wstring> SplitInstruction(const std::wstring& text) {
  std::vector<std::wstring> entries;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(L',', start);
    if (comma == std::wstring::npos) comma = text.size();
    if (comma > start) entries.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return entries;
}

std::wstring TrimLeadingSpace(const std::wstring& text) {
  std::size_t i = 0;
  while (i < text.size() && IsWhiteSpace(text[i])) ++i;
  return text.substr(i);
}

std::wstring TrimTrailingSpace(const std::wstring& text) {
  std::size_t end = text.size();
  while (end > 0 && IsWhiteSpace(text[end - 1])) --end;
  return text.substr(0, end);
}

bool ConvertIdleTimeout(const std::wstring& value, uint32_t& timeout) {
  const int number = ParseDecimal(value);
  if (number < 0 || number > kMaxIdleTimeout) return false;
  timeout = static_cast<uint32_t>(number);
  return true;
}

std::vector<InstructionWrite> ParseInstruction(const std::wstring& text) {
  std::vector<InstructionWrite> writes;
  for (const std::wstring& entry : SplitInstruction(text)) {
    const std::size_t equals = entry.find(L'=');
    if (equals == std::wstring::npos) continue;
    // The key keeps trailing blanks and the value keeps leading ones: "NOTE =x" is no NOTE
    // entry, and "NOTE= x" writes " x".
    const std::wstring key = TrimLeadingSpace(entry.substr(0, equals));
    const std::wstring value = TrimTrailingSpace(entry.substr(equals + 1));
    if (EqualsIgnoreAsciiCase(key, L"NOTE")) {
      InstructionWrite write{InstructionWrite::Kind::kNote, value, 0};
      writes.push_back(write);
    } else if (EqualsIgnoreAsciiCase(key, L"IDLE")) {
      uint32_t timeout = 0;
      if (ConvertIdleTimeout(value, timeout)) writes.push_back({InstructionWrite::Kind::kIdle, std::wstring(), timeout});
    }
  }
  return writes;
}

}  // namespace lumo
