// Holds lumo::FormatWideV against a reference vswprintf, one directive at a
// time with a set of sample arguments of the directive's type. The native unit tests use
// the C library's vswprintf as the reference, the Wine tests MinGW's (what the launcher would
// use without its own core). Portable: no <windows.h>.
#pragma once

#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <type_traits>
#include <vector>

#include "util/core/wide_format.h"

namespace formatcases {

using VFormat = int (*)(wchar_t*, std::size_t, const wchar_t*, va_list);

inline std::wstring Call(VFormat format, const wchar_t* pattern, ...) {
  wchar_t buffer[4096];
  buffer[0] = L'\0';
  va_list args;
  va_start(args, pattern);
  const int written = format(buffer, 4096, pattern, args);
  va_end(args);
  if (written < 0) return L"<failed>";
  // The whole text as counted, NUL characters written by a conversion included.
  return std::wstring(buffer, written < 4096 ? static_cast<std::size_t>(written) : 4095);
}

inline int Ours(wchar_t* buffer, std::size_t count, const wchar_t* format, va_list args) {
  return lumo::FormatWideV(buffer, count, format, args);
}

inline std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += (c >= 32 && c < 127) ? static_cast<char>(c) : c == 0 ? '0' : '?';
  return out;
}

// The conversions whose arguments the comparison can make: d i u o x X c s and %%, with
// flags, a width and a precision as digits, and the lengths hh h l ll j z t. Anything else
// (floating point, %p, %n, '*', Microsoft's I64) does not match.
inline const std::wregex& ComparableDirective() {
  static const std::wregex pattern(L"%([-+ #0']*)([0-9]*)(\\.[0-9]*)?(hh|h|ll|l|j|z|t)?([diouxXcs%])");
  return pattern;
}

// Every directive in `text` ("%" to its conversion letter), as printf reads it.
inline std::vector<std::wstring> DirectivesIn(const std::wstring& text) {
  static const std::wregex any(L"%[-+ #0']*(\\*|[0-9]+)?(\\.(\\*|[0-9]*))?(hh|h|ll|l|j|z|t|L|I64|I32|I)?[A-Za-z%]");
  std::vector<std::wstring> directives;
  for (std::wsregex_iterator it(text.begin(), text.end(), any), end; it != end; ++it) directives.push_back(it->str());
  return directives;
}

template <typename T>
void CompareOne(VFormat reference, const std::wstring& directive, T value, std::vector<std::string>& differences) {
  // Text around the conversion shows that the field begins and ends where it should.
  const std::wstring pattern = L"<" + directive + L">";
  const std::wstring expected = Call(reference, pattern.c_str(), value);
  const std::wstring actual = Call(&Ours, pattern.c_str(), value);
  if (expected != actual) {
    differences.push_back(Narrow(pattern) + ": expected \"" + Narrow(expected) + "\", got \"" + Narrow(actual) + "\"");
  }
}

template <typename Signed>
void CompareSigned(VFormat reference, const std::wstring& directive, std::vector<std::string>& differences) {
  static const long long samples[] = {0, 1, -1, 7, -7, 9, 10, 42, -42, 99, 100, 127, -128, 255, 256, 4096,
                                      32767, -32768, 65535, 65536, 2147483647LL, -2147483647LL - 1,
                                      4294967295LL, 1234567890123LL, LLONG_MAX, LLONG_MIN};
  for (long long sample : samples) {
    using Passed = std::conditional_t<(sizeof(Signed) < sizeof(int)), int, Signed>;
    CompareOne(reference, directive, static_cast<Passed>(static_cast<Signed>(sample)), differences);
  }
}

template <typename Unsigned>
void CompareUnsigned(VFormat reference, const std::wstring& directive, std::vector<std::string>& differences) {
  static const unsigned long long samples[] = {0, 1, 7, 8, 9, 10, 15, 16, 42, 255, 256, 4095, 4096, 65535, 65536,
                                               2147483648ULL, 4294967295ULL, 4294967296ULL, 1234567890123ULL,
                                               ULLONG_MAX};
  for (unsigned long long sample : samples) {
    using Passed = std::conditional_t<(sizeof(Unsigned) < sizeof(int)), int, Unsigned>;
    CompareOne(reference, directive, static_cast<Passed>(static_cast<Unsigned>(sample)), differences);
  }
}

