// The printf core behind the launcher's wide formatting (vswprintf, swprintf and
// std::to_wstring all end here in the release launcher; see src/app/lean_runtime.cpp).
// Portable, so the native unit tests hold it against the C library.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace lumo {

// Formats as MinGW's C99 printf does for the conversions the launcher can use: d i u o x X
// c s p % with the flags - + space # 0 ', a width and a precision (digits or *), and the
// length modifiers hh h l ll j z t; "%ls"/"%lc" take wide text, "%s"/"%c" narrow text (bytes
// taken as characters). A conversion without a meaning is written as text, as MinGW does. The
// floating-point conversions (a e f g, either case) and %n are not formatted: their argument
// is consumed and the directive written as text, so no later argument is misread.
//
// Writes at most count - 1 characters and a terminating NUL (nothing when count is 0) and
// returns the length of the whole text, as snprintf does: a result of count or more means the
// text was cut.
int FormatWideV(wchar_t* buffer, std::size_t count, const wchar_t* format, va_list args);

}  // namespace lumo
