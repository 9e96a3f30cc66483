// The manifest of the built launchers: per-monitor DPI awareness, so that Windows never
// stretches the loading window (it draws itself for the screen's DPI), and Common Controls 6,
// so that the message boxes take today's look; beside them still "asInvoker" and the
// supported Windows releases. This test program carries the same manifest, so what the
// system reads from it here is what it reads from the launcher.
#include <gtest/gtest.h>

#include <string>

#include "support/winsupport.h"
#include "util/handles.h"

namespace {

using namespace testsupport;

// The text of a program's manifest resource (RT_MANIFEST 1), read without running it.
std::string ManifestOf(const std::wstring& program) {
  lumo::UniqueLibrary module(
      ::LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  if (!module) return {};
  HRSRC info = ::FindResourceW(module.get(), MAKEINTRESOURCEW(1), RT_MANIFEST);
  HGLOBAL loaded = info != nullptr ? ::LoadResource(module.get(), info) : nullptr;
  const char* bytes = loaded != nullptr ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
  return bytes != nullptr ? std::string(bytes, ::SizeofResource(module.get(), info)) : std::string();
}

// A setting of this process's manifest as the system reads it (namespaces included).
std::wstring Setting(const wchar_t* space, const wchar_t* name) {
  wchar_t value[256] = {};
  if (!::QueryActCtxSettingsW(0, nullptr, space, name, value, 256, nullptr)) return L"(absent)";
  return value;
}

TEST(LauncherManifest, DeclaresPerMonitorDpiAwarenessAndCommonControls6) {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::string own = ManifestOf(self);
  ASSERT_FALSE(own.empty());

  // Both builds of the launcher carry exactly this manifest.
  for (const LauncherBuild build : {LauncherBuild::kRelease, LauncherBuild::kX64}) {
    const std::wstring launcher = BuildFolder(build) + L"\\OXUnPackLUMO.exe";
    if (!Exists(launcher)) {
      ADD_FAILURE() << "no launcher at " << std::string(launcher.begin(), launcher.end()) << " (scripts/build)";
      continue;
    }
    EXPECT_EQ(ManifestOf(launcher), own) << std::string(launcher.begin(), launcher.end());
  }

  // DPI awareness, in the elements and namespaces Windows reads: dpiAware for 8.1 (and 7,
  // which takes "true/pm" as system-aware), dpiAwareness for Windows 10.
  EXPECT_EQ(Setting(L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware"), L"true/pm");
  EXPECT_EQ(Setting(L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness"),
            L"PerMonitorV2, PerMonitor");

  // Common Controls 6: the activation context sends comctl32.dll to the version 6 assembly.
  ACTCTX_SECTION_KEYED_DATA data{};
  data.cbSize = sizeof(data);
  EXPECT_TRUE(::FindActCtxSectionStringW(0, nullptr, ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION, L"comctl32.dll", &data))
      << "comctl32.dll is not redirected to Common Controls 6";
  EXPECT_NE(own.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);

  // Unchanged: run as the invoker, no UI access, Windows Vista to 10 declared.
  EXPECT_NE(own.find("level=\"asInvoker\" uiAccess=\"false\""), std::string::npos);
  for (const char* id : {"e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                         "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                         "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
    EXPECT_NE(own.find(id), std::string::npos) << id;
}

}  // namespace
