#include "launch/core/command_lines.h"

#include <cwchar>

namespace lumo {

namespace {

// The interpreter's switches, then the command.
std::wstring InterpreterCommand(const std::wstring& command) { return kInterpreterSwitches + command; }

bool HasBlank(const std::wstring& text) {
  return text.find_first_of(L" \t") != std::wstring::npos;
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
  return HasBlank(code) ? L"\"" + code + L"\"" : code;
}

std::wstring ManagerParameters(const std::wstring& code) {
  const std::wstring quoted = QuotedSessionCode(code);
  return InterpreterCommand(L"OXManagerLUMO.exe " + (quoted.empty() ? std::wstring() : L"-t " + quoted));
}

std::wstring ExpandParameters(const std::wstring& systemFolder) {
  return InterpreterCommand(systemFolder + L"\\expand.exe *.cab /f:* .\\");
}

std::wstring TaskCreateParameters(long sessionId) {
  return InterpreterCommand(L"schtasks /create /xml ALUMO.xml /ru \"system\" /tn ALUMO" + std::to_wstring(sessionId));
}

std::wstring TaskChangeParameters(long sessionId, const std::wstring& workFolder, const std::wstring& code) {
  std::wstring argument;
  if (!code.empty() && !IsUnsafeSessionCode(code))
    argument = HasBlank(code) ? L"\\\"" + code + L"\\\"" : code;
  const std::wstring session = std::to_wstring(sessionId);
  return InterpreterCommand(L"schtasks /change /tn ALUMO" + session + L" /ru \"system\" /tr \"'" +
         workFolder + L"\\Launcher.exe' OXManagerLUMO.exe " + session + L" " +
         argument + L"\"");
}

std::wstring TaskRunParameters(long sessionId) {
  return InterpreterCommand(L"schtasks /run /tn ALUMO" + std::to_wstring(sessionId));
}

std::wstring TaskDeleteParameters(long sessionId) {
  return InterpreterCommand(L"schtasks /delete /f /tn ALUMO" + std::to_wstring(sessionId));
}

}  // namespace lumo
