// The standard launch: the agent's manager runs in the launcher's own user context.
#include <windows.h>

#include "app/app.h"
#include "launch/core/command_lines.h"
#include "launch/launch_steps.h"
#include "util/core/os_class.h"
#include "util/utility.h"

namespace lumo {

bool RenameInWorkFolder(const std::wstring& from, const std::wstring& to, const char* source) {
  if (::MoveFileW(from.c_str(), to.c_str())) return true;
  const DWORD error = ::GetLastError();
  CUtility::Log("[%s] rename %ls to %ls failed %d", source, from.c_str(), to.c_str(), static_cast<int>(error));
  return false;
}

void CopyFeatureBuild(const std::wstring& workFolder, const char* source) {
  const std::wstring from = workFolder + L"\\OXFeatureLUMO.exe";
  const std::wstring to = workFolder + L"\\OXFeatMiniLUMO.exe";
  const int result = CUtility::CopyFileAsUser(from, to);
  CUtility::Log("[%s] copy oxf %ls to %ls %d", source, from.c_str(), to.c_str(), result);
}

void SwapPrinterCatalogs(const std::wstring& workFolder, const char* source) {
  if (!CUtility::IsOSAtLeast(kOsWin10, 0)) return;
  const std::wstring variant = workFolder + L"\\dxprinterx.cat";
  if (variant.size() >= MAX_PATH || !CUtility::FileExists(variant)) return;
  const std::wstring regular = workFolder + L"\\dxprinter.cat";
  RenameInWorkFolder(regular, workFolder + L"\\dxprinter8.cat", source);
  RenameInWorkFolder(variant, regular, source);
  CUtility::Log("[%s] rename printer INF", source);
}

}  // namespace lumo

void CUnPackFileApp::RunAsStandard(const std::wstring& workFolder) {
  constexpr const char* kSource = "CUnPackFileApp::RunAsStandard";
  // The regular name goes to the build without UI access; the UI-access build is parked.
  // Names are relative: the work folder is the current directory since the expansion.
  lumo::RenameInWorkFolder(L"OXFeatureLUMO.exe", L"OXFeatureLUMOUIA.exe", kSource);
  lumo::RenameInWorkFolder(L"OXFeatureLUMONOUIA.exe", L"OXFeatureLUMO.exe", kSource);
  lumo::CopyFeatureBuild(workFolder, kSource);
  lumo::SwapPrinterCatalogs(workFolder, kSource);

  if (!m_strSessionCode.empty() && lumo::QuotedSessionCode(m_strSessionCode).empty())
    CUtility::Log("[%s] session code dropped: it holds characters the interpreter acts on", kSource);
  ExecuteCommand(workFolder, lumo::ManagerParameters(m_strSessionCode), true);
}
