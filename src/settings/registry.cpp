#include "settings/registry.h"

#include "launch/impersonate.h"
#include "settings/core/key_mapping.h"
#include "util/utility.h"

namespace {

bool IsAcceptedRoot(HKEY root) {
  return root == HKEY_CLASSES_ROOT || root == HKEY_CURRENT_USER || root == HKEY_LOCAL_MACHINE ||
         root == HKEY_USERS;
}

}  // namespace

CRegistry::CRegistry() = default;

CRegistry::~CRegistry() { Reset(); }

BOOL CRegistry::Reset() {
  keyPath.clear();
  rootKey = HKEY_CURRENT_USER;
  noFlush = TRUE;
  return TRUE;
}

BOOL CRegistry::SetRootKey(HKEY root, BOOL redirectMachine) {
  if (!IsAcceptedRoot(root)) return FALSE;
  rootKey = (root == HKEY_LOCAL_MACHINE && redirectMachine) ? HKEY_CURRENT_USER : root;
  return TRUE;
}

void CRegistry::OpenRoot(lumo::UniqueKey& root) const {
  if (rootKey != HKEY_CURRENT_USER) {
    root.reset(rootKey);
    return;
  }
  HKEY hive = nullptr;
  LONG status;
  {
    // Only the opening of the hive runs as the session's user; the keys below it are used
    // with the process's own token through the handle.
    CImpersonateUser impersonation;
    status = ::RegOpenCurrentUser(KEY_ALL_ACCESS, &hive);
  }
  root.reset(status == ERROR_SUCCESS && hive != nullptr ? hive : HKEY_CURRENT_USER);
}

std::wstring CRegistry::PathWith(const std::wstring& subkey) const {
  if (subkey.empty()) return keyPath;
  // On the root itself the subkey is the whole path; a leading backslash would not open.
  if (keyPath.empty()) return subkey;
  return keyPath + L"\\" + subkey;
}

LONG CRegistry::OpenBelowRoot(const std::wstring& path, REGSAM mask, lumo::UniqueKey& root,
                              lumo::UniqueKey& key) const {
  OpenRoot(root);
  const LONG status = ::RegOpenKeyExW(root.get(), path.c_str(), 0, Access(mask), key.put());
  // An empty path may hand back the root's own handle: one owner must close it, not two.
  if (key.get() == root.get()) root.release();
  return status;
}

void CRegistry::FlushIfAsked(HKEY key) const {
  if (!noFlush) ::RegFlushKey(key);
}

BOOL CRegistry::SelectKey(const std::wstring& path, BOOL create) {
  lumo::UniqueKey root;
  lumo::UniqueKey key;
  LONG status;
  if (create) {
    OpenRoot(root);
    status = ::RegCreateKeyExW(root.get(), path.c_str(), 0, nullptr, 0, Access(KEY_ALL_ACCESS), nullptr, key.put(),
                               nullptr);
  } else {
    status = OpenBelowRoot(path, KEY_READ, root, key);
    lastError = status;
  }
  if (status != ERROR_SUCCESS) return FALSE;
  keyPath = path;
  FlushIfAsked(key.get());
  return TRUE;
}

BOOL CRegistry::OpenKey(const std::wstring& path, BOOL create, BOOL perSession) {
  if (path.empty()) {
    keyPath.clear();
    return TRUE;
  }
  const long session = static_cast<long>(static_cast<int>(GetOwnSessionId()));
  return SelectKey(lumo::MapSessionKeyPath(path, perSession != FALSE, session), create);
}

BOOL CRegistry::OpenProductKey(const std::wstring& path, BOOL create, BOOL perSession) {
  if (path.empty()) {
    keyPath.clear();
    return TRUE;
  }
  return SelectKey(ResolveProductKeyPath(path, perSession, nullptr), create);
}

