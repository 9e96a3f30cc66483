#include "launch/core/command_lines.h"

#include <cwchar>

namespace lumo {

namespace {

// The interpreter's switches, then the command.
std::wstring InterpreterCommand(const std::wstring& command) { return kInterpreterSwitches + command; }

// The interpreter's switches, the system folder's schtasks.exe, then its options for the task
// of the session.
std::wstring SchtasksCommand(const std::wstring& systemFolder, const wchar_t* options, long sessionId) {
  std::wstring command = kInterpreterSwitches;
  ((command += systemFolder) += L"\\schtasks.exe ") += options;
  return command += std::to_wstring(sessionId);
}

bool HasBlank(const std::wstring& text) {
  return text.find_first_of(L" \t") != std::wstring::npos;
}

// The text in double quotes, to be read back as one argument by CommandLineToArgvW and the C
// runtime: backslashes count only before a quote, where 2n of them give n and end the
// quoting and 2n+1 give n and a literal quote. So a run of backslashes before an inner quote
// is doubled plus one, and a run before the closing quote is doubled.
std::wstring InQuotes(const std::wstring& text) {
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : text) {
    if (c == L'"') quoted.append(backslashes + 1, L'\\');
    backslashes = c == L'\\' ? backslashes + 1 : 0;
    quoted += c;
  }
  quoted.append(backslashes, L'\\');
  return quoted + L"\"";
}

}  // namespace

std::wstring InterpreterPath(bool preVista, bool wow64, const std::wstring& systemWindowsFolder,
                             const std::wstring& systemFolder) {
  if (!preVista && wow64) return systemWindowsFolder + L"\\sysnative\\cmd.exe";
  return systemFolder + L"\\cmd.exe";
}

std::wstring BackupFileName(const std::wstring& sharedTempFolder, long sessionId,
                            uint32_t versionMS, uint32_t versionLS) {
  wchar_t name[64];
  std::swprintf(name, 64, L"Lumo%02ld%u%u%u%u.exe", sessionId, static_cast<unsigned>(versionMS >> 16),
                static_cast<unsigned>(versionMS & 0xFFFF), static_cast<unsigned>(versionLS >> 16),
                static_cast<unsigned>(versionLS & 0xFFFF));
  return sharedTempFolder + L"\\" + name;
}

bool IsUnsafeSessionCode(const std::wstring& code) {
  for (wchar_t c : code) {
    if (c < 0x20 || c == 0x7F) return true;
    switch (c) {
      case L'"': case L'%': case L'^': case L'&': case L'|': case L'<': case L'>':
        return true;
      default:
        break;
    }
  }
  return false;
}

std::wstring QuotedSessionCode(const std::wstring& code) {
  if (code.empty() || IsUnsafeSessionCode(code)) return std::wstring();
  return HasBlank(code) ? InQuotes(code) : code;
}

std::wstring QuotedTaskCode(const std::wstring& code) {
  return code.find(L'\'') == std::wstring::npos ? QuotedSessionCode(code) : std::wstring();
}

std::wstring ManagerParameters(const std::wstring& code) {
  const std::wstring quoted = QuotedSessionCode(code);
  return InterpreterCommand(L".\\OXManagerLUMO.exe " + (quoted.empty() ? std::wstring() : L"-t " + quoted));
}

std::wstring ExpandParameters(const std::wstring& systemFolder) {
  return InterpreterCommand(systemFolder + L"\\expand.exe *.cab /f:* .\\");
}

std::wstring TaskCreateParameters(const std::wstring& systemFolder, long sessionId) {
  return SchtasksCommand(systemFolder, L"/create /xml ALUMO.xml /ru \"system\" /tn ALUMO", sessionId);
}

bool TaskActionCanName(const std::wstring& folder) { return folder.find_first_of(L"'%") == std::wstring::npos; }

std::wstring TaskAction(const std::wstring& workFolder, long sessionId, const std::wstring& code) {
  return L"'" + workFolder + L"\\Launcher.exe' OXManagerLUMO.exe " + std::to_wstring(sessionId) + L" " +
         QuotedTaskCode(code);
}

std::size_t Utf16Length(const std::wstring& text) {
  std::size_t units = 0;
  // Beyond the Basic Multilingual Plane a 32-bit wchar_t holds what UTF-16 writes as two.
  for (wchar_t c : text) units += (static_cast<uint32_t>(c) >> 16) != 0 ? 2 : 1;
  return units;
}

std::wstring TaskChangeParameters(const std::wstring& systemFolder, long sessionId, const std::wstring& workFolder,
                                  const std::wstring& code) {
  // The action as the starter is to read it, then quoted once more as schtasks' /tr value.
  return SchtasksCommand(systemFolder, L"/change /tn ALUMO", sessionId) + L" /ru \"system\" /tr " +
         InQuotes(TaskAction(workFolder, sessionId, code));
}

std::wstring TaskRunParameters(const std::wstring& systemFolder, long sessionId) {
  return SchtasksCommand(systemFolder, L"/run /tn ALUMO", sessionId);
}

std::wstring TaskDeleteParameters(const std::wstring& systemFolder, long sessionId) {
  return SchtasksCommand(systemFolder, L"/delete /f /tn ALUMO", sessionId);
}

std::wstring TaskQueryParameters(const std::wstring& systemFolder, long sessionId) {
  return SchtasksCommand(systemFolder, L"/query /tn ALUMO", sessionId);
}

std::wstring TaskDisableParameters(const std::wstring& systemFolder, long sessionId) {
  return SchtasksCommand(systemFolder, L"/change /tn ALUMO", sessionId) + L" /disable";
}

}  // namespace lumo
