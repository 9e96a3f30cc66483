// Models of how Windows reads a command line, for tests that check the launcher's command
// lines by reading them back: cmd.exe, the split into arguments that CommandLineToArgvW and
// the C runtime make, and schtasks' reading of a /tr action. They follow the documented rules
// only; where a line leaves that ground (the outcome depends on the file system, the readers
// differ, or the rule is not modelled) the reading says "not understood" instead of guessing,
// and a caller takes such a line for a wrong one. Portable: no <windows.h>.
//
// Checked against examples of the documented behaviour in tests/unit/command_reader_test.cpp.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace cmdline {

// ---- Arguments, as CommandLineToArgvW (and the C runtime, where they agree) split a line ----
//  - The first argument, the program name, runs to the first blank or tab; when it starts
//    with a double quote, to the next double quote, and no backslash is special in it. A line
//    that starts with a blank has an empty program name.
//  - Later arguments are separated by blanks and tabs outside double quotes, and blanks at the
//    end are ignored. A double quote toggles quoting and is dropped.
//  - 2n backslashes followed by a double quote give n backslashes, and the quote toggles
//    quoting; 2n+1 backslashes followed by a quote give n backslashes and a literal quote;
//    backslashes not followed by a quote stand for themselves.
// Not understood: a quote that closes quoting right before another quote ("" inside quotes:
// the shell's reader and the C runtime's read it differently), text glued to a quoted program
// name, and control characters other than tab.
struct Arguments {
  bool understood = true;
  std::vector<std::wstring> values;
};

inline bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }
inline bool IsControl(wchar_t c) { return c < 0x20 && c != L'\t'; }

inline Arguments SplitArguments(const std::wstring& line) {
  Arguments result;
  const std::size_t n = line.size();
  std::size_t i = 0;
  std::wstring program;
  if (n > 0 && line[0] == L'"') {
    for (i = 1; i < n && line[i] != L'"'; ++i) program += line[i];
    if (i < n) ++i;
    if (i < n && !IsBlank(line[i])) result.understood = false;
  } else {
    for (; i < n && !IsBlank(line[i]); ++i) program += line[i];
  }
  for (wchar_t c : program) result.understood = result.understood && !IsControl(c);
  result.values.push_back(program);

  for (;;) {
    while (i < n && IsBlank(line[i])) ++i;
    if (i >= n) break;
    std::wstring value;
    bool quoted = false;
    while (i < n && (quoted || !IsBlank(line[i]))) {
      std::size_t backslashes = 0;
      while (i < n && line[i] == L'\\') ++backslashes, ++i;
      if (i < n && line[i] == L'"') {
        value.append(backslashes / 2, L'\\');
        if (backslashes % 2 == 1) {
          value += L'"';
        } else {
          if (quoted && i + 1 < n && line[i + 1] == L'"') result.understood = false;
          quoted = !quoted;
        }
        ++i;
      } else if (backslashes > 0) {
        value.append(backslashes, L'\\');
      } else {
        if (IsControl(line[i])) result.understood = false;
        value += line[i++];
      }
    }
    result.values.push_back(value);
  }
  return result;
}

// ---- cmd.exe PARAMETERS ----
//  - Switches before /c: /d, /q, /s, /v:on and /v:off, in any case; others are not modelled.
//    The command is the text after /c and its blanks. A command that starts with a double
//    quote is not modelled: cmd then keeps or strips quotes depending on whether the quoted
//    text names an executable file.
//  - %NAME% is replaced by the variable's value wherever it stands, inside quotes too. An
//    undefined NAME leaves the text as it is, and on the command line %% stays %% (only a
//    batch file makes % of it). A NAME with ':' (substring and replacement) is not modelled.
//    Carriage returns are then dropped.
//  - Each double quote toggles quoting. Outside quotes: ^ is dropped and takes the next
//    character literally; & && | || end a command; < and > redirect; ( where a command begins
//    opens a block and ) closes it. A line feed, and a ^ at the very end (cmd asks "More?"),
//    are not modelled.
//  - Delayed expansion is on with /v:on, and also without /v:off when the user's
//    DelayedExpansion registry value asks for it, so the model takes it as on unless /v:off.
//    It replaces !NAME! in a command (an undefined one by nothing) and drops a lone !; a
//    command with a ! also loses its carets once more, inside quotes too.
// `acts` names everything cmd did to the text besides handing it on: "%NAME%", "!NAME!", "!",
// "^", "CR", "&", "&&", "|", "||", "<", ">", "(", ")". A line cmd hands on untouched reads as
// one command and no act.
struct CmdReading {
  bool understood = true;
  bool delayedExpansion = true;
  std::vector<std::wstring> commands;  // each as the program started for it receives it
  std::vector<std::wstring> acts;
};

using Environment = std::map<std::wstring, std::wstring>;  // names in upper case

inline std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
  return text;
}

inline const std::wstring* Variable(const Environment& environment, const std::wstring& name) {
  const auto it = environment.find(Upper(name));
  return it == environment.end() ? nullptr : &it->second;
}

// Phase of %NAME%, then carriage returns.
inline std::wstring ExpandPercent(const std::wstring& text, const Environment& environment, CmdReading& reading) {
  std::wstring out;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] != L'%') {
      if (text[i] == L'\r') {
        reading.acts.push_back(L"CR");
      } else {
        out += text[i];
      }
      ++i;
      continue;
    }
    const std::size_t close = text.find(L'%', i + 1);
    const std::wstring name = close == std::wstring::npos ? std::wstring() : text.substr(i + 1, close - i - 1);
    if (name.find(L':') != std::wstring::npos) reading.understood = false;
    const std::wstring* value = name.empty() ? nullptr : Variable(environment, name);
    if (value != nullptr) {
      out += *value;
      reading.acts.push_back(L"%" + name + L"%");
      i = close + 1;
    } else {
      out += L'%';
      ++i;
    }
  }
  return out;
}

