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
std::map<std::wstring, std::wstring> Entries(const std::wstring& block) {
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

TEST(CommandEnvironment, OnlyTheSystemsOwnNamesAreExpandedInMachineValues) {
  const struct {
    const wchar_t* value;
    const wchar_t* expanded;
  } cases[] = {
      {L"%SystemRoot%\\system32;%SYSTEMROOT%;%windir%\\Wbem", L"C:\\Windows\\system32;C:\\Windows;C:\\Windows\\Wbem"},
      // The user's environment would decide these: they stay as written and name no folder.
      {L"%ProgramFiles%\\Tool;%PATH%;%SystemDrive%", L"%ProgramFiles%\\Tool;%PATH%;%SystemDrive%"},
      {L".COM;.EXE", L".COM;.EXE"},
      {L"100%", L"100%"},
      {L"%unknown%SystemRoot%", L"%unknownC:\\Windows"},
  };
  for (const auto& c : cases) {
    std::wstring expanded;
    AppendSystemValue(expanded, c.value, L"C:\\Windows");
    EXPECT_EQ(expanded, c.expanded) << c.value;
  }
}

TEST(CommandEnvironment, WhatDecidesWhichProgramRunsIsTheSystemsAndTheRestIsKept) {
  // The launcher's own environment, as a program of the user may have set it, in Windows'
  // order.
  const std::wstring own = Block({
      L"=C:=C:\\Users\\jo\\Downloads", L"ALLUSERSPROFILE=C:\\ProgramData", L"comspec=C:\\Users\\jo\\cmd.exe",
      L"ComSpecial=kept", L"LUMO_RECORDS=C:\\r", L"NoDefaultCurrentDirectoryInExePath=1", L"PATH=C:\\Windows\\system32;C:\\Users\\jo\\bin",
      L"PATHEXT=.CMD;.BAT", L"SystemDrive=J:", L"SystemRoot=C:\\Users\\jo", L"TEMP=C:\\Users\\jo\\AppData\\Local\\Temp",
      L"TMP=C:\\Users\\jo\\AppData\\Local\\Temp", L"USERPROFILE=C:\\Users\\jo", L"windir=C:\\Users\\jo"});
  const wchar_t* windows = L"C:\\Windows";

  const std::map<std::wstring, std::wstring> expected = {  // by upper-case name; absent: dropped
      {L"=C:", L"C:\\Users\\jo\\Downloads"},
      {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
      {L"COMSPEC", L"C:\\Windows\\system32\\cmd.exe"},
      {L"COMSPECIAL", L"kept"},
      {L"LUMO_RECORDS", L"C:\\r"},
      {L"PATH", L"C:\\Windows\\system32;C:\\Windows;C:\\Windows\\System32\\Wbem"},
      {L"PATHEXT", L".COM;.EXE;.BAT;.CMD;.VBS"},
      {L"SYSTEMDRIVE", L"J:"},
      {L"SYSTEMROOT", L"C:\\Windows"},
      {L"TEMP", L"C:\\Users\\jo\\AppData\\Local\\Temp"},
      {L"TMP", L"C:\\Users\\jo\\AppData\\Local\\Temp"},
      {L"USERPROFILE", L"C:\\Users\\jo"},
      {L"WINDIR", L"C:\\Windows"},
  };
  EXPECT_EQ(Entries(CommandEnvironment(own.c_str(), windows, L"%SystemRoot%\\system32;%SystemRoot%;%SYSTEMROOT%\\System32\\Wbem",
                                       L".COM;.EXE;.BAT;.CMD;.VBS")),
            expected);

  // The machine's values unreadable: the system's folders and Windows' default extensions,
  // never the user's; the system's entries in their places among the others.
  const std::map<std::wstring, std::wstring> fallback = {
      {L"=C:", L"x"},
      {L"COMSPEC", L"C:\\Windows\\system32\\cmd.exe"},
      {L"PATH", L"C:\\Windows\\system32;C:\\Windows"},
      {L"PATHEXT", L".COM;.EXE;.BAT;.CMD"},
      {L"SYSTEMROOT", L"C:\\Windows"},
      {L"TEMP", L"t"},
      {L"WINDIR", L"C:\\Windows"},
  };
  EXPECT_EQ(Entries(CommandEnvironment(Block({L"=C:=x", L"TEMP=t"}).c_str(), windows, L"", nullptr)), fallback);
}

}  // namespace
