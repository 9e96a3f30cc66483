// The rules that turn the keys of the initial settings file into the settings record. They
// work over a key-lookup function, so the profile reader that feeds them stays thin.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace lumo {

// The record's fields, in their order, with their defaults.
struct InitSettings {
  std::wstring token;          // the session code
  int32_t tokenCategory = 0;
  int32_t tokenMode = 0;
  int32_t tokenKind = 0;
  int32_t gatewayMode = 0;     // 32-bit boolean: take the code from the launcher's file name
};

// A value is read into a buffer of this many characters, so at most one less is seen.
constexpr std::size_t kSettingBufferChars = 256;

// Gives the value of a key of the "Settings" section: blanks around it removed, empty when
// the key is missing.
using SettingLookup = std::function<std::wstring(const wchar_t* key)>;

// Fills the record from the keys (the record holds its defaults, or what an earlier step
// put there). Values longer than the buffer are cut, whatever the lookup returns.
void ApplyInitSettings(InitSettings& record, const SettingLookup& lookup);

// "<folder>\.init_setting.ini" and "<folder>\setup.ini"; a trailing backslash of the folder
// is not doubled.
std::pair<std::wstring, std::wstring> SettingsFileCandidates(const std::wstring& folder);

// "gateway_mode" counts only when it is non-empty and made of '0' and '1' alone.
bool IsBinaryDigits(const std::wstring& text);

// Categories 37, 40 and 43 force the mode to 4; category 38 takes the card code.
bool IsForcedModeCategory(int32_t category);
constexpr int32_t kCardCategory = 38;

}  // namespace lumo
