#include "launch/core/command_environment.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <map>

namespace {

using namespace lumo;

std::wstring UpperName(const std::wstring& entry) {
  std::wstring name = entry.substr(0, entry.find(L'=', 1));
  for (wchar_t& c : name) c = static_cast<wchar_t>(std::towupper(c));
  return name;
}

// The entries of a block by upper-case name, each once, checked to be in Windows' order and
// to end with the empty entry.
std::map<std::wstring, std::wstring> EntriesOf(const std::wstring& block) {
  std::map<std::wstring, std::wstring> entries;
  std::wstring last;
  std::size_t at = 0;
  while (at < block.size() && block[at] != L'\0') {
    const std::wstring entry = block.substr(at, block.find(L'\0', at) - at);
    const std::wstring name = UpperName(entry);
    EXPECT_LT(last, name) << "sorted by name, without regard to case, each once";
    entries[name] = entry.substr(name.size() + 1);
    last = name;
    at += entry.size() + 1;
  }
  EXPECT_EQ(at + 1, block.size()) << "the block ends with an empty entry";
  return entries;
}

std::wstring Block(std::initializer_list<const wchar_t*> entries) {
  std::wstring block;
  for (const wchar_t* entry : entries) block += std::wstring(entry) + L'\0';
  return block + L'\0';
}

// What decides which program a command runs, or where a system program looks for its files,
// is the system's; for the manager the rest of the launcher's own environment is kept, for the
// system programs nothing of it. An unelevated run's commands get its environment as it is.
TEST(CommandEnvironment, WhatDecidesWhichProgramRunsIsTheSystemsAndTheRestIsKept) {
  // The launcher's own environment, as a program of the user may have set it (an elevated
  // launcher inherits HKCU\Environment), in Windows' order.
  const std::wstring own = Block({
      L"=C:=C:\\Users\\jo\\Downloads", L"ALLUSERSPROFILE=C:\\ProgramData",
      L"comspec=C:\\Users\\jo\\cmd.exe", L"ComSpecial=kept", L"NoDefaultCurrentDirectoryInExePath=1",
      L"PATH=C:\\Windows\\system32;C:\\Users\\jo\\bin", L"PATHEXT=.CMD;.BAT", L"ProgramFiles=C:\\Users\\jo\\pf",
      L"SystemDrive=J:", L"SystemRoot=C:\\Users\\jo", L"TEMP=C:\\Users\\jo\\Temp", L"USERPROFILE=C:\\Users\\jo",
      L"windir=C:\\Users\\jo", L"__COMPAT_LAYER=RunAsInvoker"});
  // The system's own block, its Path with a name left unexpanded (as Wine's leaves
  // %ProgramFiles%): the manager gets it expanded with the system's values.
  const std::wstring system = Block({L"ComSpec=C:\\Windows\\system32\\cmd.exe",
                                     L"Path=C:\\Windows\\system32;C:\\Windows;%ProgramFiles%\\Tool;%Nowhere%\\x",
                                     L"PATHEXT=.COM;.EXE;.BAT;.CMD;.VBS", L"ProgramFiles=C:\\Program Files",
                                     L"SystemDrive=J:", L"SystemRoot=C:\\Users\\jo", L"TEMP=C:\\Windows\\TEMP",
                                     L"USERPROFILE=C:\\Users\\Default"});
  using Entries = std::map<std::wstring, std::wstring>;  // by upper-case name; absent: not there
  const Entries systemPrograms = {
      {L"COMSPEC", L"C:\\Windows\\system32\\cmd.exe"},
      {L"PATH", L"C:\\Windows\\system32;C:\\Windows;%ProgramFiles%\\Tool;%Nowhere%\\x"},
      {L"PATHEXT", L".COM;.EXE;.BAT;.CMD;.VBS"},
      {L"PROGRAMFILES", L"C:\\Program Files"},
      {L"SYSTEMDRIVE", L"C:"},
      {L"SYSTEMROOT", L"C:\\Windows"},
      {L"TEMP", L"C:\\Windows\\Temp\\lumo-1-x"},
      {L"TMP", L"C:\\Windows\\Temp\\lumo-1-x"},
      {L"USERPROFILE", L"C:\\Users\\Default"},
      {L"WINDIR", L"C:\\Windows"},
  };
  const Entries manager = {
      {L"=C:", L"C:\\Users\\jo\\Downloads"},
      {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
      {L"COMSPEC", L"C:\\Windows\\system32\\cmd.exe"},
      {L"COMSPECIAL", L"kept"},
      {L"PATH", L"C:\\Windows\\system32;C:\\Windows;C:\\Program Files\\Tool;%Nowhere%\\x"},
      {L"PATHEXT", L".COM;.EXE;.BAT;.CMD;.VBS"},
      {L"PROGRAMFILES", L"C:\\Users\\jo\\pf"},
      {L"SYSTEMDRIVE", L"J:"},
      {L"SYSTEMROOT", L"C:\\Windows"},
      {L"TEMP", L"C:\\Users\\jo\\Temp"},
      {L"USERPROFILE", L"C:\\Users\\jo"},
      {L"WINDIR", L"C:\\Windows"},
      {L"__COMPAT_LAYER", L"RunAsInvoker"},
  };
  // Without Path and PATHEXT in the system's block: the system's folders and Windows' own
  // extensions, never the user's.
  const Entries fallback = {
      {L"=C:", L"x"},
      {L"COMSPEC", L"C:\\Windows\\system32\\cmd.exe"},
      {L"PATH", L"C:\\Windows\\system32;C:\\Windows"},
      {L"PATHEXT", L".COM;.EXE;.BAT;.CMD"},
      {L"SYSTEMROOT", L"C:\\Windows"},
      {L"WINDIR", L"C:\\Windows"},
  };
  const std::wstring bare = Block({L"=C:=x", L"PATH=C:\\Users\\jo\\bin"}), none = Block({});
  const struct {
    const char* what;
    bool elevated, isManager;
    const std::wstring& own;
    const std::wstring& system;
    Entries expected;
  } cases[] = {
      {"elevated, a system program", true, false, own, system, systemPrograms},
      {"elevated, the manager", true, true, own, system, manager},
      {"elevated, the manager, no machine values", true, true, bare, none, fallback},
  };
  for (const auto& c : cases)
    EXPECT_EQ(EntriesOf(CommandEnvironment(c.elevated, c.isManager, c.own.c_str(), c.system.c_str(), L"C:\\Windows",
                                         L"C:\\Windows\\system32", L"C:\\Windows\\Temp\\lumo-1-x\\")),
              c.expected)
        << c.what;
  // Unelevated: nothing of its own; the manager keeps the user's PATH.
  EXPECT_TRUE(CommandEnvironment(false, true, own.c_str(), system.c_str(), L"C:\\Windows", L"C:\\Windows\\system32", L"W\\")
                  .empty());
}

}  // namespace
