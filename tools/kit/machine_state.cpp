#include "machine_state.h"

#include <windows.h>
#include <lm.h>
#include <shlobj.h>

#include <sstream>
#include <vector>

#include "account.h"

namespace kit {
namespace {

constexpr wchar_t kTab = L'\t';

std::wstring Windows() {
  wchar_t folder[MAX_PATH] = {};
  ::GetSystemWindowsDirectoryW(folder, MAX_PATH);
  return folder;
}

std::wstring CommonAppData() {
  wchar_t folder[MAX_PATH] = {};
  return SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder)) ? folder : L"";
}

// A folder and all below it, links listed but not entered.
void ListTree(const std::wstring& folder, MachineState& state) {
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  state[std::wstring(L"folder") + kTab + folder] = link ? L"a link" : L"";
  WIN32_FIND_DATAW data;
  HANDLE find = link ? INVALID_HANDLE_VALUE : ::FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName, path = folder + L"\\" + name;
    if (name == L"." || name == L"..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ListTree(path, state);
    } else {
      const ULONGLONG size = (ULONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
      const ULONGLONG written = (ULONGLONG(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
      state[std::wstring(L"file") + kTab + path] = std::to_wstring(size) + L" bytes, written " + std::to_wstring(written);
    }
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
}

struct Root {
  const wchar_t* name;
  HKEY key;
  REGSAM view;
};
const Root kRoots[] = {{L"HKCU", HKEY_CURRENT_USER, 0}, {L"HKLM", HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY}};

const Root* RootOf(const std::wstring& path) {
  for (const Root& root : kRoots)
    if (path.compare(0, wcslen(root.name) + 1, std::wstring(root.name) + L"\\") == 0) return &root;
  return nullptr;
}

// A key and all below it, each opened as itself: a link is listed, never entered.
void ListKey(const Root& root, const std::wstring& path, MachineState& state) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(root.key, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | root.view, &key) != ERROR_SUCCESS) return;
  const std::wstring name = std::wstring(root.name) + L"\\" + path;
  state[std::wstring(L"key") + kTab + name] = L"";
  bool link = false;
  wchar_t value[256];
  std::vector<BYTE> data(64 * 1024);
  for (DWORD index = 0;; ++index) {
    DWORD size = 256, type = 0, bytes = static_cast<DWORD>(data.size());
    if (::RegEnumValueW(key, index, value, &size, nullptr, &type, data.data(), &bytes) != ERROR_SUCCESS) break;
    link = link || type == REG_LINK;
    unsigned long hash = 2166136261u;  // FNV-1a of the data: a changed value shows
    for (DWORD i = 0; i < bytes; ++i) hash = (hash ^ data[i]) * 16777619u;
    state[std::wstring(L"value") + kTab + name + L"\\" + value] =
        L"type " + std::to_wstring(type) + L", " + std::to_wstring(bytes) + L" bytes, hash " + std::to_wstring(hash);
  }
  for (DWORD index = 0; !link; ++index) {
    DWORD size = 256;
    if (::RegEnumKeyExW(key, index, value, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    ListKey(root, path + L"\\" + value, state);
  }
  ::RegCloseKey(key);
}

void ListTasks(MachineState& state) {
  // Windows keeps each task of the scheduler's root folder as a file of its name.
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((Windows() + L"\\System32\\Tasks\\ALUMO*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do state[std::wstring(L"task") + kTab + data.cFileName] = L"";
    while (::FindNextFileW(find, &data));
    ::FindClose(find);
  }
  // The schtasks stand-in keeps its tasks in the registry (in the project's Wine prefix).
  HKEY store = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\LumoStandins\\Schtasks", 0, KEY_READ | KEY_WOW64_64KEY, &store) !=
      ERROR_SUCCESS)
    return;
  wchar_t name[256];
  for (DWORD index = 0, size = 256; ::RegEnumKeyExW(store, index, name, &size, nullptr, nullptr, nullptr, nullptr) ==
                                    ERROR_SUCCESS;
       ++index, size = 256)
    if (_wcsnicmp(name, L"ALUMO", 5) == 0) state[std::wstring(L"task") + kTab + name] = L"";
  ::RegCloseKey(store);
}

void ListAccounts(MachineState& state) {
  BYTE* buffer = nullptr;
  DWORD read = 0, total = 0, resume = 0;
  if (::NetUserEnum(nullptr, 0, FILTER_NORMAL_ACCOUNT, &buffer, MAX_PREFERRED_LENGTH, &read, &total, &resume) !=
      NERR_Success)
    return;
  const auto* users = reinterpret_cast<const USER_INFO_0*>(buffer);
  for (DWORD i = 0; i < read; ++i)
    if (_wcsnicmp(users[i].usri0_name, L"lumokit-", 8) == 0) state[std::wstring(L"account") + kTab + users[i].usri0_name] = L"";
  ::NetApiBufferFree(buffer);
}

// Runs the system's schtasks (the stand-in under Wine); its exit code.
DWORD Schtasks(const std::wstring& arguments) {
  const std::wstring program = Windows() + L"\\System32\\schtasks.exe";
  std::wstring line = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process))
    return ::GetLastError();
  ::CloseHandle(process.hThread);
  DWORD code = 1;
  ::WaitForSingleObject(process.hProcess, 60000);
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hProcess);
  return code;
}

