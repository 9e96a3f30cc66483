// What a stand-in tells a test about the process that runs it. When the setting "Trace"
// (standins/common/settings.h) names a file, each stand-in appends one line to it (UTF-16 LE,
// CR LF), with the value of each variable "TraceVariables" names ("<none>" when unset):
//   expand.exe bits=64 path=C:\windows\system32\expand.exe parent_bits=64 parent=C:\windows\system32\cmd.exe PATH=...
// So a test can tell the project's 64-bit stand-in in system32, started by the 64-bit
// interpreter, from Wine's 32-bit program of the same name in syswow64, which writes nothing:
// a 32-bit launcher that started the interpreter of its own width would reach that one.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include "standins/common/settings.h"

namespace standins {

// 32 for a process under WOW64 or on 32-bit Windows, 64 otherwise; 0 when unknown.
inline int ProcessBits(HANDLE process) {
  SYSTEM_INFO system{};
  ::GetNativeSystemInfo(&system);
  if (system.wProcessorArchitecture != PROCESSOR_ARCHITECTURE_AMD64) return 32;
  BOOL wow64 = FALSE;
  if (!::IsWow64Process(process, &wow64)) return 0;
  return wow64 ? 32 : 64;
}

inline DWORD ParentProcessId() {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  DWORD parent = 0;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == ::GetCurrentProcessId()) {
      parent = entry.th32ParentProcessID;
      break;
    }
  }
  ::CloseHandle(snapshot);
  return parent;
}

inline void TraceStart(const wchar_t* program) {
  const std::wstring file = Setting(L"Trace");
  if (file.empty()) return;

  wchar_t own[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, own, MAX_PATH);
  std::wstring line = std::wstring(program) + L" bits=" + std::to_wstring(ProcessBits(::GetCurrentProcess())) +
                      L" path=" + own;
  int parentBits = 0;
  wchar_t parentPath[MAX_PATH] = L"?";
  const HANDLE parent = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ParentProcessId());
  if (parent != nullptr) {
    parentBits = ProcessBits(parent);
    DWORD size = MAX_PATH;
    if (!::QueryFullProcessImageNameW(parent, 0, parentPath, &size)) parentPath[0] = L'?', parentPath[1] = 0;
    ::CloseHandle(parent);
  }
  line += L" parent_bits=" + std::to_wstring(parentBits) + L" parent=" + parentPath;
  const std::wstring names = Setting(L"TraceVariables");
  for (std::size_t at = 0; at < names.size();) {
    std::size_t end = names.find(L';', at);
    if (end == std::wstring::npos) end = names.size();
    const std::wstring name = names.substr(at, end - at);
    wchar_t value[4096] = {};
    const DWORD length = name.empty() ? 0 : ::GetEnvironmentVariableW(name.c_str(), value, 4096);
    if (!name.empty()) line += L" " + name + L"=" + (length == 0 || length >= 4096 ? L"<none>" : value);
    at = end + 1;
  }
  line += L"\r\n";

  const HANDLE out = ::CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  ::WriteFile(out, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
  ::CloseHandle(out);
}

}  // namespace standins
