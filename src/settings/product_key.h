// The product key as its users reach it: the session user's hive, the keyword, creation
// allowed, one key per session.
#pragma once

#include "settings/registry.h"

// SetRootKey(HKEY_CURRENT_USER, redirect) and OpenProductKey of the keyword with the create
// and per-session flags; false when either fails (the caller then touches no value).
bool OpenSessionProductKey(CRegistry& registry);

// Start-up hand-off: "ImagePath" (the launcher's own path) and, when the shell knows the
// desktop folder, "DesktopPath" ("<desktop>\LUMO.exe").
void WriteLaunchPaths();
