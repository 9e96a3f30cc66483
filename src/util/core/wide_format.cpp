#include "util/core/wide_format.h"

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <type_traits>

namespace lumo {
namespace {

constexpr int kUnset = -1;

// Where the characters go: into the buffer up to its limit; beyond it they are only counted.
class Sink {
 public:
  Sink(wchar_t* buffer, std::size_t limit) : buffer_(buffer), limit_(limit) {}
  void Put(wchar_t c) {
    if (length_ < limit_) buffer_[length_] = c;
    ++length_;
  }
  void Repeat(wchar_t c, int times) {
    for (; times > 0; --times) Put(c);
  }
  std::size_t length() const { return length_; }

 private:
  wchar_t* buffer_;
  std::size_t limit_;
  std::size_t length_ = 0;
};

// One directive as read so far.
struct Directive {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool alternate = false;
  bool zero = false;
  bool grouped = false;  // accepted and without effect: the C locale has no thousands mark
  bool longDouble = false;
  int width = kUnset;
  int precision = kUnset;
  bool AnyFlag() const { return left || plus || space || alternate || zero || grouped || longDouble; }
};

enum class Size { kInt, kChar, kShort, kLong, kLongLong, kIntMax, kSize, kPtrDiff, kInt32 };

// The reading states of a directive, in the order they may follow one another.
enum State { kFlags, kWidth, kPrecisionDot, kPrecision, kEnd };

// The padding of a field around a body of `body` characters, "%5s"-like: spaces on the side
// away from the justification.
struct Padding {
  int before = 0;
  int after = 0;
};

Padding PadText(const Directive& directive, int body) {
  Padding padding;
  if (directive.width > body) {
    (directive.left ? padding.after : padding.before) = directive.width - body;
  }
  return padding;
}

void PutText(Sink& out, const Directive& directive, const wchar_t* text, std::size_t length) {
  int count = static_cast<int>(length);
  if (directive.precision >= 0 && count > directive.precision) count = directive.precision;
  const Padding padding = PadText(directive, count);
  out.Repeat(L' ', padding.before);
  for (int i = 0; i < count && text[i] != L'\0'; ++i) out.Put(text[i]);
  out.Repeat(L' ', padding.after);
}

void PutNarrowText(Sink& out, const Directive& directive, const char* text, std::size_t length) {
  int count = static_cast<int>(length);
  if (directive.precision >= 0 && count > directive.precision) count = directive.precision;
  const Padding padding = PadText(directive, count);
  out.Repeat(L' ', padding.before);
  for (int i = 0; i < count && text[i] != '\0'; ++i) out.Put(static_cast<unsigned char>(text[i]));
  out.Repeat(L' ', padding.after);
}

// d, i and u: `sign` is '-', '+', ' ' or 0.
// Divides `value` by 10 and returns the remainder, in 16-bit steps that each stay within 32
// bits: a 32-bit build then needs no 64-bit division routine of the compiler's library.
unsigned DivideBy10(unsigned long long& value) {
  unsigned remainder = 0;
  unsigned long long quotient = 0;
  for (int shift = 48; shift >= 0; shift -= 16) {
    const unsigned part = (remainder << 16) | static_cast<unsigned>((value >> shift) & 0xFFFFu);
    quotient |= static_cast<unsigned long long>(part / 10) << shift;
    remainder = part % 10;
  }
  value = quotient;
  return remainder;
}

void PutDecimal(Sink& out, const Directive& directive, unsigned long long magnitude, wchar_t sign) {
  wchar_t digits[24];
  int count = 0;
  while (magnitude != 0) digits[count++] = static_cast<wchar_t>(L'0' + DivideBy10(magnitude));
  int zeros = directive.precision > count ? directive.precision - count : 0;
  if (count + zeros == 0 && directive.precision != 0) zeros = 1;

  int width = directive.width;
  int before = 0;
  int fill = 0;
  if (width > 0 && (width -= count + zeros) > 0) {
    if (sign != 0) --width;
    if (directive.precision < 0 && directive.zero && !directive.left) {
      fill = width;
    } else if (!directive.left) {
      before = width;
    }
    if (!directive.left) width = 0;
  }
  out.Repeat(L' ', before);
  if (sign != 0) out.Put(sign);
  out.Repeat(L'0', fill + zeros);
  while (count > 0) out.Put(digits[--count]);
  out.Repeat(L' ', width);
}

// o, x, X and p.
void PutBased(Sink& out, const Directive& directive, wchar_t conversion, unsigned long long value) {
  const unsigned shift = conversion == L'o' ? 3 : 4;
  const wchar_t* figures = conversion == L'X' ? L"0123456789ABCDEF" : L"0123456789abcdef";
  wchar_t digits[24];
  int count = 0;
  for (; value != 0; value >>= shift) digits[count++] = figures[value & ((1u << shift) - 1)];
  // The alternate form never marks a zero.
  const bool alternate = directive.alternate && count != 0;
  int zeros = 0;
  if (directive.precision > count) {
    zeros = directive.precision - count;
  } else if (conversion == L'o' && alternate) {
    zeros = 1;
  }
  if (count + zeros == 0 && directive.precision != 0) zeros = 1;

  const bool prefix = conversion != L'o' && alternate;
  int width = directive.width > count + zeros ? directive.width - count - zeros : kUnset;
  if (width > 0 && prefix) width -= 2;
  int before = 0;
  int fill = 0;
  if (width > 0 && directive.precision < 0 && directive.zero && !directive.left) {
    fill = width;
    width = 0;
  } else if (width > 0 && !directive.left) {
    before = width;
    width = 0;
  }
  out.Repeat(L' ', before);
  if (prefix) {
    out.Put(L'0');
    out.Put(conversion);
  }
  out.Repeat(L'0', fill + zeros);
  while (count > 0) out.Put(digits[--count]);
  out.Repeat(L' ', width);
}

class Formatter {
 public:
  Formatter(wchar_t* buffer, std::size_t limit, va_list args) : out_(buffer, limit) { va_copy(args_, args); }
  ~Formatter() { va_end(args_); }
  Formatter(const Formatter&) = delete;
  Formatter& operator=(const Formatter&) = delete;

