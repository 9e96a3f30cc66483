// The portable rules of the agent stand-in: its record format (UTF-8 "key=value" lines),
// the arguments the manager and the starter take, and how the starter builds the manager's
// command line. Header-only, so that the stand-in programs, the Windows-side tests and the
// native unit tests share one definition.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace agentstandin {

// ---- Record: one "key=value" line per field; "\\", "\n" and "\r" in a value are escaped
// as "\\\\", "\\n" and "\\r", so that every value stays on its line. ----
inline std::string EscapeValue(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

inline std::string UnescapeValue(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      const char next = value[++i];
      out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    } else {
      out += value[i];
    }
  }
  return out;
}

using Fields = std::vector<std::pair<std::string, std::string>>;

inline std::string FormatRecord(const Fields& fields) {
  std::string text;
  for (const auto& field : fields) text += field.first + "=" + EscapeValue(field.second) + "\n";
  return text;
}

// Reads a record; a key given twice keeps its last value; lines without "=" are ignored.
inline std::map<std::string, std::string> ParseRecord(const std::string& text) {
  std::map<std::string, std::string> record;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t equals = line.find('=');
    if (equals != std::string::npos && equals > 0) record[line.substr(0, equals)] = UnescapeValue(line.substr(equals + 1));
    start = end + 1;
  }
  return record;
}

// ---- The manager's arguments: "-t CODE" gives the session code; nothing else is used ----
struct ManagerArguments {
  bool hasCode = false;
  std::wstring code;
};

inline ManagerArguments ParseManagerArguments(const std::vector<std::wstring>& args) {
  ManagerArguments result;
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == L"-t") {
      result.hasCode = true;
      result.code = args[i + 1];
      break;
    }
  }
  return result;
}

// ---- The starter: "Launcher.exe PROGRAM SESSION [CODE]" ----
struct StarterArguments {
  std::wstring program;     // a plain file name in the starter's own folder
  long session = -1;
  std::wstring code;        // empty: the manager starts without "-t"
  std::wstring error;       // set when the arguments cannot be used
  bool ok() const { return error.empty(); }
};

inline bool IsPlainFileName(const std::wstring& name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  for (wchar_t c : name)
    if (c == L'\\' || c == L'/' || c == L':' || c < 0x20 || c == L'"' || c == L'*' || c == L'?' || c == L'<' ||
        c == L'>' || c == L'|')
      return false;
  return true;
}

// A code is handed on only when it cannot change the command line's meaning: no quote and
// no control character (a blank is fine; the code is then quoted).
inline bool IsPassableCode(const std::wstring& code) {
  for (wchar_t c : code)
    if (c == L'"' || c < 0x20) return false;
  return true;
}

inline StarterArguments ParseStarterArguments(const std::vector<std::wstring>& args) {
  StarterArguments result;
  if (args.size() < 2) {
    result.error = L"usage: Launcher.exe PROGRAM SESSION [CODE]";
    return result;
  }
  result.program = args[0];
  if (!IsPlainFileName(result.program)) {
    // Run as SYSTEM: it never starts anything outside its own folder.
    result.error = L"the program must be a file name in the starter's folder";
    return result;
  }
  const std::wstring& session = args[1];
  bool digits = !session.empty();
  size_t first = (session.size() > 1 && session[0] == L'-') ? 1 : 0;
  long value = 0;
  for (size_t i = first; i < session.size() && digits; ++i) {
    if (session[i] < L'0' || session[i] > L'9' || value > 100000000) digits = false;
    else value = value * 10 + (session[i] - L'0');
  }
  if (!digits || first == session.size()) {
    result.error = L"the session must be a number";
    return result;
  }
  result.session = first ? -value : value;
  // A code that held blanks and reached the starter unquoted arrives in pieces.
  for (size_t i = 2; i < args.size(); ++i) {
    if (!result.code.empty()) result.code += L' ';
    result.code += args[i];
  }
  if (!IsPassableCode(result.code)) result.code.clear();
  return result;
}

// The manager's command line: its full path quoted, then "-t" and the code (quoted when it
// holds a blank) when there is a code.
inline std::wstring ManagerCommandLine(const std::wstring& managerPath, const std::wstring& code) {
  std::wstring line = L"\"" + managerPath + L"\"";
  if (!code.empty()) {
    line += L" -t ";
    if (code.find_first_of(L" \t") == std::wstring::npos) {
      line += code;
    } else {
      // Backslashes before the closing quote are doubled, or they would escape it.
      size_t trailing = 0;
      while (trailing < code.size() && code[code.size() - 1 - trailing] == L'\\') ++trailing;
      line += L"\"" + code + std::wstring(trailing, L'\\') + L"\"";
    }
  }
  return line;
}

}  // namespace agentstandin
