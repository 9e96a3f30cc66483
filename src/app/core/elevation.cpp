#include "app/core/elevation.h"

namespace lumo {

ElevationAction DecideElevation(bool admin, bool vistaOrLater, bool codeSign, bool elevated, int cleanBoot) {
  if (!admin || !vistaOrLater || codeSign) return ElevationAction::kNone;
  if (elevated) return cleanBoot == 0 ? ElevationAction::kRunAsSystem : ElevationAction::kNone;
  return ElevationAction::kRelaunchElevated;
}

bool IsTokenSwitch(const std::wstring& argument) {
  std::wstring rest;
  for (wchar_t c : argument) {
    if (c != L'/' && c != L'-') rest.push_back(c);
  }
  return rest == L"T" || rest == L"t";
}

TokenScan ScanTokenSwitch(const std::vector<std::wstring>& arguments, bool runAsSystem, bool preVista) {
  TokenScan scan;
  if (arguments.size() < 2) return scan;
  for (const std::wstring& argument : arguments) {
    if (!IsTokenSwitch(argument)) continue;
    if (runAsSystem) {
      scan.skipForegroundCheck = true;
      continue;
    }
    if (preVista) continue;
    scan.result = TokenScanResult::kShowConsentPrompt;
    return scan;
  }
  return scan;
}

}  // namespace lumo
