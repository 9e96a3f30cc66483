// Elevation: an administrator's launcher gets itself elevated, an elevated one on a normal
// boot launches the agent as SYSTEM, and an unelevated one given the token switch asks the
// user for consent before it tries again.
#include "app/elevation.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "app/app.h"
#include "app/core/elevation.h"
#include "res/resource.h"
#include "util/launcher_file.h"
#include "util/utility.h"

namespace lumo {
namespace {

constexpr const char* kSource = "CUnPackFileApp::InitInstance";

}  // namespace

bool StartElevatedCopy(const std::wstring& file, const std::wstring& parameters) {
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOASYNC;
  info.lpVerb = L"runas";
  info.lpFile = file.c_str();
  info.lpParameters = parameters.c_str();
  info.nShow = SW_SHOWNORMAL;
  return ::ShellExecuteExW(&info) != FALSE;
}

bool HandleElevation(bool& runAsSystem) {
  runAsSystem = false;
  // All five inputs are taken once, in this order; a failed query reads as "no".
  const bool admin = CUtility::IsUserInAdminGroup2();
  const bool vistaOrLater = !CUtility::IsPreVista();
  const bool codeSign = IsCodeSignConfigured();
  const bool elevated = CUtility::IsProcessElevated();
  const int cleanBoot = ::GetSystemMetrics(SM_CLEANBOOT);
  switch (DecideElevation(admin, vistaOrLater, codeSign, elevated, cleanBoot)) {
    case ElevationAction::kRunAsSystem:
      runAsSystem = true;
      return true;
    case ElevationAction::kRelaunchElevated: {
      // The elevated copy is started from the file this run holds, named by the path the
      // system resolved for the handle: no link on the way to it can be turned elsewhere
      // between the check and the prompt, and the file itself cannot move while held. The
      // hold lasts until this process ends, after the start. Where no final path can be had
      // (a volume without a drive letter, some redirectors), the module's path names it: the
      // held file cannot be renamed or replaced meanwhile either.
      const CLauncherFile* own = CLauncherFile::Own();
      std::wstring file = own != nullptr ? own->FinalPath() : std::wstring();
      if (file.empty()) file = CUtility::GetModulePath();
      // A declined or impossible elevation leaves this run to go on unelevated; the
      // elevated copy, when it starts, repeats the whole sequence.
      return !StartElevatedCopy(file, ::GetCommandLineW());
    }
    case ElevationAction::kNone:
      break;
  }
  return true;
}

bool AskConsent() {
  const std::wstring text = LoadResString(IDS_CONSENT_REQUEST) + L"\n" + LoadResString(IDS_CONSENT_OK) + L"\n" +
                            LoadResString(IDS_CONSENT_CANCEL);
  const int answer = ::MessageBoxW(nullptr, text.c_str(), LoadResString(IDS_WARNING).c_str(), kConsentPromptStyle);
  return answer == IDOK;
}

bool StartReopen(const std::wstring& modulePath, const std::wstring& commandLine) {
  std::wstring folder = modulePath;
  CUtility::StripPathComponents(folder, 1);
  // The launcher's own path, quoted, then its whole command line as it was given.
  UniqueProcessInformation process;
  const BOOL started =
      CUtility::StartProcess(modulePath, process.info, commandLine.c_str(), folder.c_str(), SW_SHOWNORMAL, true);
  if (!started) {
    const DWORD error = ::GetLastError();
    process.reset();
    ::SetLastError(error);
  }
  return started != FALSE;
}

bool HandleTokenSwitch(bool runAsSystem, bool& skipForegroundCheck) {
  const TokenScan scan = ScanTokenSwitch(GetCommandLineArguments(), runAsSystem, CUtility::IsPreVista());
  if (scan.skipForegroundCheck) skipForegroundCheck = true;
  if (scan.result != TokenScanResult::kShowConsentPrompt) return true;

  if (AskConsent()) {
    if (StartReopen(CUtility::GetModulePath(), ::GetCommandLineW())) {
      CUtility::Log("[%s] LUMO ElevationLimited reopen ", kSource);
    } else {
      const DWORD error = ::GetLastError();
      CUtility::Log("[%s] LUMO ElevationLimited reopen failed %d", kSource, static_cast<int>(error));
    }
  } else {
    CUtility::Log("[%s] LUMO ElevationLimited cancel", kSource);
  }
  return false;
}

}  // namespace lumo
