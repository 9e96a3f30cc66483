// Decimal conversion of setting and instruction texts, the way the C runtime's _wtoi reads
// them: leading white space, an optional sign, digits up to the first non-digit; no digits
// give 0. Out-of-range numbers saturate at the int limits instead of wrapping, so a huge
// value can never turn into a small, accepted one.
#pragma once

#include <string>

namespace lumo {

int ParseDecimal(const std::wstring& text);

// White space as the C library's iswspace classifies it.
bool IsWhiteSpace(wchar_t c);

}  // namespace lumo
