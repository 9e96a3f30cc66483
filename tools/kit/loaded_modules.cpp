#include "loaded_modules.h"
#include "utf8.h"

#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace kit {
namespace {

constexpr DWORD kWow64Breakpoint = 0x4000001F;  // STATUS_WX86_BREAKPOINT
constexpr DWORD kTimeLimit = 30000;

bool UnderWine() { return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

std::wstring Lower(std::wstring text) {
  if (!text.empty()) ::CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
  return text;
}

std::wstring FileName(const std::wstring& path) { return path.substr(path.find_last_of(L"\\/") + 1); }

std::wstring Folder(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// The path of a mapped image: from the file handle the debug event brings, else from the
// mapping's device path with the device put back as its drive letter.
std::wstring ModulePath(HANDLE process, HANDLE file, void* base) {
  wchar_t path[MAX_PATH * 2] = {};
  DWORD length = file != nullptr ? ::GetFinalPathNameByHandleW(file, path, MAX_PATH * 2, VOLUME_NAME_DOS) : 0;
  if (length > 0 && length < MAX_PATH * 2) {
    const std::wstring text(path, length);
    return text.compare(0, 4, L"\\\\?\\") == 0 ? text.substr(4) : text;
  }
  length = ::K32GetMappedFileNameW(process, base, path, MAX_PATH * 2);
  const std::wstring mapped(path, length);
  for (wchar_t drive[] = L"A:"; drive[0] <= L'Z'; ++drive[0]) {
    wchar_t device[MAX_PATH] = {};
    if (::QueryDosDeviceW(drive, device, MAX_PATH) == 0) continue;
    const std::wstring prefix = std::wstring(device) + L"\\";
    if (_wcsnicmp(mapped.c_str(), prefix.c_str(), prefix.size()) == 0) return drive + mapped.substr(prefix.size() - 1);
  }
  return mapped.empty() ? L"(a module without a name)" : mapped;
}

// The names of the sections in an object directory of known DLLs, in lower case.
std::vector<std::wstring> KnownDlls(const wchar_t* directory) {
  using OpenDirectory = NTSTATUS(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*);
  using QueryDirectory = NTSTATUS(NTAPI*)(HANDLE, void*, ULONG, BOOLEAN, BOOLEAN, ULONG*, ULONG*);
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const auto open = reinterpret_cast<OpenDirectory>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtOpenDirectoryObject")));
  const auto query =
      reinterpret_cast<QueryDirectory>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtQueryDirectoryObject")));
  std::vector<std::wstring> names;
  UNICODE_STRING name{static_cast<USHORT>(wcslen(directory) * sizeof(wchar_t)),
                      static_cast<USHORT>(wcslen(directory) * sizeof(wchar_t)), const_cast<wchar_t*>(directory)};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE handle = nullptr;
  constexpr ACCESS_MASK kDirectoryQuery = 0x0001;
  if (open == nullptr || query == nullptr || open(&handle, kDirectoryQuery, &attributes) < 0) return names;
  struct Entry {
    UNICODE_STRING name, type;
  };
  std::vector<ULONGLONG> buffer(4096);
  ULONG context = 0, returned = 0;
  for (BOOLEAN restart = TRUE; query(handle, buffer.data(), static_cast<ULONG>(buffer.size() * sizeof(ULONGLONG)), TRUE,
                                     restart, &context, &returned) >= 0 &&
                               returned != 0;
       restart = FALSE) {
    const auto* entry = reinterpret_cast<const Entry*>(buffer.data());
    if (std::wstring(entry->type.Buffer, entry->type.Length / sizeof(wchar_t)) == L"Section")
      names.push_back(Lower(std::wstring(entry->name.Buffer, entry->name.Length / sizeof(wchar_t))));
  }
  ::CloseHandle(handle);
  return names;
}

std::string Escape(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '&') escaped += "&amp;";
    else if (c == '<') escaped += "&lt;";
    else if (c == '>') escaped += "&gt;";
    else if (c == '"') escaped += "&quot;";
    else if (static_cast<unsigned char>(c) < 0x20) escaped += "&#" + std::to_string(static_cast<int>(c)) + ";";
    else escaped += c;
  }
  return escaped;
}

std::string Property(const std::string& name, const std::string& value) {
  return "      <property name=\"" + name + "\" value=\"" + Escape(value) + "\"/>\n";
}

}  // namespace

