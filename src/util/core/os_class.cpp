#include "util/core/os_class.h"

namespace lumo {

int OsClassFromVersion(unsigned major, unsigned minor) {
  const unsigned version = VersionNumber(major, minor);
  if (version >= 0xA00) return kOsWin10;
  switch (version) {
    case 0x603: return kOsWin81;
    case 0x602: return kOsWin8;
    case 0x601: return kOsWin7;
    case 0x600: return kOsVista;
    default: return kOsOther;
  }
}

int OsClassFromVersionLegacy(unsigned major, unsigned minor) {
  const unsigned version = VersionNumber(major, minor);
  if (version >= 0x602) return kOsWin8;
  switch (version) {
    case 0x601: return kOsWin7;
    case 0x600: return kOsVista;
    default: return kOsOther;
  }
}

bool OsAtLeast(int osClass, unsigned long build, int minimumClass, unsigned long minimumBuild) {
  if (minimumBuild == 0) return osClass >= minimumClass;
  return build >= minimumBuild;
}

}  // namespace lumo
