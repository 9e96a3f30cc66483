#include "settings/core/init_rules.h"

#include "settings/core/decimal.h"

namespace lumo {

namespace {

std::wstring Read(const SettingLookup& lookup, const wchar_t* key) {
  std::wstring value = lookup(key);
  if (value.size() > kSettingBufferChars - 1) value.resize(kSettingBufferChars - 1);
  return value;
}

}  // namespace

bool IsBinaryDigits(const std::wstring& text) {
  if (text.empty()) return false;
  for (wchar_t c : text)
    if (c != L'0' && c != L'1') return false;
  return true;
}

bool IsForcedModeCategory(int32_t category) { return category == 37 || category == 40 || category == 43; }

std::pair<std::wstring, std::wstring> SettingsFileCandidates(const std::wstring& folder) {
  std::wstring base = folder;
  while (!base.empty() && base.back() == L'\\') base.pop_back();
  return {base + L"\\.init_setting.ini", base + L"\\setup.ini"};
}

void ApplyInitSettings(InitSettings& record, const SettingLookup& lookup) {
  std::wstring buffer = Read(lookup, L"lumo_token");
  if (buffer.empty()) {
    // Without a code, the category only decides whether the card code stands in for it.
    buffer = Read(lookup, L"token_category");
    if (!buffer.empty()) {
      const int category = ParseDecimal(buffer);
      buffer.clear();
      if (category == kCardCategory) buffer = Read(lookup, L"card_code");
    }
  }
  record.token = buffer;

  if (record.token.empty()) {
    const std::wstring gateway = Read(lookup, L"gateway_mode");
    if (IsBinaryDigits(gateway)) record.gatewayMode = ParseDecimal(gateway) != 0 ? 1 : 0;
  } else {
    bool forcedMode = false;
    const std::wstring category = Read(lookup, L"token_category");
    if (!category.empty()) {
      record.tokenCategory = ParseDecimal(category);
      forcedMode = IsForcedModeCategory(record.tokenCategory);
    }
    const std::wstring mode = Read(lookup, L"token_mode");
    if (!mode.empty()) record.tokenMode = forcedMode ? 4 : ParseDecimal(mode);
    const std::wstring kind = Read(lookup, L"token_kind");
    if (!kind.empty()) record.tokenKind = ParseDecimal(kind);
  }

  if (record.tokenCategory == kCardCategory) {
    record.token = Read(lookup, L"card_code");
    record.tokenKind = 2;
  }
}

}  // namespace lumo
