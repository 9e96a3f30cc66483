// The stand-ins' and the agent stand-in's settings for one test (standins/common/settings.h),
// under HKLM\Software\LumoStandins for the scope: the launcher's SYSTEM route hands what it
// starts the system's environment, never the test's.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "standins/common/settings.h"

namespace testsupport {

class StandinSettings {
 public:
  StandinSettings() = default;
  StandinSettings(const StandinSettings&) = delete;
  StandinSettings& operator=(const StandinSettings&) = delete;
  ~StandinSettings() {
    for (const auto& set : set_) {
      HKEY key = nullptr;
      if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, set.first.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key) == 0) {
        ::RegDeleteValueW(key, set.second.c_str());
        ::RegCloseKey(key);
      }
    }
  }

  // `name` may lead with a subkey: "Agent\\LifetimeMs".
  StandinSettings& Set(const std::wstring& name, const std::wstring& value) {
    std::wstring path = standins::kSettingsKey, value_name = name;
    const std::size_t slash = name.rfind(L'\\');
    if (slash != std::wstring::npos) {
      path += L"\\" + name.substr(0, slash);
      value_name = name.substr(slash + 1);
    }
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                          &key, nullptr) == 0) {
      ::RegSetValueExW(key, value_name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
      ::RegCloseKey(key);
      set_.emplace_back(path, value_name);
    }
    return *this;
  }

 private:
  std::vector<std::pair<std::wstring, std::wstring>> set_;
};

}  // namespace testsupport
