// Libraries planted beside the download never run inside the launcher. The launcher lies
// in a folder that other programs write to (a downloads folder); a library there named
// like one the launcher (or a system component it calls) loads by name would run with the
// launcher's rights, elevated on an administrator's run.
//
// Wine prefers its own copy of a system library to one beside the program. Told "native
// first" for a name, it looks beside the program first, as Windows does for every library
// that is not a known DLL; the control test shows the bed then does load a planted copy
// into a program that imports it directly. What Wine cannot show: the known-DLL list and
// SetDefaultDllDirectories' effect on system components (Wine's own libraries resolve their
// imports their own way); tests/checks/late_binding.sh checks the import table instead.
//
// The markers and the control programs are of the launcher's own width, taken from its build
// folder: a 32-bit loader passes over a 64-bit library as a bad image, which would prove
// nothing about the release launcher.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e/e2e_product.h"
#include "launch/product.h"
#include "support/agent_record.h"
#include "support/launcher_run.h"
#include "support/platform.h"
#include "ui/loading_wnd.h"

namespace {

using namespace testsupport;

// A name of its own, so that the per-program setting below touches no other test's runs.
constexpr const wchar_t* kLauncher = L"LumoPlanted.exe";

class PlantedLibraries : public EachBuild {};

// The markers the launcher's build made (tests/helpers/planted): the libraries a launcher has
// to keep from loading beside itself, and every library this one binds late.
std::wstring MarkerFolder() { return LauncherFolder() + L"\\planted"; }

std::vector<std::wstring> PlantedNames() {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((MarkerFolder() + L"\\*.dll").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring file = data.cFileName;
    names.push_back(file.substr(0, file.size() - 4));
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  return names;
}

// "Native first" for these names in one program (by file name), through Wine's per-program
// setting; removed again at the end of the scope. Windows looks beside the program first for
// every library that is not a known DLL, as it stands.
class NativeFirst {
 public:
  NativeFirst(const std::wstring& program, const std::vector<std::wstring>& names)
      : key_(L"Software\\Wine\\AppDefaults\\" + program) {
    HKEY overrides = nullptr;
    if (!UnderWine() || ::RegCreateKeyExW(HKEY_CURRENT_USER, (key_ + L"\\DllOverrides").c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                          nullptr, &overrides, nullptr) != ERROR_SUCCESS)
      return;
    for (const std::wstring& name : names) {
      const wchar_t order[] = L"native,builtin";
      ::RegSetValueExW(overrides, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(order), sizeof(order));
    }
    ::RegCloseKey(overrides);
  }
  ~NativeFirst() {
    if (UnderWine()) ::RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
  }
  NativeFirst(const NativeFirst&) = delete;
  NativeFirst& operator=(const NativeFirst&) = delete;

 private:
  std::wstring key_;
};

// Copies the markers into the folder; the names of those that were copied.
std::vector<std::wstring> Plant(const std::wstring& folder, const std::vector<std::wstring>& names) {
  std::vector<std::wstring> planted;
  for (const std::wstring& name : names) {
    if (!CopyAs(MarkerFolder() + L"\\" + name + L".dll", folder, name + L".dll").empty()) planted.push_back(name);
  }
  return planted;
}

std::vector<std::wstring> LoadedMarkers(const std::wstring& folder, const std::vector<std::wstring>& names) {
  std::vector<std::wstring> loaded;
  for (const std::wstring& name : names) {
    if (Exists(folder + L"\\" + name + L".dll.loaded")) loaded.push_back(name);
  }
  return loaded;
}

std::string Join(const std::vector<std::wstring>& names) {
  std::string text;
  for (const std::wstring& name : names) text += ToUtf8(name) + " ";
  return text;
}

// The backup copy's file name: the session and the launcher's four version words, read here
// from its version resource.
std::wstring BackupName(const std::wstring& launcher) {
  DWORD ignored = 0;
  std::vector<BYTE> block(::GetFileVersionInfoSizeW(launcher.c_str(), &ignored));
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (block.empty() || !::GetFileVersionInfoW(launcher.c_str(), 0, static_cast<DWORD>(block.size()), block.data()) ||
      !::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr)
    return L"(no version)";
  wchar_t name[64] = {};
  swprintf(name, 64, L"Lumo%02u%u%u%u%u.exe", static_cast<unsigned>(SessionId()), HIWORD(info->dwProductVersionMS),
           LOWORD(info->dwProductVersionMS), HIWORD(info->dwProductVersionLS), LOWORD(info->dwProductVersionLS));
  return name;
}

// Runs a control program beside every marker, all of them native first; the markers it loaded.
std::vector<std::wstring> MarkersLoadedBy(const wchar_t* control, const std::vector<std::wstring>& names) {
  Sandbox box(std::wstring(L"e2e-planted-") + control);
  const std::wstring program = CopyAs(LauncherFolder() + L"\\" + control + L".exe", box.Root(), L"PlantedProbe.exe");
  if (program.empty() || Plant(box.Root(), names).size() != names.size()) return {L"(not planted)"};
  NativeFirst nativeFirst(L"PlantedProbe.exe", names);
  RunWait(Quote(program), 30000, box.Root().c_str());
  return LoadedMarkers(box.Root(), names);
}

// The bed itself: a program with version.dll in its import table loads the copy beside it.
// Without this, a clean launcher run below could mean only that nothing was ever planted.
TEST_P(PlantedLibraries, TheBedLoadsAPlantedCopyIntoAProgramThatImportsItDirectly) {
  const std::vector<std::wstring> loaded = MarkersLoadedBy(L"static_import_probe", {L"version"});
  EXPECT_EQ(loaded, std::vector<std::wstring>{L"version"});
}

// A whole standard run, which binds all three late libraries (the loading window's GDI+,
// the session user's token, the launcher's own version for the backup copy), with every
// marker beside the launcher: the agent is reached and no marker was loaded.
//
// Except what Wine's own libraries load on their own at start-up, before any code of the
// launcher runs (Wine's shell32 imports version.dll): Windows takes a known DLL's
// dependencies from the system folder, Wine looks beside the program. A program that imports
// only the launcher's known DLLs tells which those are. For version.dll the run shows that
// the launcher's own calls reach the system's copy all the same: the backup copy's name
// carries the launcher's real version words, which the planted stubs would have left 0.
TEST_P(PlantedLibraries, ALauncherBesideThemReachesTheAgentAndLoadsNone) {
  LUMO_RELEASE_CHECK("1");
  const std::vector<std::wstring> names = PlantedNames();
  for (const wchar_t* required : {L"version", L"wtsapi32", L"userenv", L"gdiplus", L"oleacc", L"cryptbase", L"cryptsp",
                                  L"ntmarta", L"dwmapi", L"uxtheme", L"winsta"})
    ASSERT_NE(std::find(names.begin(), names.end(), required), names.end()) << "no marker for " << ToUtf8(required);
  const std::vector<std::wstring> loadedByWine = MarkersLoadedBy(L"known_dll_probe", names);
  // Windows takes a known DLL's imports from the system folder, and the launcher's hardening
  // the rest: no marker is loaded there, by the program of known DLLs or by the launcher.
  LUMO_ON_WINDOWS("1", "no planted library loaded, not even by the system's own libraries") {
    EXPECT_TRUE(loadedByWine.empty()) << "loaded by a program of known DLLs: " << Join(loadedByWine);
  }
  for (const wchar_t* late : {L"wtsapi32", L"gdiplus"})
    ASSERT_EQ(std::find(loadedByWine.begin(), loadedByWine.end(), late), loadedByWine.end())
        << "Wine itself loads " << ToUtf8(late) << " beside the program; the test would show nothing for it";

  Sandbox box(L"e2e-planted");
  ASSERT_EQ(Plant(box.Root(), names).size(), names.size());
  const std::wstring records = box.Root() + L"\\records";
  ::CreateDirectoryW(records.c_str(), nullptr);
  const std::string agentIni = "[Agent]\nLifetimeMs=2500\nRecordFolder=" + ToUtf8(records) + "\n";
  const std::wstring launcher =
      PackLauncher(box.Root(), kLauncher,
                   {{"lumo-agent.cab", ReadBytes(AgentCabinet())},
                    {".init_setting.ini", TextBytes("[Settings]\nlumo_token=PLANT1\n")},
                    {"agent.ini", TextBytes(agentIni)}});
  ASSERT_FALSE(launcher.empty());

  e2e::CodeSignMode standardRoute;  // the route that also writes the backup copy
  NativeFirst nativeFirst(kLauncher, names);
  bool loadingSeen = false;
  const LauncherRun run = RunLauncher(box, launcher, L"", 60000, [&] {
    for (const DWORD start = ::GetTickCount(); ::GetTickCount() - start < 30000; ::Sleep(15)) {
      if (::FindWindowW(CLoadingWnd::kClassName, CLoadingWnd::kTitle) != nullptr) loadingSeen = true;
      if (lumo::FindProductWindow() != nullptr) break;
    }
  });

  EXPECT_EQ(run.exitCode, 0) << run.log;
  EXPECT_TRUE(loadingSeen) << "the loading window (GDI+) was shown";
  EXPECT_TRUE(Contains(run.log, L"\\" + BackupName(launcher) + L" 0")) << run.log;
  const std::vector<std::wstring> managers = AgentRecordFiles(records, L"OXManagerLUMO");
  ASSERT_EQ(managers.size(), 1u) << run.log;
  EXPECT_EQ(ReadAgentRecord(managers.front())["code"], "PLANT1");

  std::vector<std::wstring> loaded = LoadedMarkers(box.Root(), names);
  loaded.erase(std::remove_if(loaded.begin(), loaded.end(),
                              [&](const std::wstring& name) {
                                return std::find(loadedByWine.begin(), loadedByWine.end(), name) != loadedByWine.end();
                              }),
               loaded.end());
  EXPECT_TRUE(loaded.empty()) << "loaded: " << Join(loaded) << "(Wine itself loads: " << Join(loadedByWine) << ")";
}

LUMO_ON_BOTH_BUILDS(PlantedLibraries);

}  // namespace
