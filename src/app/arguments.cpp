// The command line after the extraction: the code from the launcher's file name, and the
// second switch pass with its debug markers, code override and session instructions.
#include <windows.h>

#include <share.h>
#include <shellapi.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>

#include "app/app.h"
#include "app/core/arguments.h"
#include "util/utility.h"

namespace {

// An empty marker file in the work folder's "log" folder; an existing one stays as it is.
void WriteDebugMarker(const std::wstring& workFolder, const std::wstring& name) {
  std::wstring folder = workFolder;
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  folder += L"log";
  // Failures are of no consequence to the run: the markers only serve the agent's logging.
  ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
  FILE* file = ::_wfsopen((folder + L"\\" + name).c_str(), L"a", _SH_DENYNO);
  if (file != nullptr) ::fclose(file);
}

}  // namespace

std::vector<std::wstring> GetCommandLineArguments() {
  std::vector<std::wstring> arguments;
  // The runtime's own split, where the program was started through the wide entry point.
  if (__wargv != nullptr && __argc > 0) {
    for (int i = 0; i < __argc; ++i) arguments.emplace_back(__wargv[i] != nullptr ? __wargv[i] : L"");
    return arguments;
  }
  int count = 0;
  wchar_t** split = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (split == nullptr) return arguments;
  lumo::UniqueLocal owner(reinterpret_cast<HLOCAL>(split));
  for (int i = 0; i < count; ++i) arguments.emplace_back(split[i]);
  return arguments;
}

void CUnPackFileApp::DeriveCodeFromFileName(std::wstring& code) {
  lumo::CodeFromFileName(CUtility::GetModulePath(), code);
}

void CUnPackFileApp::ApplySwitches(const std::wstring& workFolder, const std::vector<std::wstring>& arguments) {
  const lumo::SwitchPassResult pass = lumo::SecondSwitchPass(arguments, m_strSessionCode, m_strInstruction);
  m_strSessionCode = pass.sessionCode;
  m_strInstruction = pass.instruction;
  for (const lumo::SwitchAction& action : pass.actions) {
    if (action.kind == lumo::SwitchAction::Kind::kDebugMarker)
      WriteDebugMarker(workFolder, action.text);
    else
      HandleInstruction(action.text);
  }
}
