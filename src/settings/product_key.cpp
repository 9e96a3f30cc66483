// The product key: which key "UNIVERSAL_PATH_CONVERT" stands for, and the values that the
// start-up writes there for the agent.
#include <shlobj.h>

#include "settings/core/key_mapping.h"
#include "settings/product_key.h"
#include "settings/registry.h"
#include "util/utility.h"

std::wstring ResolveProductKeyPath(const std::wstring& path, BOOL perSession, HKEY root) {
  if (!lumo::IsProductKeyword(path)) return path;
  std::wstring product = lumo::kProductBasePath;
  CRegistry probe;
  if (root == nullptr) {
    // Every probe below is served from the session user's hive (the machine root is
    // redirected), so the edition marker in the per-session key decides in the end.
    probe.SetRootKey(HKEY_LOCAL_MACHINE, TRUE);
    probe.OpenKey(lumo::kProductBasePath, FALSE, perSession);
    if (probe.ReadDWORD(L"OXSBasedType", 1, std::wstring()) == 1)
      return ResolveProductKeyPath(path, perSession, HKEY_LOCAL_MACHINE);
    probe.Reset();
    probe.SetRootKey(HKEY_CURRENT_USER, TRUE);
    if (!probe.KeyExists(lumo::kProductBasePath, nullptr))
      return ResolveProductKeyPath(path, perSession, HKEY_LOCAL_MACHINE);
    if (probe.OpenKey(lumo::kProductBasePath, FALSE, perSession)) {
      if (!probe.ValueExists(L"OXServerMode")) return ResolveProductKeyPath(path, perSession, HKEY_LOCAL_MACHINE);
      if (probe.ReadDWORD(L"OXServerMode", 0, std::wstring()) == 1) product = lumo::kBusinessPath;
    }
  } else if (probe.SetRootKey(root, TRUE) && probe.OpenKey(lumo::kProductBasePath, FALSE, perSession) &&
             probe.ReadDWORD(L"OXServerMode", 0, std::wstring()) == 1) {
    product = lumo::kBusinessPath;
  }
  const long session = static_cast<long>(static_cast<int>(GetOwnSessionId()));
  return lumo::MapSessionKeyPath(product, perSession != FALSE, session);
}

bool OpenSessionProductKey(CRegistry& registry) {
  return registry.SetRootKey(HKEY_CURRENT_USER, TRUE) &&
         registry.OpenProductKey(lumo::kProductKeyword, TRUE, TRUE);
}

void WriteLaunchPaths() {
  CRegistry registry;
  if (!OpenSessionProductKey(registry)) return;
  // Failed writes do not stop the run: the agent then simply finds no path.
  registry.WriteString(L"ImagePath", CUtility::GetModulePath(), REG_SZ);
  wchar_t desktop[MAX_PATH] = {};
  if (SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_DESKTOP, nullptr, SHGFP_TYPE_DEFAULT, desktop)) &&
      desktop[0] != L'\0')
    registry.WriteString(L"DesktopPath", std::wstring(desktop) + L"\\LUMO.exe", REG_SZ);
}
