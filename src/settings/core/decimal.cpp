#include "settings/core/decimal.h"

#include <climits>
#include <cwctype>

namespace lumo {

bool IsWhiteSpace(wchar_t c) { return std::iswspace(static_cast<std::wint_t>(c)) != 0; }

int ParseDecimal(const std::wstring& text) {
  std::size_t i = 0;
  while (i < text.size() && IsWhiteSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
    negative = text[i] == L'-';
    ++i;
  }
  // Accumulated as a magnitude one past INT_MAX can hold INT_MIN's.
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  long long value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + (text[i] - L'0');
    if (value > limit) {
      value = limit;
      break;
    }
  }
  return static_cast<int>(negative ? -value : value);
}

}  // namespace lumo
