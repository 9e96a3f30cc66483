// The launcher's printf core against the C library's vswprintf, one directive at a time with
// text around it: any flags, a width and a precision as digits or '*' (negative ones too),
// every length of the conversions d i o u x X c s %, and arguments from their limits to any
// wide text with lone surrogates. The two write the same, or the difference is one of the
// documented MinGW forms below, which the core keeps (tests/wine/wide_format_test.cpp holds
// each against MinGW itself). And a cut at any count writes the whole text's first count - 1
// characters and a NUL, and reports the whole length.
#include "util/core/wide_format.h"

#include <climits>
#include <cstdarg>
#include <cwchar>

#include "tests/fuzz/harness.h"

namespace {

constexpr int kLimit = 4000;  // widths and precisions; the buffer holds any result

struct Directive {
  bool left = false, plus = false, space = false, alternate = false, zero = false, grouped = false;
  enum Given { kNone, kDigits, kStar } widthGiven = kNone, precisionGiven = kNone;
  int width = 0;
  int precision = 0;
  std::wstring length;
  wchar_t conversion = L'd';

  std::wstring Text() const {
    std::wstring text = L"%";
    if (left) text += L'-';
    if (plus) text += L'+';
    if (space) text += L' ';
    if (alternate) text += L'#';
    if (zero) text += L'0';
    if (grouped) text += L'\'';
    if (widthGiven == kDigits) text += std::to_wstring(width);
    if (widthGiven == kStar) text += L'*';
    if (precisionGiven == kDigits) text += L"." + std::to_wstring(precision);
    if (precisionGiven == kStar) text += L".*";
    return text + length + conversion;
  }
  // The same directive with a star width or precision written out as digits and flags.
  Directive Plain() const {
    Directive plain = *this;
    if (widthGiven == kStar) {
      plain.widthGiven = kDigits;
      if (width < 0) plain.left = true;
      plain.width = width < 0 ? -width : width;
    }
    if (precisionGiven == kStar) plain.precisionGiven = precision < 0 ? kNone : kDigits;
    if (plain.widthGiven == kDigits && plain.width == 0) plain.widthGiven = kNone;
    return plain;
  }
  bool Wide() const { return length == L"l"; }
};

using VFormat = int (*)(wchar_t*, std::size_t, const wchar_t*, va_list);

int Ours(wchar_t* buffer, std::size_t count, const wchar_t* format, va_list args) {
  return lumo::FormatWideV(buffer, count, format, args);
}
int Library(wchar_t* buffer, std::size_t count, const wchar_t* format, va_list args) {
  return std::vswprintf(buffer, count, format, args);
}

// The whole text, NUL characters a conversion wrote included; "<failed>" when the function failed.
std::wstring Call(VFormat function, const wchar_t* format, ...) {
  static wchar_t buffer[3 * kLimit + 8192];
  va_list args;
  va_start(args, format);
  const int written = function(buffer, sizeof buffer / sizeof buffer[0], format, args);
  va_end(args);
  if (written < 0) return L"<failed>";
  return std::wstring(buffer, static_cast<std::size_t>(written));
}

// Calls `call` with the directive's star arguments, then `value`.
template <typename T, typename Call>
auto WithArguments(const Directive& d, T value, Call call) {
  if (d.widthGiven == Directive::kStar && d.precisionGiven == Directive::kStar) return call(d.width, d.precision, value);
  if (d.widthGiven == Directive::kStar) return call(d.width, value);
  if (d.precisionGiven == Directive::kStar) return call(d.precision, value);
  return call(value);
}

// `function`'s text for the directive between the two texts.
template <typename T>
std::wstring Format(VFormat function, const Directive& d, const std::wstring& before, const std::wstring& after, T value) {
  const std::wstring format = before + d.Text() + after;
  return WithArguments(d, value, [&](auto... args) { return Call(function, format.c_str(), args...); });
}

const long long kEdges[] = {0, 1, -1, 7, 9, 10, 99, 100, 127, -128, 255, 256, 32767, -32768, 65535, 65536,
                            INT_MAX, INT_MIN, UINT_MAX, 4294967296LL, LLONG_MAX, LLONG_MIN};

// What the core must write, from the C library's output of the same or an equivalent call.
template <typename T>
std::wstring Expected(const Directive& d, const std::wstring& before, const std::wstring& after, T value) {
  return Format(&Library, d.Plain(), before, after, value);
}

void CheckCut(const std::wstring& format, const std::wstring& whole, std::size_t count, ...) {
  std::vector<wchar_t> buffer(count == 0 ? 1 : count, L'#');
  va_list args;
  va_start(args, count);
  const int written = lumo::FormatWideV(count == 0 ? nullptr : buffer.data(), count, format.c_str(), args);
  va_end(args);
  REQUIRE(written == static_cast<int>(whole.size()));
  if (count == 0) return;
  const std::size_t kept = whole.size() < count - 1 ? whole.size() : count - 1;
  REQUIRE(std::wstring(buffer.data(), kept) == whole.substr(0, kept));
  REQUIRE(buffer[kept] == L'\0');
}

template <typename T>
void Compare(const Directive& d, const std::wstring& before, const std::wstring& after, T value, const std::wstring& expected,
             std::size_t count) {
  const std::wstring ours = Format(&Ours, d, before, after, value);
  fuzz::Note("directive", d.Text());
  fuzz::Note("expected", expected);
  fuzz::Note("ours", ours);
  REQUIRE(expected != L"<failed>");
  REQUIRE(ours == expected);
  const std::wstring format = before + d.Text() + after;
  WithArguments(d, value, [&](auto... args) { CheckCut(format, ours, count, args...); });
}

template <typename Signed, typename Unsigned>
void Integer(const Directive& d, const std::wstring& before, const std::wstring& after, long long raw, std::size_t count) {
  if (d.conversion == L'd' || d.conversion == L'i') {
    const Signed value = static_cast<Signed>(raw);
    Compare(d, before, after, value, Expected(d, before, after, value), count);
    return;
  }
  const Unsigned value = static_cast<Unsigned>(raw);
  std::wstring expected;
  if (d.conversion == L'u' && d.space) {
    // MinGW: the blank flag holds on an unsigned number too: a blank in front of it, counted
    // in the width (padding blanks before it read the same as after it).
    Directive plain = d.Plain();
    plain.space = false;
    if (plain.widthGiven == Directive::kDigits && --plain.width == 0) plain.widthGiven = Directive::kNone;
    expected = Format(&Library, plain, before + L" ", after, value);
  } else if (d.conversion == L'o' && d.alternate && value == 0 && d.Plain().precisionGiven == Directive::kDigits &&
             d.Plain().precision == 0) {
    // MinGW: the alternate form of octal adds no 0 to a zero that the precision leaves without digits.
    Directive plain = d.Plain();
    plain.alternate = false;
    expected = Format(&Library, plain, before, after, value);
  } else {
    expected = Expected(d, before, after, value);
  }
  Compare(d, before, after, value, expected, count);
}

}  // namespace

