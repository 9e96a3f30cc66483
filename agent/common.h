// What the agent stand-in's programs share on the Windows side: their own folder, the
// optional "agent.ini" beside them, identity queries and the record file.
#pragma once

#include <windows.h>

#include <shlobj.h>

#include <string>
#include <vector>

#include "agent/core/agent_core.h"
#include "standins/common/settings.h"

namespace agentstandin {

inline std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
  return out;
}

inline std::wstring ModulePath() {
  wchar_t path[MAX_PATH * 2] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
  return path;
}

// The program's own folder, without a trailing backslash.
inline std::wstring ModuleFolder() {
  std::wstring path = ModulePath();
  return path.substr(0, path.rfind(L'\\'));
}

inline std::vector<std::wstring> Arguments() {
  std::vector<std::wstring> args;
  int count = 0;
  wchar_t** list = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (list == nullptr) return args;
  for (int i = 1; i < count; ++i) args.push_back(list[i]);
  ::LocalFree(list);
  return args;
}

// Settings from "agent.ini" beside the program (section [Agent]), then from the machine's
// registry (HKLM\Software\LumoStandins\Agent, set by a test: on the SYSTEM route the starter
// and the manager get the system's environment, not the test's), then the defaults.
struct Settings {
  unsigned long lifetimeMs = 0;     // 0: until the window is closed
  unsigned long windowDelayMs = 0;  // a pause before the window appears
  int exitCode = 0;
  std::wstring recordFolder;
};

inline std::wstring IniString(const std::wstring& ini, const wchar_t* key) {
  wchar_t value[MAX_PATH * 2] = {};
  if (::GetFileAttributesW(ini.c_str()) != INVALID_FILE_ATTRIBUTES &&
      ::GetPrivateProfileStringW(L"Agent", key, L"", value, MAX_PATH * 2, ini.c_str()) != 0 && value[0] != 0)
    return value;
  return standins::Setting(key, L"Agent");
}

inline Settings ReadSettings() {
  Settings settings;
  const std::wstring ini = ModuleFolder() + L"\\agent.ini";
  std::wstring text = IniString(ini, L"LifetimeMs");
  if (!text.empty()) settings.lifetimeMs = wcstoul(text.c_str(), nullptr, 10);
  text = IniString(ini, L"WindowDelayMs");
  if (!text.empty()) settings.windowDelayMs = wcstoul(text.c_str(), nullptr, 10);
  text = IniString(ini, L"ExitCode");
  if (!text.empty()) settings.exitCode = _wtoi(text.c_str());
  settings.recordFolder = IniString(ini, L"RecordFolder");
  if (settings.recordFolder.empty()) {
    // Outside the work folder, so that the record outlives the launcher's clean-up.
    wchar_t common[MAX_PATH] = {};
    if (SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common)))
      settings.recordFolder = std::wstring(common) + L"\\LumoStandIn";
    else
      settings.recordFolder = L"C:\\ProgramData\\LumoStandIn";
  }
  while (!settings.recordFolder.empty() && settings.recordFolder.back() == L'\\') settings.recordFolder.pop_back();
  return settings;
}

inline DWORD OwnSession() {
  DWORD session = 0xFFFFFFFF;
  if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) session = 0xFFFFFFFF;
  return session;
}

inline std::wstring UserName() {
  wchar_t name[256] = {};
  DWORD size = 256;
  return ::GetUserNameW(name, &size) ? std::wstring(name) : std::wstring();
}

inline bool RunsAsSystem() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  BYTE buffer[256] = {};
  DWORD length = 0;
  bool system = false;
  if (::GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &length))
    system = ::IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, WinLocalSystemSid) != FALSE;
  ::CloseHandle(token);
  return system;
}

inline void MakeFolders(const std::wstring& path) {
  if (path.empty() || ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return;
  const size_t slash = path.rfind(L'\\');
  if (slash != std::wstring::npos && slash > 2) MakeFolders(path.substr(0, slash));
  ::CreateDirectoryW(path.c_str(), nullptr);
}

// Writes the record whole under a temporary name and then renames it, so that a reader
// never sees half a record. Returns the record's path, or empty on failure.
inline std::wstring WriteRecord(const std::wstring& folder, const std::wstring& name, const Fields& fields) {
  MakeFolders(folder);
  const std::wstring path = folder + L"\\" + name;
  const std::wstring temporary = path + L".tmp";
  const std::string text = FormatRecord(fields);
  HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return L"";
  DWORD written = 0;
  const BOOL ok = ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  ::CloseHandle(file);
  if (!ok || written != text.size() || !::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    ::DeleteFileW(temporary.c_str());
    return L"";
  }
  return path;
}

// The start time for a later benchmark: the performance counter with its frequency, and
// the precise system time where the system has it (Windows 8 and later).
inline void AddStartTime(Fields& fields, const LARGE_INTEGER& counter) {
  LARGE_INTEGER frequency{};
  ::QueryPerformanceFrequency(&frequency);
  fields.emplace_back("qpc", std::to_string(counter.QuadPart));
  fields.emplace_back("qpc_frequency", std::to_string(frequency.QuadPart));
  using PreciseTimeFn = VOID(WINAPI*)(LPFILETIME);
  auto precise = reinterpret_cast<PreciseTimeFn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
  FILETIME now{};
  if (precise != nullptr) precise(&now);
  else ::GetSystemTimeAsFileTime(&now);
  const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  fields.emplace_back("filetime", std::to_string(ticks));
  fields.emplace_back("filetime_precise", precise != nullptr ? "1" : "0");
}

}  // namespace agentstandin
