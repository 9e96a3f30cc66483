// Functions of Windows' own libraries that older releases lack, looked up at run time. The
// release launcher has to start on every Windows it may be downloaded to, down to XP, where
// it shows the upgrade message: a function in its import table that the system does not
// have would stop it in the loader before any of its code runs. So nothing newer than XP is
// imported (tests/checks/xp_imports.sh holds the import table to that); a newer function is
// taken from here, and the caller keeps a way for the release without it.
#pragma once

#include <windows.h>

namespace lumo {

// The function `name` of a library the process has loaded already (kernel32, user32,
// ntdll), or null when this Windows does not have it. Never loads a library.
template <typename Function>
Function LoadedFunction(const wchar_t* library, const char* name) {
  const HMODULE module = ::GetModuleHandleW(library);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace lumo