// Removes a folder and all in it, links as themselves; the first error, 0 when all went.
DWORD DeleteTree(const std::wstring& folder) {
  DWORD first = 0;
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  WIN32_FIND_DATAW data;
  HANDLE find = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? INVALID_HANDLE_VALUE
                                                             : ::FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = data.cFileName, path = folder + L"\\" + name;
      if (name == L"." || name == L"..") continue;
      ::SetFileAttributesW(path.c_str(), data.dwFileAttributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                                   FILE_ATTRIBUTE_SYSTEM));
      const DWORD error = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? DeleteTree(path)
                          : ::DeleteFileW(path.c_str())                      ? 0
                                                                             : ::GetLastError();
      if (first == 0) first = error;
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
  }
  if (!::RemoveDirectoryW(folder.c_str()) && first == 0) first = ::GetLastError();
  return first;
}

// Removes a key and all below it, each as itself: a link goes, what it points to stays.
DWORD DeleteKey(HKEY parent, const std::wstring& path, REGSAM view) {
  using NtDeleteKey = LONG(NTAPI*)(HANDLE);
  static const auto deleteKey = reinterpret_cast<NtDeleteKey>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
  HKEY key = nullptr;
  LONG status = ::RegOpenKeyExW(parent, path.c_str(), REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS | view, &key);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  DWORD type = 0;
  if (::RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS || type != REG_LINK) {
    std::vector<std::wstring> children;
    wchar_t name[256];
    for (DWORD index = 0, size = 256; ::RegEnumKeyExW(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) ==
                                      ERROR_SUCCESS;
         ++index, size = 256)
      children.push_back(name);
    for (const std::wstring& child : children) DeleteKey(key, child, view);
  }
  status = deleteKey != nullptr ? deleteKey(key) : -1;
  ::RegCloseKey(key);
  return status == 0 ? 0 : ERROR_ACCESS_DENIED;
}

// Removes one item the kit added; 0 when it went.
DWORD Remove(const std::wstring& kind, const std::wstring& name, std::wstring& said) {
  if (kind == L"task") return Schtasks(L"/delete /f /tn " + name);
  if (kind == L"account") {
    said = RemoveAccount(name);
    return said.compare(0, 7, L"removed") == 0 ? 0 : 1;
  }
  if (kind == L"folder") return DeleteTree(name);
  if (kind == L"file") {
    ::SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
    return ::DeleteFileW(name.c_str()) ? 0 : ::GetLastError();
  }
  const Root* root = RootOf(name);
  if (root == nullptr) return ERROR_INVALID_PARAMETER;
  const std::wstring path = name.substr(wcslen(root->name) + 1);
  if (kind == L"key") return DeleteKey(root->key, path, root->view);
  HKEY key = nullptr;  // a value
  LONG status = ::RegOpenKeyExW(root->key, path.substr(0, path.rfind(L'\\')).c_str(), 0, KEY_SET_VALUE | root->view, &key);
  if (status == ERROR_SUCCESS) {
    status = ::RegDeleteValueW(key, path.substr(path.rfind(L'\\') + 1).c_str());
    ::RegCloseKey(key);
  }
  return static_cast<DWORD>(status);
}

}  // namespace

