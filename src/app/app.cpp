// The start-up sequence: one function per step, in the order a run takes them.
#include "app/app.h"

#include "app/arbitration.h"
#include "app/core/arguments.h"
#include "app/elevation.h"
#include "app/instance_lock.h"
#include "res/resource.h"
#include "settings/init_setting.h"
#include "settings/product_key.h"
#include "ui/loading.h"
#include "unpack/unpack.h"
#include "util/core/os_class.h"
#include "util/launcher_file.h"
#include "util/utility.h"

namespace {

constexpr const char* kSource = "CUnPackFileApp::InitInstance";

// Windows 7 or later is required; older systems get the upgrade message and nothing else
// (no log line, no registry).
bool IsSupportedSystem() { return CUtility::GetOSClass() > lumo::kOsVista; }

void ShowUpgradeMessage() {
  ::MessageBoxW(nullptr, LoadResString(IDS_UPGRADE_WINDOWS).c_str(),
                LoadResString(IDS_PRODUCT_NAME).c_str(), MB_OK | MB_ICONINFORMATION);
}

// Runs the extraction on its worker thread and waits for it; its result is not used. The
// work folder is asked for afterwards, which creates it (empty) when the run never needed
// it: no payload, or no room for the first entry.
std::wstring ExtractPayload(CUnPack& unpack) {
  unpack.RunExtraction();
  return unpack.GetWorkFolder();
}

// The file the user started is the only one this run reads. When it could not be held, or the
// path now names another file, the run ends before it writes, shows or starts anything.
bool HoldsOwnFile() {
  const CLauncherFile* own = CLauncherFile::Own();
  if (own != nullptr && own->IsHeld()) return true;
  // The step that failed: the open, with its Win32 error, or the check, with its status.
  const bool checkFailed = own != nullptr && own->GetVerdict() == CLauncherFile::Verdict::kAnotherFile;
  const DWORD why =
      own == nullptr ? ERROR_INVALID_HANDLE : checkFailed ? static_cast<DWORD>(own->Status()) : own->Error();
  CUtility::Log(checkFailed ? "[%s] LUMO skip: the launcher's file is not the one started (0x%08X)"
                            : "[%s] LUMO skip: the launcher's file cannot be opened (%d)",
                kSource, static_cast<int>(why));
  return false;
}

}  // namespace

bool CUnPackFileApp::InitInstance() {
  // 1. Operating system: an older system is told to upgrade, and nothing is logged.
  if (!IsSupportedSystem()) {
    ShowUpgradeMessage();
    return true;
  }

  // The launcher's own file, before anything is written, shown or started.
  if (!HoldsOwnFile()) return false;

  // 2. Elevation.
  bool bRunAsSystem = false;
  if (!lumo::HandleElevation(bRunAsSystem)) return false;

  // 3. Registry hand-off.
  WriteLaunchPaths();

  // 4. Token switch scan.
  bool bSkipForegroundCheck = false;
  if (!lumo::HandleTokenSwitch(bRunAsSystem, bSkipForegroundCheck)) return false;

  // 5. Loading window.
  ShowLoadingWindow(&m_pMainWnd);

  // 6. Instance arbitration.
  if (CInstanceLock* lock = CInstanceLock::Session()) {
    if (!lumo::ArbitrateInstance(*lock, bSkipForegroundCheck)) return false;
  }

  // 7. The OS line.
  CUtility::OSInfo();

  // 8. Extraction.
  CUnPack unpack;
  const std::wstring workFolder = ExtractPayload(unpack);

  // 9. Work folder check and initial settings.
  // Only a folder this run created counts; without one the launch is skipped.
  if (!unpack.HasWorkFolder()) {
    CUtility::Log("[%s] LUMO skip without unpacking files", kSource);
  } else {
    CInitSetting settings;
    settings.Load(workFolder);

    // 10. Session code.
    m_strSessionCode = settings.token;
    if (m_strSessionCode.empty() && settings.gatewayMode)
      DeriveCodeFromFileName(m_strSessionCode);
    else
      m_strSessionCode = settings.ComposeSessionCode();

    // 11. Second switch pass.
    ApplySwitches(workFolder, GetCommandLineArguments());

    // 12. Clear a stale instruction.
    if (lumo::ShouldClearInstruction(m_strSessionCode, m_strInstruction)) HandleInstruction(std::wstring());

    // 13. Cabinet.
    ExpandCabinet(workFolder);

    // 14. Launch.
    if (bRunAsSystem)
      RunAsService(workFolder);
    else
      RunAsStandard(workFolder);
  }

  // 15. Remove the work folder.
  unpack.RemoveWorkFolder();

  // 16. Close the loading window.
  CloseLoadingWindow(&m_pMainWnd);

  // 17.
  return false;
}
