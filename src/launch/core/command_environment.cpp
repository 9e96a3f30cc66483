#include "launch/core/command_environment.h"

#include <cwchar>

#include "settings/core/key_mapping.h"

namespace lumo {

namespace {

// A name's character at `i` for comparing names as Windows orders a block: without regard to
// case (the names that matter here are ASCII), the name's end ('=' after its first character,
// as the hidden per-drive folders are named "=C:", or the text's end) before any character.
wchar_t NameChar(const wchar_t* text, std::size_t i) {
  return i > 0 && text[i] == L'=' ? L'\0' : FoldAscii(text[i]);
}

// Negative, 0 or positive as the name `a` begins with sorts before, with or after b's.
int CompareNames(const wchar_t* a, const wchar_t* b) {
  for (std::size_t i = 0;; ++i) {
    const wchar_t x = NameChar(a, i), y = NameChar(b, i);
    if (x != y || x == L'\0') return static_cast<int>(x) - static_cast<int>(y);
  }
}

// A variable the commands get from the launcher rather than from the block they start from:
// set to `value`, or left out altogether when that is null.
struct Setting {
  const wchar_t* name;
  const wchar_t* value;
};

// `base` with the `count` settings (sorted by name) each in its place.
std::wstring Merged(const wchar_t* base, const Setting* settings, std::size_t count) {
  std::wstring block;
  std::size_t next = 0;
  for (const wchar_t* entry = base;; entry += std::wcslen(entry) + 1) {
    const bool end = entry == nullptr || *entry == L'\0';
    for (; next < count && (end || CompareNames(settings[next].name, entry) < 0); ++next) {
      if (settings[next].value == nullptr) continue;
      ((block += settings[next].name) += L'=') += settings[next].value;
      block.push_back(L'\0');
    }
    if (end) break;
    bool set = false;
    for (std::size_t i = 0; i < count; ++i) set = set || CompareNames(entry, settings[i].name) == 0;
    if (!set) block.append(entry, std::wcslen(entry) + 1);
  }
  block.push_back(L'\0');
  return block;
}

// `text` with each %NAME% that `block` defines replaced by its value there (once, as Windows
// expands a value); any other stays as written.
std::wstring ExpandedWith(const wchar_t* text, const wchar_t* block) {
  std::wstring out;
  while (*text != L'\0') {
    const wchar_t* close = *text == L'%' ? std::wcschr(text + 1, L'%') : nullptr;
    const std::wstring name = close != nullptr ? std::wstring(text + 1, close) : std::wstring();
    const wchar_t* value = name.empty() ? nullptr : BlockValue(block, name.c_str());
    if (value != nullptr) {
      out += value;
      text = close + 1;
    } else {
      // The closing '%' of a name that is not defined may open the next, as Windows reads it.
      out.push_back(*text++);
    }
  }
  return out;
}

}  // namespace

const wchar_t* BlockValue(const wchar_t* block, const wchar_t* name) {
  for (const wchar_t* entry = block; entry != nullptr && *entry != L'\0'; entry += std::wcslen(entry) + 1) {
    if (CompareNames(entry, name) != 0) continue;
    const wchar_t* equals = std::wcschr(entry + 1, L'=');
    if (equals != nullptr) return equals + 1;
  }
  return nullptr;
}

std::wstring CommandEnvironment(bool elevated, bool manager, const wchar_t* own, const wchar_t* system,
                                const std::wstring& windowsFolder, const std::wstring& systemFolder,
                                const std::wstring& workFolder) {
  if (!elevated) return std::wstring();
  const std::wstring comSpec = systemFolder + L"\\cmd.exe";
  const wchar_t* windows = windowsFolder.c_str();
  if (manager) {
    // The system's block may hold the machine's Path with names left unexpanded (one named
    // before it is defined, %ProgramFiles% say): expanded here with the system's own values,
    // never the user's.
    const wchar_t* path = BlockValue(system, L"Path");
    const wchar_t* pathExt = BlockValue(system, L"PATHEXT");
    const std::wstring folders =
        path != nullptr && *path != L'\0' ? ExpandedWith(path, system) : systemFolder + L";" + windowsFolder;
    const Setting settings[] = {
        {L"ComSpec", comSpec.c_str()},
        {L"NoDefaultCurrentDirectoryInExePath", nullptr},
        {L"Path", folders.c_str()},
        {L"PATHEXT", pathExt != nullptr && *pathExt != L'\0' ? pathExt : L".COM;.EXE;.BAT;.CMD"},
        {L"SystemRoot", windows},
        {L"windir", windows},
    };
    return Merged(own, settings, sizeof settings / sizeof settings[0]);
  }
  std::wstring temp = workFolder;
  while (temp.size() > 3 && temp.back() == L'\\') temp.pop_back();
  const std::wstring drive = windowsFolder.substr(0, 2);
  const Setting settings[] = {
      {L"ComSpec", comSpec.c_str()}, {L"SystemDrive", drive.c_str()}, {L"SystemRoot", windows},
      {L"TEMP", temp.c_str()},       {L"TMP", temp.c_str()},          {L"windir", windows},
  };
  return Merged(system, settings, sizeof settings / sizeof settings[0]);
}

}  // namespace lumo