  std::size_t Run(const wchar_t* format) {
    while (*format != L'\0') {
      const wchar_t c = *format++;
      if (c == L'%') {
        format = Conversion(format);
      } else {
        out_.Put(c);
      }
    }
    return out_.length();
  }

 private:
  // Reads one directive after its '%' and writes it; returns where the text goes on.
  // A character without a meaning makes the '%' plain text, and reading resumes after it.
  const wchar_t* Conversion(const wchar_t* const start) {
    Directive directive;
    Size size = Size::kInt;
    State state = kFlags;
    int* number = &directive.width;  // what digits (or a '*') set; none after a '*'
    const wchar_t* at = start;
    while (*at != L'\0') {
      const wchar_t c = *at++;
      switch (c) {
        case L'%':
          out_.Put(L'%');
          return at;
        case L'C':
          size = Size::kLong;
          [[fallthrough]];
        case L'c': {
          // One character and its padding; a precision does not apply. A NUL is written as a
          // character of the text when narrow and not at all when wide, as MinGW does.
          const int value = va_arg(args_, int);
          const bool wide = IsWide(size);
          const wchar_t character = wide ? static_cast<wchar_t>(value) : static_cast<unsigned char>(value);
          const Padding padding = PadText(directive, 1);
          out_.Repeat(L' ', padding.before);
          if (character != L'\0' || !wide) out_.Put(character);
          out_.Repeat(L' ', padding.after);
          return at;
        }
        case L'S':
          size = Size::kLong;
          [[fallthrough]];
        case L's':
          if (IsWide(size)) {
            const wchar_t* text = va_arg(args_, const wchar_t*);
            if (text == nullptr) text = L"(null)";
            PutText(out_, directive, text, std::wcslen(text));
          } else {
            const char* text = va_arg(args_, const char*);
            if (text == nullptr) text = "(null)";
            PutNarrowText(out_, directive, text, std::strlen(text));
          }
          return at;
        case L'd':
        case L'i': {
          const long long value = Signed(size);
          const unsigned long long magnitude =
              value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
          PutDecimal(out_, directive, magnitude, value < 0 ? L'-' : Sign(directive));
          return at;
        }
        case L'u':
          // MinGW drops the '+' of an unsigned number but keeps the blank.
          PutDecimal(out_, directive, Unsigned(size), directive.space ? L' ' : 0);
          return at;
        case L'o':
        case L'x':
        case L'X':
          PutBased(out_, directive, c, Unsigned(size));
          return at;
        case L'p':
          // Unadorned, as MSVCRT writes pointers: all the digits of the address.
          if (state == kFlags && !directive.AnyFlag()) {
            directive.zero = true;
            directive.precision = static_cast<int>(2 * sizeof(std::uintptr_t));
          }
          PutBased(out_, directive, L'x', reinterpret_cast<std::uintptr_t>(va_arg(args_, void*)));
          return at;
        case L'a': case L'A': case L'e': case L'E': case L'f': case L'F': case L'g': case L'G':
          if (directive.longDouble) {
            static_cast<void>(va_arg(args_, long double));
          } else {
            static_cast<void>(va_arg(args_, double));
          }
          return Verbatim(start, at);
        case L'n':
          static_cast<void>(va_arg(args_, void*));
          return Verbatim(start, at);
        case L'h':
          if (*at == L'h') {
            ++at;
            size = Size::kChar;
          } else {
            size = Size::kShort;
          }
          state = kEnd;
          break;
        case L'l':
          if (*at == L'l') {
            ++at;
            size = Size::kLongLong;
          } else {
            size = Size::kLong;
          }
          state = kEnd;
          break;
        case L'I':
          // Microsoft's sizes: I64, I32, and I alone for the size of a pointer.
          if (at[0] == L'6' && at[1] == L'4') {
            at += 2;
            size = Size::kLongLong;
          } else if (at[0] == L'3' && at[1] == L'2') {
            at += 2;
            size = Size::kInt32;
          } else {
            size = Size::kPtrDiff;
          }
          state = kEnd;
          break;
        case L'j':
          size = Size::kIntMax;
          state = kEnd;
          break;
        case L'z':
          size = Size::kSize;
          state = kEnd;
          break;
        case L't':
          size = Size::kPtrDiff;
          state = kEnd;
          break;
        case L'L':
          directive.longDouble = true;
          state = kEnd;
          break;
        case L'.':
          if (state < kPrecisionDot) {
            directive.precision = 0;
            number = &directive.precision;
            state = kPrecisionDot;
          } else {
            state = kEnd;
          }
          break;
        case L'*':
          if (number != nullptr && (state == kFlags || state == kPrecisionDot)) {
            *number = va_arg(args_, int);
            if (*number < 0) {
              if (state == kFlags) {
                directive.left = true;
                directive.width = -directive.width;
              } else {
                directive.precision = kUnset;
              }
            }
          } else {
            state = kEnd;
          }
          number = nullptr;
          break;
        // Flags count only before the width; elsewhere they are passed over.
        case L'#':
          if (state == kFlags) directive.alternate = true;
          break;
        case L'+':
          if (state == kFlags) directive.plus = true;
          break;
        case L'-':
          if (state == kFlags) directive.left = true;
          break;
        case L' ':
          if (state == kFlags) directive.space = true;
          break;
        case L'\'':
          if (state == kFlags) directive.grouped = true;
          break;
        case L'0':
          if (state == kFlags) {
            directive.zero = true;
            break;
          }
          [[fallthrough]];
        default:
          if (state < kEnd && c >= L'0' && c <= L'9') {
            if (state == kFlags) {
              state = kWidth;
            } else if (state == kPrecisionDot) {
              state = kPrecision;
            }
            if (number != nullptr) {
              // Saturates instead of overflowing; no field is that wide.
              const int digit = static_cast<int>(c - L'0');
              *number = *number < 0 ? digit : (*number > 99999999 ? *number : *number * 10 + digit);
            }
          } else {
            out_.Put(L'%');
            return start;
          }
          break;
      }
    }
    // The format ended inside a directive: nothing of it is written.
    return at;
  }

