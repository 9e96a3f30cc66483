#include "launch/core/command_environment.h"

#include <cwchar>
#include <utility>
#include <vector>

namespace lumo {

namespace {

// Windows compares environment names without regard to case or locale; the names that matter
// here are ASCII.
wchar_t Upper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// The length of an entry's name: up to its first '=' after the first character (the hidden
// per-drive folders are named "=C:").
std::size_t NameLength(const std::wstring& entry) {
  const std::size_t equals = entry.find(L'=', 1);
  return equals == std::wstring::npos ? entry.size() : equals;
}

// True when the first `length` characters of `text` are `name` (any case); with `prefix`,
// when they begin with it.
bool NameMatches(const wchar_t* text, std::size_t length, const wchar_t* name, bool prefix) {
  const std::size_t size = std::wcslen(name);
  if (prefix ? length < size : length != size) return false;
  for (std::size_t i = 0; i < size; ++i)
    if (Upper(text[i]) != Upper(name[i])) return false;
  return true;
}

// Entries the commands never get from the launcher's own block: replaced by the system's, or
// dropped.
constexpr const wchar_t* kReplaced[] = {L"Path", L"PATHEXT", L"ComSpec", L"SystemRoot", L"windir", L"SystemDrive",
                                        L"NoDefaultCurrentDirectoryInExePath"};
constexpr const wchar_t* kDroppedPrefixes[] = {L"COR_", L"CORECLR_", L"COMPlus_", L"DOTNET_"};

bool IsTakenOver(const std::wstring& entry) {
  const std::size_t length = NameLength(entry);
  for (const wchar_t* name : kReplaced)
    if (NameMatches(entry.c_str(), length, name, false)) return true;
  for (const wchar_t* prefix : kDroppedPrefixes)
    if (NameMatches(entry.c_str(), length, prefix, true)) return true;
  return false;
}

// Negative, zero or positive as a's name sorts before, with or after b's.
int CompareNames(const std::wstring& a, const std::wstring& b) {
  const std::size_t aLength = NameLength(a), bLength = NameLength(b);
  for (std::size_t i = 0; i < aLength && i < bLength; ++i) {
    const wchar_t x = Upper(a[i]), y = Upper(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return aLength < bLength ? -1 : (aLength > bLength ? 1 : 0);
}

}  // namespace

std::wstring ExpandSystemValue(const std::wstring& value, const std::wstring& windowsFolder) {
  std::wstring expanded;
  std::size_t at = 0;
  for (;;) {
    const std::size_t open = value.find(L'%', at);
    const std::size_t close = open == std::wstring::npos ? open : value.find(L'%', open + 1);
    if (close == std::wstring::npos) return expanded + value.substr(at);
    expanded.append(value, at, open - at);
    const wchar_t* name = value.c_str() + open + 1;
    const std::size_t length = close - open - 1;
    if (NameMatches(name, length, L"SystemRoot", false) || NameMatches(name, length, L"windir", false)) {
      expanded += windowsFolder;
    } else if (NameMatches(name, length, L"SystemDrive", false)) {
      expanded.append(windowsFolder, 0, 2);
    } else {
      // Not one of the system's: the '%' and the name stay, and the closing '%' may open the
      // next name, as Windows reads it.
      expanded.append(value, open, close - open);
      at = close;
      continue;
    }
    at = close + 1;
  }
}

std::wstring CommandEnvironment(const wchar_t* own, const SystemEnvironment& system) {
  const std::wstring& windows = system.windowsFolder;
  std::vector<std::wstring> entries;
  for (const wchar_t* entry = own; entry != nullptr && *entry != L'\0'; entry += std::wcslen(entry) + 1) {
    std::wstring text(entry);
    if (!IsTakenOver(text)) entries.push_back(std::move(text));
  }
  const std::wstring path = system.path.empty() ? system.systemFolder + L";" + windows : system.path;
  const std::wstring pathExt =
      system.pathExt.empty() ? std::wstring(L".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC") : system.pathExt;
  entries.push_back(L"Path=" + ExpandSystemValue(path, windows));
  entries.push_back(L"PATHEXT=" + ExpandSystemValue(pathExt, windows));
  entries.push_back(L"ComSpec=" + system.systemFolder + L"\\cmd.exe");
  entries.push_back(L"SystemRoot=" + windows);
  entries.push_back(L"windir=" + windows);
  entries.push_back(L"SystemDrive=" + windows.substr(0, 2));

  // A few dozen entries: sorted in place by insertion.
  for (std::size_t i = 1; i < entries.size(); ++i)
    for (std::size_t j = i; j > 0 && CompareNames(entries[j - 1], entries[j]) > 0; --j) entries[j - 1].swap(entries[j]);

  std::wstring block;
  for (const std::wstring& entry : entries) {
    block += entry;
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

}  // namespace lumo