void fuzz::Check(Input& input) {
  Directive d;
  const uint8_t flags = input.Byte();
  d.left = flags & 1;
  d.plus = flags & 2;
  d.space = flags & 4;
  d.alternate = flags & 8;
  d.zero = flags & 16;
  d.grouped = flags & 32;
  const uint8_t given = input.Byte();
  d.widthGiven = static_cast<Directive::Given>(given % 3);
  d.precisionGiven = static_cast<Directive::Given>(given / 3 % 3);
  d.width = input.Number<int16_t>() % kLimit;
  d.precision = input.Number<int16_t>() % kLimit;
  if (d.widthGiven == Directive::kDigits) d.width = d.width < 0 ? -d.width : d.width;
  if (d.precisionGiven == Directive::kDigits) d.precision = d.precision < 0 ? -d.precision : d.precision;
  // A width of digits "0..." would read as the zero flag.
  if (d.widthGiven == Directive::kDigits && d.width == 0) d.widthGiven = Directive::kNone;
  static const wchar_t kConversions[] = L"diouxXcs%";
  d.conversion = kConversions[input.Byte() % 9];
  const uint8_t lengthPick = input.Byte();
  const uint8_t valuePick = input.Byte();
  const long long raw = valuePick < sizeof kEdges / sizeof kEdges[0] ? kEdges[valuePick] : input.Number<long long>();
  const std::size_t count = input.Byte();
  std::wstring before = input.Text();
  std::wstring after = input.Text();
  for (std::wstring* text : {&before, &after}) {
    for (wchar_t& c : *text) c = c == L'%' ? L'_' : c;
  }
  const std::wstring text = input.Text();

  switch (d.conversion) {
    case L'%':
      Compare(d, before, after, 0, Expected(d, before, after, 0), count);
      return;
    case L'c': {
      static const wchar_t* const kLengths[] = {L"", L"h", L"l"};
      d.length = kLengths[lengthPick % 3];
      const int value = d.Wide() ? static_cast<int>(raw & 0xFFFF) : static_cast<int>(raw);
      const wchar_t character = d.Wide() ? static_cast<wchar_t>(value) : static_cast<unsigned char>(value);
      std::wstring expected;
      if (!d.Wide() && character >= 0x80) {
        // MinGW: a narrow character is a byte taken as the character of the same number.
        Directive wide = d;
        wide.length = L"l";
        expected = Expected(wide, before, after, static_cast<std::wint_t>(character));
      } else {
        expected = Expected(d, before, after, value);
      }
      // MinGW: a wide NUL character is not written, though its place in the width is kept.
      if (d.Wide() && character == 0 && expected.find(L'\0') != std::wstring::npos) expected.erase(expected.find(L'\0'), 1);
      Compare(d, before, after, value, expected, count);
      return;
    }
    case L's': {
      static const wchar_t* const kLengths[] = {L"", L"h", L"l"};
      d.length = kLengths[lengthPick % 3];
      const bool null = (lengthPick / 3) % 8 == 0;
      // MinGW: a null string is "(null)", cut by the precision like any other.
      if (d.Wide()) {
        const wchar_t* value = null ? nullptr : text.c_str();
        Compare(d, before, after, value, Expected(d, before, after, null ? L"(null)" : text.c_str()), count);
      } else {
        std::string bytes;
        std::wstring widened;
        for (wchar_t c : text) {
          bytes += static_cast<char>(c & 0xFF);
          widened += static_cast<wchar_t>(c & 0xFF);
        }
        if (widened.find(L'\0') != std::wstring::npos) widened.erase(widened.find(L'\0'));
        const char* value = null ? nullptr : bytes.c_str();
        // MinGW: narrow text is taken byte by byte as the characters of the same numbers.
        Directive wide = d;
        wide.length = L"l";
        Compare(d, before, after, value, Expected(wide, before, after, null ? L"(null)" : widened.c_str()), count);
      }
      return;
    }
    default: {
      static const wchar_t* const kLengths[] = {L"", L"hh", L"h", L"l", L"ll", L"j", L"z", L"t"};
      d.length = kLengths[lengthPick % 8];
      if (d.length == L"hh") return Integer<signed char, unsigned char>(d, before, after, raw, count);
      if (d.length == L"h") return Integer<short, unsigned short>(d, before, after, raw, count);
      if (d.length == L"l") return Integer<long, unsigned long>(d, before, after, raw, count);
      if (d.length == L"ll") return Integer<long long, unsigned long long>(d, before, after, raw, count);
      if (d.length == L"j") return Integer<std::intmax_t, std::uintmax_t>(d, before, after, raw, count);
      if (d.length == L"z") return Integer<std::make_signed_t<std::size_t>, std::size_t>(d, before, after, raw, count);
      if (d.length == L"t") return Integer<std::ptrdiff_t, std::make_unsigned_t<std::ptrdiff_t>>(d, before, after, raw, count);
      return Integer<int, unsigned>(d, before, after, raw, count);
    }
  }
}

