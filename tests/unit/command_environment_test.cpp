#include "launch/core/command_environment.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <map>
#include <vector>

namespace {

using namespace lumo;

std::wstring UpperName(const std::wstring& entry) {
  std::wstring name = entry.substr(0, entry.find(L'=', 1));
  for (wchar_t& c : name) c = static_cast<wchar_t>(std::towupper(c));
  return name;
}

// The entries of a block, in order; `ended` tells whether it ends with the extra null.
std::vector<std::wstring> Entries(const std::wstring& block, bool& ended) {
  std::vector<std::wstring> entries;
  std::size_t at = 0;
  while (at < block.size() && block[at] != L'\0') {
    const std::size_t end = block.find(L'\0', at);
    entries.push_back(block.substr(at, end - at));
    at = end + 1;
  }
  ended = at + 1 == block.size();
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
      {L"%SystemDrive%\\Tools", L"C:\\Tools"},
      // The user's environment would decide these: they stay as written and name no folder.
      {L"%ProgramFiles%\\Tool;%PATH%", L"%ProgramFiles%\\Tool;%PATH%"},
      {L".COM;.EXE", L".COM;.EXE"},
      {L"100%", L"100%"},
      {L"%unknown%SystemRoot%", L"%unknownC:\\Windows"},
  };
  for (const auto& c : cases) EXPECT_EQ(ExpandSystemValue(c.value, L"C:\\Windows"), c.expanded) << c.value;
}

TEST(CommandEnvironment, WhatDecidesWhichProgramRunsIsTheSystemsAndTheRestIsKept) {
  // The launcher's own environment, as a program of the user may have set it.
  const std::wstring own = Block({
      L"=C:=C:\\Users\\jo\\Downloads", L"ALLUSERSPROFILE=C:\\ProgramData", L"COR_ENABLE_PROFILING=1",
      L"cor_profiler_path=C:\\Users\\jo\\p.dll", L"CORECLR_PROFILER={0}", L"COMPlus_ZapDisable=1",
      L"DOTNET_STARTUP_HOOKS=C:\\Users\\jo\\h.dll", L"ComSpec=C:\\Users\\jo\\cmd.exe", L"CORNER=kept",
      L"NoDefaultCurrentDirectoryInExePath=1", L"PATH=C:\\Windows\\system32;C:\\Users\\jo\\bin", L"PATHEXT=.CMD;.BAT",
      L"SystemDrive=J:", L"SystemRoot=C:\\Users\\jo", L"TEMP=C:\\Users\\jo\\AppData\\Local\\Temp",
      L"TMP=C:\\Users\\jo\\AppData\\Local\\Temp", L"USERPROFILE=C:\\Users\\jo", L"windir=C:\\Users\\jo",
      L"LUMO_RECORDS=C:\\r"});
  SystemEnvironment system;
  system.windowsFolder = L"C:\\Windows";
  system.systemFolder = L"C:\\Windows\\system32";
  system.path = L"%SystemRoot%\\system32;%SystemRoot%";
  system.pathExt = L".COM;.EXE;.BAT;.CMD";

  const std::map<std::wstring, const wchar_t*> expected = {  // by upper-case name; null: absent
      {L"=C:", L"C:\\Users\\jo\\Downloads"},
      {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
      {L"COMSPEC", L"C:\\Windows\\system32\\cmd.exe"},
      {L"COMPLUS_ZAPDISABLE", nullptr},
      {L"COR_ENABLE_PROFILING", nullptr},
      {L"COR_PROFILER_PATH", nullptr},
      {L"CORECLR_PROFILER", nullptr},
      {L"CORNER", L"kept"},
      {L"DOTNET_STARTUP_HOOKS", nullptr},
      {L"LUMO_RECORDS", L"C:\\r"},
      {L"NODEFAULTCURRENTDIRECTORYINEXEPATH", nullptr},
      {L"PATH", L"C:\\Windows\\system32;C:\\Windows"},
      {L"PATHEXT", L".COM;.EXE;.BAT;.CMD"},
      {L"SYSTEMDRIVE", L"C:"},
      {L"SYSTEMROOT", L"C:\\Windows"},
      {L"TEMP", L"C:\\Users\\jo\\AppData\\Local\\Temp"},
      {L"TMP", L"C:\\Users\\jo\\AppData\\Local\\Temp"},
      {L"USERPROFILE", L"C:\\Users\\jo"},
      {L"WINDIR", L"C:\\Windows"},
  };
  bool ended = false;
  const std::vector<std::wstring> entries = Entries(CommandEnvironment(own.c_str(), system), ended);
  EXPECT_TRUE(ended) << "the block ends with an empty entry";
  std::map<std::wstring, std::wstring> found;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::wstring name = UpperName(entries[i]);
    EXPECT_TRUE(found.emplace(name, entries[i].substr(name.size() + 1)).second) << "twice: " << name;
    if (i > 0) EXPECT_LT(UpperName(entries[i - 1]), name) << "sorted by name, without regard to case";
  }
  for (const auto& e : expected) {
    const auto it = found.find(e.first);
    if (e.second == nullptr) {
      EXPECT_EQ(it, found.end()) << e.first;
    } else {
      EXPECT_EQ(it == found.end() ? L"<absent>" : it->second, e.second) << e.first;
    }
  }
  EXPECT_EQ(found.size(), 13u) << "nothing else was added";

  // The machine's values unreadable: the system's folders and Windows' default extensions,
  // never the user's.
  system.path.clear();
  system.pathExt.clear();
  found.clear();
  for (const std::wstring& entry : Entries(CommandEnvironment(own.c_str(), system), ended))
    found[UpperName(entry)] = entry.substr(entry.find(L'=', 1) + 1);
  EXPECT_EQ(found[L"PATH"], L"C:\\Windows\\system32;C:\\Windows");
  EXPECT_EQ(found[L"PATHEXT"], L".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC");
}

}  // namespace