  // Writes a directive that is not formatted as it stands, '%' included.
  const wchar_t* Verbatim(const wchar_t* start, const wchar_t* end) {
    out_.Put(L'%');
    for (const wchar_t* c = start; c != end; ++c) out_.Put(*c);
    return end;
  }

  static bool IsWide(Size size) { return size == Size::kLong || size == Size::kLongLong; }

  static wchar_t Sign(const Directive& directive) {
    if (directive.plus) return L'+';
    if (directive.space) return L' ';
    return 0;
  }

  long long Signed(Size size) {
    switch (size) {
      case Size::kChar: return static_cast<signed char>(va_arg(args_, int));
      case Size::kShort: return static_cast<short>(va_arg(args_, int));
      case Size::kLong: return va_arg(args_, long);
      case Size::kLongLong: return va_arg(args_, long long);
      case Size::kIntMax: return va_arg(args_, std::intmax_t);
      case Size::kSize: return static_cast<std::make_signed_t<std::size_t>>(va_arg(args_, std::size_t));
      case Size::kPtrDiff: return va_arg(args_, std::ptrdiff_t);
      case Size::kInt32: return va_arg(args_, std::int32_t);
      case Size::kInt: break;
    }
    return va_arg(args_, int);
  }

  unsigned long long Unsigned(Size size) {
    switch (size) {
      case Size::kChar: return static_cast<unsigned char>(va_arg(args_, unsigned));
      case Size::kShort: return static_cast<unsigned short>(va_arg(args_, unsigned));
      case Size::kLong: return va_arg(args_, unsigned long);
      case Size::kLongLong: return va_arg(args_, unsigned long long);
      case Size::kIntMax: return va_arg(args_, std::uintmax_t);
      case Size::kSize: return va_arg(args_, std::size_t);
      case Size::kPtrDiff: return static_cast<std::make_unsigned_t<std::ptrdiff_t>>(va_arg(args_, std::ptrdiff_t));
      case Size::kInt32: return va_arg(args_, std::uint32_t);
      case Size::kInt: break;
    }
    return va_arg(args_, unsigned);
  }

  Sink out_;
  va_list args_;
};

}  // namespace

int FormatWideV(wchar_t* buffer, std::size_t count, const wchar_t* format, va_list args) {
  const std::size_t limit = count == 0 ? 0 : count - 1;
  const std::size_t length = Formatter(buffer, limit, args).Run(format);
  if (count != 0) buffer[length < limit ? length : limit] = L'\0';
  return static_cast<int>(length);
}

}  // namespace lumo
