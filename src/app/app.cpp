// The start-up sequence: one function per step, in the order a run takes them.
#include "app/app.h"

#include "res/resource.h"
#include "util/core/os_class.h"
#include "util/utility.h"

namespace {

constexpr const wchar_t* kSource = L"CUnPackFileApp::InitInstance";

// Windows 7 or later is required; older systems get the upgrade message and nothing else
// (no log line, no registry).
bool IsSupportedSystem() { return CUtility::GetOSClass() > lumo::kOsVista; }

void ShowUpgradeMessage() {
  ::MessageBoxW(nullptr, LoadResString(IDS_UPGRADE_WINDOWS).c_str(),
                LoadResString(IDS_PRODUCT_NAME).c_str(), MB_OK | MB_ICONINFORMATION);
}

}  // namespace

std::wstring LoadResString(UINT id) {
  const wchar_t* text = nullptr;
  // With a zero buffer length, LoadStringW hands out a pointer into the resource itself.
  const int length = ::LoadStringW(::GetModuleHandleW(nullptr), id, reinterpret_cast<wchar_t*>(&text), 0);
  if (length <= 0 || text == nullptr) return std::wstring();
  return std::wstring(text, static_cast<std::size_t>(length));
}

bool CUnPackFileApp::InitInstance() {
  (void)kSource;
  // 1. Operating system.
  if (!IsSupportedSystem()) {
    ShowUpgradeMessage();
    return true;
  }

  // 2. Elevation.

  // 3. Registry hand-off.

  // 4. Token switch scan.

  // 5. Loading window.

  // 6. Instance arbitration.

  // 7. The OS line.
  CUtility::OSInfo();

  // 8. Extraction.

  // 9. Work folder check and initial settings.

  // 10. Session code.

  // 11. Second switch pass.

  // 12. Clear a stale instruction.

  // 13. Cabinet.

  // 14. Launch.

  // 15. Remove the work folder.

  // 16. Close the loading window.

  // 17.
  return false;
}
