#include "settings/init_setting.h"

#include <windows.h>

#include "app/core/arguments.h"
#include "util/utility.h"

void CInitSetting::Load(std::wstring folder) {
  if (folder.empty()) {
    folder = CUtility::GetModulePath();
    CUtility::StripPathComponents(folder, 1);
    // Without a folder of our own, a relative name would be looked up in the Windows folder.
    if (folder.empty()) return;
  }
  const auto candidates = lumo::SettingsFileCandidates(folder);
  const std::wstring file = CUtility::FileExists(candidates.first) ? candidates.first : candidates.second;
  if (!CUtility::FileExists(file)) return;

  lumo::ApplyInitSettings(*this, [&file](const wchar_t* key) {
    wchar_t buffer[lumo::kSettingBufferChars] = {};
    ::GetPrivateProfileStringW(L"Settings", key, L"", buffer, static_cast<DWORD>(lumo::kSettingBufferChars),
                               file.c_str());
    buffer[lumo::kSettingBufferChars - 1] = L'\0';
    return std::wstring(buffer);
  });
}

std::wstring CInitSetting::ComposeSessionCode() const {
  return lumo::ComposeSessionCode(token, tokenCategory, tokenMode, tokenKind);
}
