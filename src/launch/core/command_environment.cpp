#include "launch/core/command_environment.h"

#include <cwchar>

#include "settings/core/key_mapping.h"

namespace lumo {

namespace {

// A name's character at `i` for comparing names as Windows orders a block: without regard to
// case (the names that matter here are ASCII), the name's end ('=' or '%' after its first character, as the hidden per-drive folders
// are named "=C:", or the text's end) before any character.
wchar_t NameChar(const wchar_t* text, std::size_t i) {
  return i > 0 && (text[i] == L'=' || text[i] == L'%') ? L'\0' : FoldAscii(text[i]);
}

// Negative, 0 or positive as the name `a` begins with sorts before, with or after b's.
int CompareNames(const wchar_t* a, const wchar_t* b) {
  for (std::size_t i = 0;; ++i) {
    const wchar_t x = NameChar(a, i), y = NameChar(b, i);
    if (x != y || x == L'\0') return static_cast<int>(x) - static_cast<int>(y);
  }
}

// Entries the commands never get from the launcher's own block: the system's own (the first
// five, in the block's order), and the one dropped.
constexpr const wchar_t* kTakenOver[] = {L"ComSpec=", L"Path=",   L"PATHEXT=", L"SystemRoot=",
                                         L"windir=",  L"NoDefaultCurrentDirectoryInExePath="};
constexpr int kSystems = 5;
constexpr int kSystemRoot = 3;  // then windir: the names a machine value is expanded with

}  // namespace

void AppendSystemValue(std::wstring& out, const wchar_t* value, const wchar_t* windowsFolder) {
  while (*value != L'\0') {
    int i = kSystemRoot;
    while (i < kSystems && !(*value == L'%' && CompareNames(value + 1, kTakenOver[i]) == 0)) ++i;
    if (i < kSystems) {
      out += windowsFolder;
      value += std::wcslen(kTakenOver[i]) + 1;  // "%", the name, "%"
    } else {
      // Any other character as it stands; the closing '%' of a name that is not the
      // system's may open the next, as Windows reads it.
      out.push_back(*value++);
    }
  }
}

std::wstring CommandEnvironment(const wchar_t* own, const wchar_t* windowsFolder, const wchar_t* path,
                                const wchar_t* pathExt) {
  // The system's values in the order of kTakenOver, each expanded with the Windows folder
  // alone. The system folder is always the Windows folder's "system32" (a 32-bit program on
  // 64-bit Windows reaches its own through the file system's redirection).
  const wchar_t* const values[kSystems] = {
      L"%SystemRoot%\\system32\\cmd.exe",
      path != nullptr && *path != L'\0' ? path : L"%SystemRoot%\\system32;%SystemRoot%",
      pathExt != nullptr && *pathExt != L'\0' ? pathExt : L".COM;.EXE;.BAT;.CMD",
      L"%SystemRoot%",
      L"%SystemRoot%",
  };
  // Windows keeps a process's block sorted by name, without regard to case: the system's
  // entries go in at their places. (A block handed over unsorted stays so, each of these
  // still once: Windows reads a block from its start.)
  std::wstring block;
  int next = 0;
  for (const wchar_t* entry = own;; entry += std::wcslen(entry) + 1) {
    const bool end = entry == nullptr || *entry == L'\0';
    for (; next < kSystems && (end || CompareNames(kTakenOver[next], entry) < 0); ++next) {
      block += kTakenOver[next];
      AppendSystemValue(block, values[next], windowsFolder);
      block.push_back(L'\0');
    }
    if (end) break;
    bool taken = false;
    for (const wchar_t* name : kTakenOver) taken = taken || CompareNames(entry, name) == 0;
    if (!taken) block.append(entry, std::wcslen(entry) + 1);
  }
  block.push_back(L'\0');
  return block;
}

}  // namespace lumo
