// Registry links as any program of the user can make them in the user's hive, their removal
// as themselves, and a record of a key tree to show that nothing behind a link changed.
//
// Wine follows a registry link from the user's hive into the machine's, as the tests need;
// whether Windows does is not documented (docs/RELEASE-CHECKS.md). RegDeleteTree and
// RegDeleteKey of a link delete what it points to and leave the link (under Wine), so links
// are removed here with NtDeleteKey on a handle of the link itself.
#pragma once

#include <windows.h>

#include <string>

namespace testsupport {

// The NT name of HKLM\Software\<below> in the 64-bit view: what a link names as its target.
inline std::wstring MachineSoftware(const std::wstring& below) { return L"\\Registry\\Machine\\Software\\" + below; }

// Makes `path` below `root` a registry link to the NT name `target` (which need not exist).
inline bool MakeRegistryLink(HKEY root, const std::wstring& path, const std::wstring& target) {
  HKEY link = nullptr;
  if (::RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS, nullptr, &link,
                        nullptr) != ERROR_SUCCESS)
    return false;
  const LONG status = ::RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK,
                                       reinterpret_cast<const BYTE*>(target.c_str()),
                                       static_cast<DWORD>(target.size() * sizeof(wchar_t)));
  ::RegCloseKey(link);
  return status == ERROR_SUCCESS;
}

// Whether `path` below `root`, opened as itself, carries a link's target (so does a plain key
// given such a value).
inline bool IsRegistryLink(HKEY root, const std::wstring& path, REGSAM view = 0) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS)
    return false;
  DWORD type = 0;
  const bool link = ::RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
                    type == REG_LINK;
  ::RegCloseKey(key);
  return link;
}

// Removes `path` below `root` with everything in it, every key as itself: a link goes, what
// it points to stays. `view` selects the registry view (KEY_WOW64_64KEY for the machine's
// Software from either width).
inline void RemoveKeyAsItself(HKEY root, const std::wstring& path, REGSAM view = 0) {
  using DeleteKey = LONG(NTAPI*)(HANDLE);
  static const DeleteKey deleteKey = reinterpret_cast<DeleteKey>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
  HKEY key = nullptr;
  if (deleteKey == nullptr ||
      ::RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS)
    return;
  // Only a key with subkeys of its own resists, and a link has none: its subkeys, were it
  // entered, would be its target's.
  if (deleteKey(key) != 0) {
    wchar_t child[256];
    for (DWORD index = 0, size = 256; ::RegEnumKeyExW(key, index, child, &size, nullptr, nullptr, nullptr, nullptr) ==
                                       ERROR_SUCCESS;
         size = 256) {
      RemoveKeyAsItself(key, child, view);
      // A child that would not go stays listed; pass over it.
      HKEY still = nullptr;
      if (::RegOpenKeyExW(key, child, REG_OPTION_OPEN_LINK, KEY_READ | view, &still) == ERROR_SUCCESS) {
        ::RegCloseKey(still);
        ++index;
      }
    }
    deleteKey(key);
  }
  ::RegCloseKey(key);
}

// Every value (name, type and data) and subkey of a key tree, in the order the registry
// lists them, links not entered; empty when the key does not open.
inline std::wstring KeyTreeRecord(HKEY root, const std::wstring& path, REGSAM view = 0) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | view, &key) != ERROR_SUCCESS)
    return std::wstring();
  std::wstring record = L"[" + path + L"]\n";
  wchar_t name[256];
  BYTE data[1024];
  for (DWORD index = 0;; ++index) {
    DWORD size = 256, type = 0, bytes = sizeof(data);
    if (::RegEnumValueW(key, index, name, &size, nullptr, &type, data, &bytes) != ERROR_SUCCESS) break;
    record += std::wstring(name) + L" " + std::to_wstring(type) + L" " +
              std::wstring(reinterpret_cast<const wchar_t*>(data), bytes / sizeof(wchar_t)) + L"\n";
  }
  const bool link = IsRegistryLink(root, path, view);
  for (DWORD index = 0; !link; ++index) {
    DWORD size = 256;
    if (::RegEnumKeyExW(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    record += KeyTreeRecord(key, name, view);
  }
  ::RegCloseKey(key);
  return record;
}

}  // namespace testsupport