inline std::wstring ExpandDelayed(const std::wstring& command, const Environment& environment, CmdReading& reading) {
  if (command.find(L'!') == std::wstring::npos) return command;
  std::wstring out;
  for (std::size_t i = 0; i < command.size(); ++i) {
    const wchar_t c = command[i];
    if (c == L'^') {
      reading.acts.push_back(L"^");
      if (i + 1 < command.size()) out += command[++i];
    } else if (c == L'!') {
      const std::size_t close = command.find(L'!', i + 1);
      if (close == std::wstring::npos) {
        reading.acts.push_back(L"!");
        continue;
      }
      const std::wstring name = command.substr(i + 1, close - i - 1);
      if (const std::wstring* value = Variable(environment, name)) out += *value;
      reading.acts.push_back(L"!" + name + L"!");
      i = close;
    } else {
      out += c;
    }
  }
  return out;
}

inline CmdReading ReadAsCmd(const std::wstring& parameters, const Environment& environment) {
  CmdReading reading;
  // Switches up to /c.
  std::size_t i = 0;
  bool command = false;
  while (!command) {
    while (i < parameters.size() && IsBlank(parameters[i])) ++i;
    const std::size_t end = parameters.find_first_of(L" \t", i);
    const std::wstring option = Upper(parameters.substr(i, end == std::wstring::npos ? std::wstring::npos : end - i));
    if (option == L"/C") {
      command = true;
    } else if (option == L"/V:OFF") {
      reading.delayedExpansion = false;
    } else if (option == L"/V:ON") {
      reading.delayedExpansion = true;
    } else if (option != L"/D" && option != L"/Q" && option != L"/S") {
      reading.understood = false;
      return reading;
    }
    i = end == std::wstring::npos ? parameters.size() : end;
  }
  while (i < parameters.size() && IsBlank(parameters[i])) ++i;
  const std::wstring text = ExpandPercent(parameters.substr(i), environment, reading);
  if (!text.empty() && text[0] == L'"') reading.understood = false;

  std::wstring current;
  bool quoted = false;
  bool commandStart = true;  // nothing but blanks since the command began
  int blocks = 0;
  auto endCommand = [&](const wchar_t* act) {
    reading.acts.push_back(act);
    reading.commands.push_back(current);
    current.clear();
    commandStart = true;
  };
  for (std::size_t at = 0; at < text.size(); ++at) {
    const wchar_t c = text[at];
    const wchar_t next = at + 1 < text.size() ? text[at + 1] : L'\0';
    if (c == L'\n') reading.understood = false;
    if (quoted) {
      current += c;
      quoted = c != L'"';
      continue;
    }
    switch (c) {
      case L'"':
        quoted = true;
        current += c;
        break;
      case L'^':
        reading.acts.push_back(L"^");
        if (at + 1 == text.size()) reading.understood = false;
        if (next != L'\0') current += text[++at];
        break;
      case L'&':
      case L'|':
        if (next == c) {
          ++at;
          endCommand(c == L'&' ? L"&&" : L"||");
        } else {
          endCommand(c == L'&' ? L"&" : L"|");
        }
        continue;
      case L'<':
      case L'>':
        // The operator (>> too) and the file name after it leave the command.
        reading.acts.push_back(c == L'<' ? L"<" : L">");
        if (next == c) ++at;
        while (at + 1 < text.size() && IsBlank(text[at + 1])) ++at;
        while (at + 1 < text.size() && !IsBlank(text[at + 1]) && std::wstring(L"&|<>").find(text[at + 1]) == std::wstring::npos)
          ++at;
        continue;
      case L'(':
        if (commandStart) {
          reading.acts.push_back(L"(");
          ++blocks;
          continue;
        }
        current += c;
        break;
      case L')':
        if (blocks > 0) {
          reading.acts.push_back(L")");
          --blocks;
        } else {
          current += c;
        }
        break;
      default:
        current += c;
        break;
    }
    if (!IsBlank(c)) commandStart = false;
  }
  reading.commands.push_back(current);
  for (std::wstring& each : reading.commands) {
    each.erase(0, each.find_first_not_of(L" \t") == std::wstring::npos ? each.size() : each.find_first_not_of(L" \t"));
    if (reading.delayedExpansion) each = ExpandDelayed(each, environment, reading);
  }
  return reading;
}

// ---- schtasks /tr ACTION, as the Task Scheduler runs it ----
// schtasks reads every single quote in the value as a double quote, not only a pair around the
// program's path. The program is then the leading double-quoted path (the form the schtasks
// reference shows for a path with blanks), started with the whole action as its command line,
// which it reads as CommandLineToArgvW does. Anything else is not understood.
inline Arguments ReadTaskAction(std::wstring action) {
  for (wchar_t& c : action) c = c == L'\'' ? L'"' : c;
  const std::size_t close = action.size() > 1 && action[0] == L'"' ? action.find(L'"', 1) : std::wstring::npos;
  if (close == std::wstring::npos || (close + 1 < action.size() && !IsBlank(action[close + 1]))) {
    Arguments none;
    none.understood = false;
    return none;
  }
  return SplitArguments(action);
}

}  // namespace cmdline