// Compares one directive on all its samples; returns a line per difference. Fails the
// comparison itself (one line) when the directive is not one it can make arguments for.
// A null string is among the samples unless a precision is given: C libraries cut "(null)"
// differently (MinGW's own way is checked under Wine).
inline std::vector<std::string> Differences(VFormat reference, const std::wstring& directive) {
  std::vector<std::string> differences;
  std::wsmatch parts;
  if (!std::regex_match(directive, parts, ComparableDirective())) {
    differences.push_back(Narrow(directive) + ": not a conversion the comparison covers");
    return differences;
  }
  const bool nullText = !parts[3].matched;
  const std::wstring length = parts[4].str();
  const wchar_t conversion = parts[5].str()[0];
  const bool wide = length == L"l" || length == L"ll";
  switch (conversion) {
    case L'%':
      CompareOne(reference, directive, 0, differences);
      break;
    case L'c':
      for (wchar_t c : {L'A', L'z', L'%', L' ', L'9'}) CompareOne(reference, directive, static_cast<int>(c), differences);
      if (wide) {
        for (wchar_t c : {L'\u00e4', L'\u0436', L'\u4e2d'}) CompareOne(reference, directive, static_cast<int>(c), differences);
      }
      break;
    case L's':
      if (wide) {
        const std::wstring longText(1500, L'w');
        for (const wchar_t* text : {L"", L"a", L"CUnPack::FindHeader", L"C:\\Users\\x\\AppData\\Local\\Temp\\unpacklumo\\1\\",
                                    L"100% %d %ls", L"\u00e4\u00f6\u00fc \u0436 \u4e2d", longText.c_str()}) {
          CompareOne(reference, directive, text, differences);
        }
        if (nullText) CompareOne(reference, directive, static_cast<const wchar_t*>(nullptr), differences);
      } else {
        for (const char* text : {"", "a", "C:\\Temp\\x", "100% %d"}) CompareOne(reference, directive, text, differences);
        if (nullText) CompareOne(reference, directive, static_cast<const char*>(nullptr), differences);
      }
      break;
    case L'd':
    case L'i':
      if (length == L"hh") CompareSigned<signed char>(reference, directive, differences);
      else if (length == L"h") CompareSigned<short>(reference, directive, differences);
      else if (length == L"l") CompareSigned<long>(reference, directive, differences);
      else if (length == L"ll") CompareSigned<long long>(reference, directive, differences);
      else if (length == L"j") CompareSigned<std::intmax_t>(reference, directive, differences);
      else if (length == L"z") CompareSigned<std::make_signed_t<std::size_t>>(reference, directive, differences);
      else if (length == L"t") CompareSigned<std::ptrdiff_t>(reference, directive, differences);
      else CompareSigned<int>(reference, directive, differences);
      break;
    default:  // o u x X
      if (length == L"hh") CompareUnsigned<unsigned char>(reference, directive, differences);
      else if (length == L"h") CompareUnsigned<unsigned short>(reference, directive, differences);
      else if (length == L"l") CompareUnsigned<unsigned long>(reference, directive, differences);
      else if (length == L"ll") CompareUnsigned<unsigned long long>(reference, directive, differences);
      else if (length == L"j") CompareUnsigned<std::uintmax_t>(reference, directive, differences);
      else if (length == L"z") CompareUnsigned<std::size_t>(reference, directive, differences);
      else if (length == L"t") CompareUnsigned<std::make_unsigned_t<std::ptrdiff_t>>(reference, directive, differences);
      else CompareUnsigned<unsigned>(reference, directive, differences);
      break;
  }
  return differences;
}

// Every directive in the string literals of the launcher's sources under `root`, wide and
// narrow (the log's formats are kept narrow and widened as they are used), with the file it
// was first seen in. Comment lines, and lines that give their literals to wsprintfW (user32
// formats those itself) or ExpandEnvironmentStringsW ("%SystemRoot%" is no format) are left
// out, and so is "%SystemRoot%" wherever it stands (the commands' environment expands it);
// any other literal with a '%' is taken for a format.
inline std::map<std::wstring, std::string> LauncherDirectives(const std::string& root) {
  std::map<std::wstring, std::string> directives;
  static const std::regex literal(R"(L?"((?:[^"\\]|\\.)*)\")");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root + "/src")) {
    const std::string extension = entry.path().extension().string();
    if (extension != ".cpp" && extension != ".h") continue;
    std::ifstream file(entry.path());
    std::string line;
    while (std::getline(file, line)) {
      const std::size_t code = line.find_first_not_of(' ');
      if (line.find("wsprintf") != std::string::npos || line.find("ExpandEnvironmentStrings") != std::string::npos ||
          code == std::string::npos || line.compare(code, 2, "//") == 0 || line.compare(code, 1, "#") == 0) {
        continue;
      }
      for (std::sregex_iterator it(line.begin(), line.end(), literal), end; it != end; ++it) {
        std::string text = (*it)[1].str();
        for (std::size_t at; (at = text.find("%SystemRoot%")) != std::string::npos;) text.erase(at, 12);
        for (const std::wstring& directive : DirectivesIn(std::wstring(text.begin(), text.end()))) {
          directives.emplace(directive, entry.path().filename().string());
        }
      }
    }
  }
  return directives;
}

inline std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "  " + line + "\n";
  return text;
}

// What std::to_wstring formats with (libstdc++ formats integers through vswprintf).
inline const std::vector<std::wstring>& ToWstringDirectives() {
  static const std::vector<std::wstring> directives = {L"%d", L"%u", L"%ld", L"%lu", L"%lld", L"%llu"};
  return directives;
}

// Flags, widths, precisions and lengths around the launcher's own conversions, where C99 and
// MinGW agree (the forms where they part are checked against MinGW alone, under Wine).
inline const std::vector<std::wstring>& FlagDirectives() {
  static const std::vector<std::wstring> directives = {
      L"%i", L"%5d", L"%-5d", L"%+d", L"% d", L"%05d", L"%-05d", L"%.3d", L"%.0d", L"%8.3d", L"%-8.3d",
      L"%+08d", L"% 06d", L"%1d", L"%hd", L"%hhd", L"%jd", L"%zd", L"%td", L"%02ld", L"%020lld", L"%'d",
      L"%hu", L"%hhu", L"%zu", L"%05u", L"%-7u", L"%.12llu", L"%x", L"%X", L"%#x", L"%#X", L"%08x", L"%#010x",
      L"%-#8x", L"%.4x", L"%#.4X", L"%lx", L"%llX", L"%o", L"%#o", L"%5o", L"%#8o", L"%.5o", L"%ls", L"%10ls",
      L"%-10ls", L"%.3ls", L"%10.3ls", L"%.0ls", L"%lc", L"%5lc", L"%-5lc", L"%s", L"%8s", L"%-8s", L"%.2s",
      L"%c", L"%3c", L"%%"};
  return directives;
}

}  // namespace formatcases
