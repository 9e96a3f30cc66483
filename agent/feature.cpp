// OXFeatureLUMO.exe and OXFeatureLUMONOUIA.exe of the agent stand-in: one source, two
// builds that differ in their manifest (administrator rights with UI access, or the
// caller's rights) and in the build name they carry and report.
#include <windows.h>

#include <cstdio>

#ifndef LUMO_FEATURE_BUILD
#error "LUMO_FEATURE_BUILD names the build"
#endif

// Found by a byte search of the file, whatever name the file carries now.
extern "C" const char kFeatureMarker[] = "LUMO-FEATURE-BUILD:" LUMO_FEATURE_BUILD;

int main() {
  std::printf("%s\n", kFeatureMarker);
  // 1: the UI-access build, 2: the build without UI access.
  return LUMO_FEATURE_BUILD[0] == 'U' ? 1 : 2;
}