bool ModulesBeforeEntry(const std::wstring& program, std::vector<std::wstring>& modules, std::wstring& error) {
  std::wstring line = L"\"" + program + L"\"";
  const std::wstring folder = Folder(program);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
    error = L"not started (error " + std::to_wstring(::GetLastError()) + L")";
    return false;
  }
  // The 64-bit loader of a 32-bit program breaks first, once it has mapped its own part (ntdll
  // and the WOW64 layer); the program's imports follow, up to the WOW64 breakpoint.
  bool stopped = false, ended = false, beyondLoader = false;
  DEBUG_EVENT event{};
  for (const DWORD start = ::GetTickCount(); !stopped && !ended;) {
    const DWORD elapsed = ::GetTickCount() - start;
    if (elapsed >= kTimeLimit || !::WaitForDebugEvent(&event, kTimeLimit - elapsed)) break;
    DWORD answer = DBG_CONTINUE;
    if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
      const CREATE_PROCESS_DEBUG_INFO& info = event.u.CreateProcessInfo;
      modules.push_back(ModulePath(process.hProcess, info.hFile, info.lpBaseOfImage));
      if (info.hFile != nullptr) ::CloseHandle(info.hFile);
    } else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
      const LOAD_DLL_DEBUG_INFO& info = event.u.LoadDll;
      modules.push_back(ModulePath(process.hProcess, info.hFile, info.lpBaseOfDll));
      if (info.hFile != nullptr) ::CloseHandle(info.hFile);
      const std::wstring name = Lower(FileName(modules.back()));
      beyondLoader = beyondLoader || (name != L"ntdll.dll" && name.compare(0, 5, L"wow64") != 0);
    } else if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT) {
      const DWORD code = event.u.Exception.ExceptionRecord.ExceptionCode;
      stopped = code == kWow64Breakpoint || (code == EXCEPTION_BREAKPOINT && beyondLoader);
      if (code != kWow64Breakpoint && code != EXCEPTION_BREAKPOINT) answer = DBG_EXCEPTION_NOT_HANDLED;
    } else if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
      ended = true;
    }
    if (!stopped) ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, answer);
  }
  // Ended where it stands; the events until its exit are let go.
  ::TerminateProcess(process.hProcess, 1);
  if (stopped) ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
  while (!ended && ::WaitForDebugEvent(&event, 5000)) {
    if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && event.u.LoadDll.hFile != nullptr)
      ::CloseHandle(event.u.LoadDll.hFile);
    ended = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
    ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
  }
  ::WaitForSingleObject(process.hProcess, 5000);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  if (!stopped) error = L"it did not reach its first breakpoint within " + std::to_wstring(kTimeLimit / 1000) + L" s";
  return stopped;
}

std::vector<std::wstring> UnexpectedModules(const std::vector<std::wstring>& modules) {
  wchar_t system[MAX_PATH] = {}, wow64[MAX_PATH] = {};
  ::GetSystemDirectoryW(system, MAX_PATH);
  ::GetSystemWow64DirectoryW(wow64, MAX_PATH);  // none on 32-bit Windows
  const std::vector<std::wstring> known = KnownDlls(L"\\KnownDlls"), known32 = KnownDlls(L"\\KnownDlls32");
  const auto listed = [](const std::vector<std::wstring>& names, const std::wstring& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  std::vector<std::wstring> unexpected;
  for (size_t i = 1; i < modules.size(); ++i) {  // the first is the program
    const std::wstring folder = Lower(Folder(modules[i])), name = Lower(FileName(modules[i]));
    const bool inSystem = folder == Lower(system), inWow64 = wow64[0] != L'\0' && folder == Lower(wow64);
    const bool expected = (name == L"ntdll.dll" && (inSystem || inWow64)) ||
                          (inSystem && name.compare(0, 5, L"wow64") == 0) || (inSystem && listed(known, name)) ||
                          (inWow64 && listed(known32, name));
    if (!expected) unexpected.push_back(modules[i]);
  }
  return unexpected;
}

int WriteModulesReport(const std::wstring& xmlPath, const std::vector<std::wstring>& programs) {
  const bool wine = UnderWine();
  const bool loaderUpdate = ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories") != nullptr;
  const std::string machine = loaderUpdate
                                  ? "the machine has the loader update (kernel32 exports SetDefaultDllDirectories)"
                                  : "the machine is without the loader update (kernel32 exports no SetDefaultDllDirectories)";
  std::string cases;
  int failures = 0;
  for (const std::wstring& program : programs) {
    DWORD type = 0;
    const bool is32 = ::GetBinaryTypeW(program.c_str(), &type) && type == SCS_32BIT_BINARY;
    const std::string width = is32 ? "i686" : "x86_64";
    std::string properties = Property("release_check", "1"), note = machine, outcome;
    char reason[512] = {};
    std::vector<std::wstring> modules;
    std::wstring error;
    if (is32 && ::GetEnvironmentVariableA("LUMO_NO_I686", reason, sizeof reason) != 0) {
      outcome = "      <skipped message=\"" + Escape("32-bit programs do not run here: " + std::string(reason)) + "\"/>\n";
    } else {
      const bool listedAll = ModulesBeforeEntry(program, modules, error);
      std::string names;
      for (const std::wstring& module : modules) names += (names.empty() ? "" : ", ") + Utf8(FileName(module));
      note += "; " + width + " before its entry point: " + (names.empty() ? "nothing" : names);
      std::string unexpected;
      for (const std::wstring& module : UnexpectedModules(modules)) unexpected += (unexpected.empty() ? "" : ", ") + Utf8(module);
      if (wine)
        properties += Property("windows_skipped", "1: nothing but ntdll, the WOW64 layer, the program and known DLLs loaded "
                                                  "before its entry point");
      const std::string failure = !listedAll ? Utf8(program + L": " + error)
                                  : !wine && !unexpected.empty()
                                      ? "loaded before its entry point, neither ntdll, the WOW64 layer, the program nor "
                                        "a known DLL: " + unexpected
                                      : "";
      if (!failure.empty()) {
        outcome = "      <failure message=\"" + Escape(failure) + "\"/>\n";
        ++failures;
      }
      printf("%s: %s%s%s\n", width.c_str(), names.c_str(), failure.empty() ? "" : "\n  failed: ", failure.c_str());
    }
    properties += Property("release_note", note);
    cases += "    <testcase name=\"" + width + "\" classname=\"LoadedBeforeEntry\" result=\"" +
             (outcome.compare(0, 14, "      <skipped") == 0 ? "skipped" : "completed") + "\">\n      <properties>\n" +
             properties + "      </properties>\n" + outcome + "    </testcase>\n";
  }
  std::ofstream(xmlPath.c_str(), std::ios::binary)
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n  <testsuite name=\"LoadedBeforeEntry\">\n" << cases
      << "  </testsuite>\n</testsuites>\n";
  return failures;
}

}  // namespace kit
