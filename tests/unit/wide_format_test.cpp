// The launcher's printf core (lumo::FormatWideV, which stands in for MinGW's in the release
// launcher) against the C library: every conversion the launcher's sources format with, found
// by reading them, and the usual forms around them. Where C99 leaves MinGW a choice of its
// own, tests/wine/wide_format_test.cpp holds the core against MinGW itself.
#include "util/core/wide_format.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <map>

#include "tests/support/wide_format_cases.h"

namespace {

int Library(wchar_t* buffer, std::size_t count, const wchar_t* format, va_list args) {
  return std::vswprintf(buffer, count, format, args);
}

TEST(WideFormat, EveryConversionOfTheLauncherWritesWhatTheCLibraryWrites) {
  const std::map<std::wstring, std::string> directives = formatcases::LauncherDirectives(LUMO_SOURCE_DIR);
  // The scan itself works: the log's most common conversions are there.
  ASSERT_EQ(directives.count(L"%ls"), 1u);
  ASSERT_EQ(directives.count(L"%lld"), 1u);
  for (const auto& [directive, file] : directives) {
    const std::vector<std::string> differences = formatcases::Differences(&Library, directive);
    // A conversion the comparison cannot make arguments for (floating point, %p, '*',
    // Microsoft's I64) fails here: it needs a comparison of its own before the launcher uses it.
    EXPECT_TRUE(differences.empty()) << "used in " << file << ":\n" << formatcases::Lines(differences);
  }
  for (const std::wstring& directive : formatcases::ToWstringDirectives()) {
    const std::vector<std::string> differences = formatcases::Differences(&Library, directive);
    EXPECT_TRUE(differences.empty()) << "used by std::to_wstring:\n" << formatcases::Lines(differences);
  }
}

TEST(WideFormat, FlagsWidthsPrecisionsAndLengthsWriteWhatTheCLibraryWrites) {
  for (const std::wstring& directive : formatcases::FlagDirectives()) {
    const std::vector<std::string> differences = formatcases::Differences(&Library, directive);
    EXPECT_TRUE(differences.empty()) << formatcases::Lines(differences);
  }
}

TEST(WideFormat, WholeFormatsAndStarArgumentsWriteWhatTheCLibraryWrites) {
  using formatcases::Call;
  const auto same = [](auto... args) { EXPECT_EQ(Call(&formatcases::Ours, args...), Call(&Library, args...)); };
  same(L"[%ls]  FreeSpace:%lld FileSize:%lld", L"CUnPack::UnPackFiles", 123456789012LL, -5LL);
  same(L"Lumo%02ld%u%u%u%u.exe", 3L, 6u, 1u, 7601u, 0u);
  same(L"%04d-%02d-%02d %02d:%02d:%02d", 2024, 7, 4, 7, 3, 9);
  same(L"100%% of %d%%", 5);
  same(L"[%*d] [%-*d] [%*d]", 6, 42, 6, 42, -6, 42);
  same(L"[%.*ls] [%.*ls] [%*.*d]", 3, L"abcdef", -1, L"abcdef", 8, 4, 7);
  same(L"%c%lc%s%ls%d%u%x", 'a', L'b', "c", L"d", -1, 2u, 255u);
}

TEST(WideFormat, CutsTheTextAndReportsItsWholeLengthAsSnprintfDoes) {
  const auto format = [](wchar_t* buffer, std::size_t count, const wchar_t* pattern, ...) {
    va_list args;
    va_start(args, pattern);
    const int written = lumo::FormatWideV(buffer, count, pattern, args);
    va_end(args);
    return written;
  };
  wchar_t buffer[16];
  std::wmemset(buffer, L'#', 16);
  EXPECT_EQ(format(buffer, 8, L"%ls %d", L"hello", 12345), 11);
  EXPECT_EQ(std::wstring(buffer), L"hello 1");
  EXPECT_EQ(buffer[8], L'#');
  EXPECT_EQ(format(buffer, 12, L"%ls %d", L"hello", 12345), 11);
  EXPECT_EQ(std::wstring(buffer), L"hello 12345");
  EXPECT_EQ(format(buffer, 1, L"%d", 7), 1);
  EXPECT_EQ(buffer[0], L'\0');
  buffer[0] = L'#';
  EXPECT_EQ(format(buffer, 0, L"%d", 7), 1);
  EXPECT_EQ(buffer[0], L'#');
}

TEST(WideFormat, ConversionsItDoesNotFormatKeepTheLaterArgumentsInPlace) {
  using formatcases::Call;
  // Floating point and %n are not the launcher's: written as they stand, argument consumed.
  EXPECT_EQ(Call(&formatcases::Ours, L"a%5.2fb%ldc%Lgd%n|%ls", 1.5, 7L, 2.5L, static_cast<int*>(nullptr), L"z"),
            L"a%5.2fb7c%Lgd%n|z");
}

}  // namespace