BOOL CRegistry::KeyExists(const std::wstring& path, HKEY root) {
  lumo::UniqueKey ownRoot;
  HKEY base = root;
  if (base == nullptr) {
    OpenRoot(ownRoot);
    base = ownRoot.get();
  }
  lumo::UniqueKey key;
  const LONG status = ::RegOpenKeyExW(base, path.c_str(), 0, Access(KEY_ALL_ACCESS), key.put());
  // The caller's handle, should an empty path hand it back, stays the caller's.
  if (key.get() == root && root != nullptr) key.release();
  return status == ERROR_SUCCESS;
}

BOOL CRegistry::WriteDWORD(const std::wstring& name, DWORD value) {
  lumo::UniqueKey root, key;
  if (OpenBelowRoot(keyPath, KEY_WRITE, root, key) != ERROR_SUCCESS) return FALSE;
  const LONG status = ::RegSetValueExW(key.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                       sizeof(value));
  FlushIfAsked(key.get());
  return status == ERROR_SUCCESS;
}

BOOL CRegistry::WriteString(const std::wstring& name, const std::wstring& text, DWORD type) {
  lumo::UniqueKey root, key;
  if (OpenBelowRoot(keyPath, KEY_WRITE, root, key) != ERROR_SUCCESS) return FALSE;
  const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  const LONG status =
      ::RegSetValueExW(key.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(text.c_str()), bytes);
  FlushIfAsked(key.get());
  return status == ERROR_SUCCESS;
}

DWORD CRegistry::ReadDWORD(const std::wstring& name, DWORD defaultValue) {
  return ReadDWORD(name, defaultValue, std::wstring());
}

DWORD CRegistry::ReadDWORD(const std::wstring& name, DWORD defaultValue, const std::wstring& subkey) {
  lumo::UniqueKey root, key;
  if (OpenBelowRoot(PathWith(subkey), KEY_READ, root, key) != ERROR_SUCCESS) return defaultValue;
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) !=
      ERROR_SUCCESS)
    return defaultValue;
  // Shorter data would leave part of the number unset: that is no number at all.
  return size == sizeof(value) ? value : defaultValue;
}

DWORD CRegistry::GetValueType(const std::wstring& name, const std::wstring& subkey) {
  lumo::UniqueKey root, key;
  lastError = OpenBelowRoot(PathWith(subkey), KEY_QUERY_VALUE, root, key);
  if (lastError != ERROR_SUCCESS) return 0;
  DWORD type = 0;
  lastError = ::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, nullptr);
  return lastError == ERROR_SUCCESS ? type : 0;
}

std::wstring CRegistry::ReadString(const std::wstring& name, const std::wstring& defaultValue,
                                   const std::wstring& subkey) {
  const DWORD type = GetValueType(name, subkey);
  if (type != REG_SZ && type != REG_EXPAND_SZ) return defaultValue;
  lumo::UniqueKey root, key;
  lastError = OpenBelowRoot(PathWith(subkey), KEY_READ, root, key);
  if (lastError != ERROR_SUCCESS) return defaultValue;
  DWORD size = 0;
  lastError = ::RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, nullptr, &size);
  if (lastError != ERROR_SUCCESS) return defaultValue;
  // One character more than the data holds, so text stored without its null still ends.
  std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
  DWORD capacity = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  lastError = ::RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&buffer[0]),
                                 &capacity);
  if (lastError != ERROR_SUCCESS) return defaultValue;
  buffer.back() = L'\0';
  return std::wstring(buffer.c_str());
}

BOOL CRegistry::ValueExists(const std::wstring& name) {
  lumo::UniqueKey root, key;
  if (OpenBelowRoot(keyPath, KEY_ALL_ACCESS, root, key) != ERROR_SUCCESS) return FALSE;
  return ::RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

BOOL CRegistry::DeleteValue(const std::wstring& name) {
  lumo::UniqueKey root, key;
  if (OpenBelowRoot(keyPath, KEY_SET_VALUE, root, key) != ERROR_SUCCESS) return FALSE;
  const LONG status = ::RegDeleteValueW(key.get(), name.c_str());
  FlushIfAsked(key.get());
  return status == ERROR_SUCCESS;
}