MachineState ReadMachineState() {
  MachineState state;
  ListTasks(state);
  const std::wstring common = CommonAppData();
  if (!common.empty()) {
    ListTree(common + L"\\Ondrix", state);
    ListTree(common + L"\\LumoStandIn", state);
  }
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((Windows() + L"\\Temp\\lumo-*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ListTree(Windows() + L"\\Temp\\" + data.cFileName, state);
    while (::FindNextFileW(find, &data));
    ::FindClose(find);
  }
  ListKey(kRoots[0], L"Software\\Ondrix Inc.", state);
  ListKey(kRoots[0], L"Software\\LumoTests", state);
  ListKey(kRoots[1], L"Software\\LumoTests", state);
  ListKey(kRoots[1], L"Software\\LumoStandins", state);
  ListAccounts(state);
  return state;
}

std::wstring FormatState(const MachineState& state) {
  std::wstring text;
  for (const auto& item : state) text += item.first + kTab + item.second + L"\n";
  return text;
}

MachineState ParseState(const std::wstring& text) {
  MachineState state;
  std::wistringstream lines(text);
  for (std::wstring line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    const size_t kind = line.find(kTab), detail = kind == std::wstring::npos ? kind : line.find(kTab, kind + 1);
    if (detail != std::wstring::npos) state[line.substr(0, detail)] = line.substr(detail + 1);
  }
  return state;
}

std::wstring Differences(const MachineState& before, const MachineState& now) {
  std::wstring text;
  const auto show = [](const std::wstring& item) { return item.substr(0, item.find(kTab)) + L" " + item.substr(item.find(kTab) + 1); };
  for (const auto& item : now) {
    const auto old = before.find(item.first);
    if (old == before.end())
      text += L"added: " + show(item.first) + L"\n";
    else if (old->second != item.second)
      text += L"changed: " + show(item.first) + L" (" + old->second + L", now " + item.second + L")\n";
  }
  for (const auto& item : before)
    if (now.count(item.first) == 0) text += L"gone: " + show(item.first) + L"\n";
  return text;
}

bool RemoveAdded(const MachineState& before, const MachineState& now, std::wstring& report) {
  bool all = true;
  // Tasks first (one might start something), then accounts, keys and files; an item whose
  // parent goes with it is not removed again.
  for (const wchar_t* kind : {L"task", L"account", L"key", L"value", L"folder", L"file"}) {
    for (const auto& item : now) {
      const std::wstring itemKind = item.first.substr(0, item.first.find(kTab));
      const std::wstring name = item.first.substr(item.first.find(kTab) + 1);
      if (itemKind != kind || before.count(item.first) != 0) continue;
      const std::wstring parent = name.substr(0, name.rfind(L'\\'));
      const wchar_t* parentKind = (itemKind == L"key" || itemKind == L"value") ? L"key" : L"folder";
      const std::wstring parentItem = std::wstring(parentKind) + kTab + parent;
      if (itemKind != L"task" && itemKind != L"account" && now.count(parentItem) != 0 && before.count(parentItem) == 0)
        continue;
      std::wstring said;
      const DWORD error = Remove(itemKind, name, said);
      report += (error == 0 ? L"removed: " : L"NOT removed: ") + itemKind + L" " + name +
                (said.empty() ? (error == 0 ? L"" : L" (error " + std::to_wstring(error) + L")") : L" (" + said + L")") +
                L"\n";
      all = all && error == 0;
    }
  }
  return all;
}

}  // namespace kit
