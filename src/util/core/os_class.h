// Mapping of Windows version numbers to the launcher's OS classes.
#pragma once

namespace lumo {

enum OsClass : int {
  kOsOther = 0,
  kOsVista = 1,
  kOsWin7 = 2,
  kOsWin8 = 3,
  kOsWin81 = 4,
  kOsWin10 = 5,
};

// The version as one number: major in the high byte, minor in the low (6.1 is 0x601).
constexpr unsigned VersionNumber(unsigned major, unsigned minor) { return (major << 8) | minor; }

// The current table, for versions that compatibility shims do not bend (RtlGetVersion).
int OsClassFromVersion(unsigned major, unsigned minor);

// The legacy table, for GetVersionExW: it never tells 8.1 or 10 from 8.
int OsClassFromVersionLegacy(unsigned major, unsigned minor);

// The decision of IsOSAtLeast: the class when no build is asked for, the build alone otherwise.
bool OsAtLeast(int osClass, unsigned long build, int minimumClass, unsigned long minimumBuild);

}  // namespace lumo
