// The launcher's printf core against MinGW's, which this test program links (only the
// launcher itself replaces it): the same conversions as the native comparison with the C
// library, and the forms where MinGW has ways of its own (signs on unsigned numbers, pointers,
// Microsoft's sizes, cut null strings, malformed directives, snprintf's cut and count).
// Built and run as x86_64; the release launcher is i686, whose argument passing this cannot show.
#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>

#include "support/platform.h"
#include "support/wide_format_cases.h"

namespace {

using formatcases::Call;

int MinGW(wchar_t* buffer, std::size_t count, const wchar_t* format, va_list args) {
  return __mingw_vsnwprintf(buffer, count, format, args);
}

TEST(WideFormat, EveryConversionOfTheLauncherWritesWhatMinGWWrites) {
  LUMO_WINE_ONLY("reads the launcher's sources through Wine's drive Z:");
  // The sources, read through Wine's drive Z: (the Linux root).
  const std::map<std::wstring, std::string> directives = formatcases::LauncherDirectives("Z:" LUMO_SOURCE_DIR);
  ASSERT_EQ(directives.count(L"%ls"), 1u);
  for (const auto& [directive, file] : directives) {
    EXPECT_TRUE(formatcases::Differences(&MinGW, directive).empty())
        << "used in " << file << ":\n" << formatcases::Lines(formatcases::Differences(&MinGW, directive));
  }
  std::vector<std::wstring> more = formatcases::ToWstringDirectives();
  more.insert(more.end(), formatcases::FlagDirectives().begin(), formatcases::FlagDirectives().end());
  for (const std::wstring& directive : more) {
    EXPECT_TRUE(formatcases::Differences(&MinGW, directive).empty())
        << formatcases::Lines(formatcases::Differences(&MinGW, directive));
  }
}

TEST(WideFormat, MinGWsOwnFormsAreKept) {
  const auto same = [](auto... args) { EXPECT_EQ(Call(&formatcases::Ours, args...), Call(&MinGW, args...)); };
  // Signs and blanks on unsigned numbers, an alternate octal zero with no digits.
  same(L"[%+u] [% u] [%+5u] [%#.0o] [%#.0x] [%+x]", 7u, 7u, 7u, 0u, 0u, 7u);
  // Pointers: all the address's digits unless a flag, width or precision says otherwise.
  int object = 0;
  same(L"[%p] [%p] [%20p] [%-20p|] [%#p] [%.4p]", static_cast<void*>(&object), static_cast<void*>(nullptr),
       static_cast<void*>(&object), static_cast<void*>(&object), static_cast<void*>(&object),
       static_cast<void*>(nullptr));
  // Microsoft's sizes.
  same(L"[%I64d] [%I64u] [%I32d] [%Id] [%Ix]", -5LL, 18446744073709551615ULL, -7, static_cast<std::ptrdiff_t>(-9),
       static_cast<std::size_t>(255));
  // Null strings cut by a precision; a null wide character writes nothing but takes its place.
  same(L"[%.3ls] [%.3s] [%5lc] [%-5lc|] [%c]", static_cast<const wchar_t*>(nullptr),
       static_cast<const char*>(nullptr), 0, 0, 0);
  // Malformed and unfinished directives, flags in the wrong place, a '%' ending a directive.
  same(L"[%y] [%5-d] [%-5%] [%ll] [%.5.3d] [%*5d]", 42, 4, 7);
  same(L"trailing %");
  // Narrow text and characters beyond ASCII: each byte is the character of the same number.
  same(L"[%s] [%c] [%5.1s] [%hs] [%-3hc|]", "\xe9\xff", 0xE9, "\xc3\xa9", "\x80", 0x1FF);
  same(L"[%'d] [%hhd] [%hd]", 1234567, 300, 70000);
}

TEST(WideFormat, CutsAndCountsAsMinGWDoes) {
  const wchar_t* const pattern = L"%ls-%d";
  for (std::size_t count : {0u, 1u, 2u, 5u, 9u, 10u, 11u, 64u}) {
    wchar_t ours[64];
    wchar_t theirs[64];
    std::wmemset(ours, L'#', 64);
    std::wmemset(theirs, L'#', 64);
    const int ourLength = [&](wchar_t* buffer, ...) {
      va_list args;
      va_start(args, buffer);
      const int written = lumo::FormatWideV(buffer, count, pattern, args);
      va_end(args);
      return written;
    }(ours, L"abcdef", 123);
    const int theirLength = ::snwprintf(theirs, count, pattern, L"abcdef", 123);
    EXPECT_EQ(ourLength, theirLength) << count;
    EXPECT_EQ(std::wstring(ours, 64), std::wstring(theirs, 64)) << count;
  }
}

}  // namespace