std::vector<fuzz::Bytes> fuzz::Seeds() {
  // The directives the launcher's sources use, and the forms of the unit tests around them.
  struct Seed {
    uint8_t flags, given;
    int16_t width, precision;
    uint8_t conversion, length, value;
    const wchar_t* text;
  } table[] = {
      {0, 0, 0, 0, 7, 2, 0, L"CUnPack::FindHeader"},        // %ls
      {0, 0, 0, 0, 0, 4, 20, L""},                          // %lld at LLONG_MAX
      {0, 0, 0, 0, 0, 0, 0, L""},                           // %d
      {0, 0, 0, 0, 4, 0, 18, L""},                          // %u at UINT_MAX
      {16, 1, 2, 0, 0, 3, 1, L""},                          // %02ld
      {16, 1, 4, 0, 0, 0, 9, L""},                          // %04d
      {0, 4, 0, 3, 7, 2, 0, L"abcdef"},                     // %.3ls
      {1, 5, 6, 2, 7, 2, 0, L"C:\\Users\\x\\AppData\\Local\\Temp\\unpacklumo\\1\\"},
      {0, 2, -6, 0, 0, 0, 4, L""},                          // %*d, negative width
      {8, 1, 10, 0, 5, 0, 10, L""},                         // %#10x
      {8, 4, 0, 0, 3, 0, 0, L""},                           // %#.0o of zero
      {4, 1, 5, 0, 4, 0, 3, L""},                           // % 5u
      {0, 0, 0, 0, 7, 2, 0, L"\u00e4\u00f6 \xD83D\xDE00 \xD800"},
      {0, 0, 0, 0, 7, 0, 0, L"100% \u00e9"},                // %s, narrow text
      {0, 1, 5, 0, 6, 2, 0, L""},                           // %5lc of NUL
      {0, 0, 0, 0, 8, 0, 0, L""},                           // %%
  };
  std::vector<Bytes> seeds;
  for (const Seed& s : table) {
    seeds.push_back(Output()
                        .Byte(s.flags)
                        .Byte(s.given)
                        .Number(s.width)
                        .Number(s.precision)
                        .Byte(s.conversion)
                        .Byte(s.length)
                        .Byte(s.value)
                        .Byte(40)
                        .Text(L"<")
                        .Text(L">")
                        .Text(s.text)
                        .Take());
  }
  return seeds;
}
