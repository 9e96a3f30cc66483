#include "machine_state.h"

#include <windows.h>
#include <lm.h>
#include <shlobj.h>

#include <fstream>
#include <iterator>
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

// The file id of a folder ("volume:index", which a rename keeps); empty for a link, a file
// or what cannot be opened.
std::wstring FolderId(const std::wstring& path) {
  const HANDLE folder = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return L"";
  BY_HANDLE_FILE_INFORMATION info{};
  const bool read = ::GetFileInformationByHandle(folder, &info) &&
                    (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY;
  ::CloseHandle(folder);
  if (!read) return L"";
  return std::to_wstring(info.dwVolumeSerialNumber) + L":" +
         std::to_wstring((ULONGLONG(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
}

// Every folder in `parent` that matches `pattern`, with all below it.
void ListTrees(const std::wstring& parent, const wchar_t* pattern, MachineState& state) {
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((parent + L"\\" + pattern).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ListTree(parent + L"\\" + data.cFileName, state);
  while (::FindNextFileW(find, &data));
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

// The key and the value name of a value's item ("HKCU\\Software\\...\\Name"), opened or made
// with `access`; the error, 0 when it is open.
DWORD OpenValueKey(const std::wstring& item, REGSAM access, bool create, HKEY& key, std::wstring& value) {
  const Root* root = RootOf(item);
  if (root == nullptr) return ERROR_INVALID_PARAMETER;
  const std::wstring path = item.substr(wcslen(root->name) + 1, item.rfind(L'\\') - wcslen(root->name) - 1);
  value = item.substr(item.rfind(L'\\') + 1);
  return static_cast<DWORD>(
      create ? ::RegCreateKeyExW(root->key, path.c_str(), 0, nullptr, 0, access | root->view, nullptr, &key, nullptr)
             : ::RegOpenKeyExW(root->key, path.c_str(), REG_OPTION_OPEN_LINK, access | root->view, &key));
}

// Where the kept contents are listed, one record a line, its fields apart by tabs:
// "id<TAB>folder<TAB>file id", "file<TAB>path<TAB>copy", "value<TAB>item<TAB>type<TAB>hex".
std::wstring ContentsFile(const std::wstring& folder) { return folder + L"\\contents.txt"; }

std::vector<std::vector<std::wstring>> ReadContents(const std::wstring& folder) {
  std::ifstream file(ContentsFile(folder).c_str(), std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  const std::string raw = bytes.str();
  std::wistringstream lines(std::wstring(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / sizeof(wchar_t)));
  std::vector<std::vector<std::wstring>> records;
  for (std::wstring line; std::getline(lines, line);) {
    std::vector<std::wstring> fields;
    for (size_t at = 0, tab = 0; tab != std::wstring::npos; at = tab + 1) {
      tab = line.find(kTab, at);
      fields.push_back(line.substr(at, tab == std::wstring::npos ? tab : tab - at));
    }
    records.push_back(fields);
  }
  return records;
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
    ListTrees(common, L"Ondrix.*.old", state);  // moved aside by an elevated run
    ListTree(common + L"\\LumoStandIn", state);
  }
  ListTrees(Windows() + L"\\Temp", L"lumo-*", state);
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

bool SaveContents(const MachineState& state, const std::wstring& folder) {
  DeleteTree(folder);  // what an earlier run kept
  if (!::CreateDirectoryW(folder.c_str(), nullptr)) return false;
  const std::wstring ondrix = CommonAppData() + L"\\Ondrix";
  std::wstring contents;
  for (const std::wstring& path : {ondrix, ondrix + L"\\Temp"}) {
    const std::wstring id = FolderId(path);
    if (!id.empty()) contents += std::wstring(L"id") + kTab + path + kTab + id + L"\n";
  }
  // What cannot be read is not kept: the comparison after the run names it if it changed.
  int copies = 0;
  for (const auto& item : state) {
    const std::wstring kind = item.first.substr(0, item.first.find(kTab)), name = item.first.substr(item.first.find(kTab) + 1);
    const std::wstring file = name.substr(name.rfind(L'\\') + 1);
    if (kind == L"file" && name.compare(0, ondrix.size() + 1, ondrix + L"\\") == 0 && _wcsnicmp(file.c_str(), L"Lumo", 4) == 0 &&
        file.size() > 4 && _wcsicmp(file.c_str() + file.size() - 4, L".exe") == 0) {
      const std::wstring copy = std::to_wstring(++copies) + L".bin";
      if (::CopyFileW(name.c_str(), (folder + L"\\" + copy).c_str(), FALSE))
        contents += kind + kTab + name + kTab + copy + L"\n";
    } else if (kind == L"value") {
      HKEY key = nullptr;
      std::wstring value;
      if (OpenValueKey(name, KEY_QUERY_VALUE, false, key, value) != 0) continue;
      DWORD type = 0, size = 0;
      std::vector<BYTE> data;
      LONG status = ::RegQueryValueExW(key, value.c_str(), nullptr, &type, nullptr, &size);
      data.resize(size);
      if (status == ERROR_SUCCESS) status = ::RegQueryValueExW(key, value.c_str(), nullptr, &type, data.data(), &size);
      ::RegCloseKey(key);
      if (status != ERROR_SUCCESS) continue;
      std::wstring hex;
      for (DWORD i = 0; i < size; ++i) {
        hex += L"0123456789abcdef"[data[i] >> 4];
        hex += L"0123456789abcdef"[data[i] & 15];
      }
      contents += kind + kTab + name + kTab + std::to_wstring(type) + kTab + hex + L"\n";
    }
  }
  std::ofstream list(ContentsFile(folder).c_str(), std::ios::binary);
  list.write(reinterpret_cast<const char*>(contents.data()), static_cast<std::streamsize>(contents.size() * sizeof(wchar_t)));
  return static_cast<bool>(list);
}

bool PutBackMovedFolders(const std::wstring& folder, std::vector<std::wstring>& stranded, std::wstring& report) {
  bool all = true;
  for (const std::vector<std::wstring>& record : ReadContents(folder)) {  // "Ondrix" before its "Temp"
    if (record.size() != 3 || record[0] != L"id" || FolderId(record[1]) == record[2]) continue;
    const std::wstring parent = record[1].substr(0, record[1].rfind(L'\\'));
    std::wstring moved;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((record[1] + L".*.old").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do
        if (FolderId(parent + L"\\" + data.cFileName) == record[2]) moved = parent + L"\\" + data.cFileName;
      while (moved.empty() && ::FindNextFileW(find, &data));
      ::FindClose(find);
    }
    if (moved.empty()) continue;  // not moved aside: nothing of it to put back
    // What the run made in its place goes; a link there goes as itself.
    DWORD error = ::GetFileAttributesW(record[1].c_str()) == INVALID_FILE_ATTRIBUTES ? 0 : DeleteTree(record[1]);
    if (error == 0 && !::MoveFileW(moved.c_str(), record[1].c_str())) error = ::GetLastError();
    report += (error == 0 ? L"put back: folder " : L"NOT put back: folder ") + record[1] + L" (moved aside as " + moved +
              (error == 0 ? L"" : L", error " + std::to_wstring(error) + L"; it stays there") + L")\n";
    if (error != 0) stranded.push_back(moved);
    all = all && error == 0;
  }
  return all;
}

void LeaveOut(MachineState& state, const std::wstring& path) {
  for (auto item = state.begin(); item != state.end();) {
    const std::wstring name = item->first.substr(item->first.find(kTab) + 1);
    const bool below = name == path || name.compare(0, path.size() + 1, path + L"\\") == 0;
    item = below ? state.erase(item) : std::next(item);
  }
}

bool PutBackChanged(const MachineState& before, const std::wstring& folder, std::wstring& report) {
  bool all = true;
  const auto said = [&](const std::wstring& what, const std::wstring& kind, const std::wstring& name, DWORD error) {
    report += (error == 0 ? what + L": " : L"NOT " + what + L": ") + kind + L" " + name +
              (error == 0 ? L"" : L" (error " + std::to_wstring(error) + L")") + L"\n";
    all = all && error == 0;
  };
  // Folders and keys that are gone, each before what it held (the state is sorted by name).
  const MachineState now = ReadMachineState();
  for (const auto& item : before) {
    const std::wstring kind = item.first.substr(0, item.first.find(kTab)), name = item.first.substr(item.first.find(kTab) + 1);
    if (now.count(item.first) != 0 || item.second == L"a link" || (kind != L"folder" && kind != L"key")) continue;
    HKEY key = nullptr;
    std::wstring unused;
    const DWORD error = kind == L"folder" ? (::CreateDirectoryW(name.c_str(), nullptr) ? 0 : ::GetLastError())
                                          : OpenValueKey(name + L"\\", KEY_READ, true, key, unused);
    if (key != nullptr) ::RegCloseKey(key);
    said(L"made again", kind, name, error);
  }
  // Files and values that are gone or changed, from what was kept.
  const MachineState later = ReadMachineState();
  for (const std::vector<std::wstring>& record : ReadContents(folder)) {
    if (record.size() < 3 || (record[0] != L"file" && record[0] != L"value")) continue;
    const std::wstring item = record[0] + kTab + record[1];
    const auto was = before.find(item), is = later.find(item);
    if (was == before.end() || (is != later.end() && is->second == was->second)) continue;  // as it was
    DWORD error = 0;
    if (record[0] == L"file") {
      // A copy keeps the time of its last write, which the state compares.
      const std::wstring copy = folder + L"\\" + record[2];
      ::SetFileAttributesW(record[1].c_str(), FILE_ATTRIBUTE_NORMAL);
      if (!::CopyFileW(copy.c_str(), record[1].c_str(), FALSE) &&
          !(::DeleteFileW(record[1].c_str()) && ::CopyFileW(copy.c_str(), record[1].c_str(), TRUE)))
        error = ::GetLastError();
    } else if (record.size() == 4) {
      std::vector<BYTE> data;
      for (size_t i = 0; i + 1 < record[3].size(); i += 2)
        data.push_back(static_cast<BYTE>(std::stoul(record[3].substr(i, 2), nullptr, 16)));
      HKEY key = nullptr;
      std::wstring value;
      error = OpenValueKey(record[1], KEY_SET_VALUE, true, key, value);
      if (error == 0) {
        error = static_cast<DWORD>(::RegSetValueExW(key, value.c_str(), 0, static_cast<DWORD>(std::stoul(record[2])),
                                                    data.data(), static_cast<DWORD>(data.size())));
        ::RegCloseKey(key);
      }
    }
    said(L"put back", record[0], record[1], error);
  }
  return all;
}

}  // namespace kit
