#include "unpack/core/entry_name.h"

#include <algorithm>
#include <cstdint>
#include <type_traits>

namespace lumo {

namespace {

template <typename Char>
Char Upper(Char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<Char>(c - 'a' + 'A') : c;
}

template <typename Char>
bool EqualsUpper(const std::basic_string<Char>& text, const char* word) {
  std::size_t i = 0;
  for (; word[i] != '\0'; ++i) {
    if (i >= text.size() || Upper(text[i]) != static_cast<Char>(word[i])) return false;
  }
  return i == text.size();
}

// Windows maps these names to devices in any folder, with any extension and with blanks
// before the extension; "COM" and "LPT" also take the digits 1-9 and the superscripts
// 1-3 (which are single characters in UTF-16 and in the Western code page alike).
template <typename Char>
bool IsDeviceName(const std::basic_string<Char>& name) {
  std::basic_string<Char> stem = name.substr(0, name.find(static_cast<Char>('.')));
  while (!stem.empty() && stem.back() == static_cast<Char>(' ')) stem.pop_back();
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (EqualsUpper(stem, device)) return true;
  }
  if (stem.size() != 4) return false;
  const std::basic_string<Char> prefix = stem.substr(0, 3);
  if (!EqualsUpper(prefix, "COM") && !EqualsUpper(prefix, "LPT")) return false;
  const auto last = static_cast<uint32_t>(static_cast<typename std::make_unsigned<Char>::type>(stem[3]));
  return (last >= '1' && last <= '9') || last == 0xB9 || last == 0xB2 || last == 0xB3;
}

template <typename Char>
uint32_t Code(Char c) {
  return static_cast<uint32_t>(static_cast<typename std::make_unsigned<Char>::type>(c));
}

// `converted` false: the name is still 8-bit text of an unknown code page. In the double-
// byte code pages (932, 936, 949, 950) 0x5C ('\') and 0x7C ('|') are also second bytes of
// many characters, so those two are left to the check of the converted name. Everything
// else judged here is a separator, lies below every second byte (0x40), or is the last byte.
template <typename Char>
NameProblem CheckBare(const std::basic_string<Char>& name, bool converted = true) {
  if (name.empty()) return NameProblem::kEmpty;
  // A file name on Windows holds at most 255 UTF-16 units. An 8-bit name may be shorter once
  // converted (two bytes of a double-byte code page make one character), so it waits.
  if (converted && name.size() > kMaxFileNameLength) return NameProblem::kTooLong;
  for (Char c : name) {
    const uint32_t u = Code(c);
    if ((converted && u == '\\') || u == '/' || u == ':') return NameProblem::kSeparator;
  }
  if (EqualsUpper(name, ".") || EqualsUpper(name, "..")) return NameProblem::kDotName;
  for (Char c : name) {
    const uint32_t u = Code(c);
    if (u < 0x20 || u == '<' || u == '>' || u == '"' || u == '?' || u == '*' || (converted && u == '|'))
      return NameProblem::kForbidden;
  }
  // Windows drops a final dot or blank when it opens a path: "setup.cab." would be written
  // as "setup.cab", over another entry.
  if (Code(name.back()) == '.' || Code(name.back()) == ' ') return NameProblem::kTrailingDot;
  if (IsDeviceName(name)) return NameProblem::kDeviceName;
  return NameProblem::kNone;
}

}  // namespace

const char* DescribeNameProblem(NameProblem problem) {
  switch (problem) {
    case NameProblem::kNone: return "a bare file name";
    case NameProblem::kEmpty: return "an empty name";
    case NameProblem::kNotTerminated: return "a name without its terminating NUL";
    case NameProblem::kSeparator: return "a name holding '\\', '/' or ':'";
    case NameProblem::kDotName: return "a name that is \".\" or \"..\"";
    case NameProblem::kDeviceName: return "a reserved device name";
    case NameProblem::kTooLong: return "a name longer than 255 characters, the most a Windows file name holds";
    case NameProblem::kNotPrintable: return "a name holding something other than printable ASCII";
    case NameProblem::kForbidden: return "a name holding a character Windows forbids (< > \" | ? * or a control character)";
    case NameProblem::kTrailingDot: return "a name ending in a dot or a blank, which Windows drops";
  }
  return "an unknown name problem";
}

NameProblem CheckEntryNameField(const std::array<char, kEntryNameSize>& field, std::string* text) {
  const auto end = std::find(field.begin(), field.end(), '\0');
  const std::string name(field.begin(), end);
  if (text != nullptr) *text = name;
  if (end == field.end()) return NameProblem::kNotTerminated;
  return CheckBare(name, false);
}

NameProblem CheckEntryNameAnyCodePage(const std::array<char, kEntryNameSize>& field, std::string* text,
                                      bool* ascii) {
  std::string name;
  NameProblem problem = CheckEntryNameField(field, &name);
  const bool isAscii = std::all_of(name.begin(), name.end(), [](char c) { return Code(c) < 0x80; });
  if (problem == NameProblem::kNone) {
    // Every double-byte code page starts its characters at 0x81 or above, so a '\' or '|'
    // anywhere else is that character in every code page: judged as the converted name is.
    // Its length too: over 255 bytes is too long in every single-byte code page, and for
    // the host's own file systems, which count bytes.
    std::string judged = name;
    for (std::size_t i = 0; i < judged.size(); ++i) {
      if ((judged[i] == '\\' || judged[i] == '|') && i > 0 && Code(judged[i - 1]) >= 0x81) judged[i] = '_';
    }
    problem = CheckBare(judged);
  }
  if (text != nullptr) *text = name;
  if (ascii != nullptr) *ascii = isAscii;
  return problem;
}

NameProblem CheckBareName(const std::string& name) { return CheckBare(name); }
NameProblem CheckBareName(const std::wstring& name) { return CheckBare(name); }

NameProblem CheckPackName(const std::string& name) {
  for (char c : name) {
    if (c < 0x20 || c > 0x7E) return NameProblem::kNotPrintable;
  }
  return CheckBare(name);
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

}  // namespace lumo
