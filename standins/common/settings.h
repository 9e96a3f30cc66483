// What a test asks of the stand-ins and of the agent stand-in, read from the machine's registry,
// HKLM\Software\LumoStandins (its 64-bit view, for programs of either width). Not from the
// environment: the elevated launcher hands the system programs it starts, and through them the
// task's starter and manager, the system's own environment, never the test's.
//   SchtasksLog      the file the schtasks stand-in records its command lines in
//   SchtasksRefuse   verbs the schtasks stand-in refuses, e.g. "change" or "delete,change"
//   SchtasksHang     verbs the schtasks stand-in carries out and then never ends on, e.g. "create"
//   Trace            the file each stand-in appends its start to (standins/common/trace.h)
//   TraceVariables   names of variables whose values the trace line shows, separated by ";"
//   Agent\NAME       the agent stand-in's settings where its agent.ini gives none (LifetimeMs,
//                    RecordFolder, WindowDelayMs, ExitCode)
#pragma once

#include <windows.h>

#include <string>

namespace standins {

constexpr const wchar_t* kSettingsKey = L"Software\\LumoStandins";

// A REG_SZ value of the settings key (or of `subkey` below it); empty when it is not there.
inline std::wstring Setting(const wchar_t* name, const wchar_t* subkey = nullptr) {
  std::wstring path = kSettingsKey;
  if (subkey != nullptr) (path += L"\\") += subkey;
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return std::wstring();
  wchar_t value[1024] = {};
  DWORD size = sizeof(value) - sizeof(wchar_t), type = 0;
  const bool found = ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
                         ERROR_SUCCESS && type == REG_SZ;
  ::RegCloseKey(key);
  return found ? std::wstring(value) : std::wstring();
}

}  // namespace standins
