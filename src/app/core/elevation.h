// The elevation decision and the token switch, as pure functions of their inputs.
#pragma once

#include <string>
#include <vector>

namespace lumo {

enum class ElevationAction {
  kNone,              // go on as started; the standard launch
  kRunAsSystem,       // elevated on a normal boot: the launch as SYSTEM
  kRelaunchElevated,  // an unelevated administrator: start an elevated copy ("runas")
};

// admin: member of Administrators (also with a filtered token); vistaOrLater; codeSign:
// both code-sign values set; elevated; cleanBoot: GetSystemMetrics(SM_CLEANBOOT), 0 on a
// normal boot.
ElevationAction DecideElevation(bool admin, bool vistaOrLater, bool codeSign, bool elevated, int cleanBoot);

// An argument is the token switch when what remains after removing every '/' and '-' is
// "T" in any case: /T, -T, T, t, --T and /-t match; /T1 and -Tx do not.
bool IsTokenSwitch(const std::wstring& argument);

enum class TokenScanResult {
  kContinue,           // no switch, or only switches that need nothing
  kShowConsentPrompt,  // an unelevated run with the switch: ask, then end the run
};

// Walks every argument, the program name included, when there are at least two. On the
// SYSTEM route each switch only marks that the first window check is to be skipped; before
// Vista it is ignored; otherwise the first one ends the scan with the consent prompt.
struct TokenScan {
  TokenScanResult result = TokenScanResult::kContinue;
  bool skipForegroundCheck = false;
};
TokenScan ScanTokenSwitch(const std::vector<std::wstring>& arguments, bool runAsSystem, bool preVista);

}  // namespace lumo
