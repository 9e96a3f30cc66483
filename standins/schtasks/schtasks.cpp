// A stand-in for the system's schtasks.exe in the project's Wine prefix, where Wine's own
// accepts /create and /delete but fails /change and starts nothing on /run. It keeps a small
// task store in the registry and handles what the launcher asks of the Task Scheduler:
//   /create /xml FILE /ru USER /tn NAME [/f]   the Exec action of a task definition file; a
//                                              name that exists without /f is replaced only
//                                              when standard input answers the question "Y"
//                                              (as Windows' own asks; no input: exit code 1)
//   /change /tn NAME [/ru USER] [/tr ACTION]   replaces the account and the action
//   /run /tn NAME                              starts the action detached, in system32
//   /delete /tn NAME /f                        removes the task; a started action runs on.
//                                              A store entry with the value "DeleteDenied"
//                                              stands for a task whose security refuses the
//                                              caller: it is not removed
//   /query /tn NAME                            prints what the store holds
//   /change /tn NAME /disable                  marks the task disabled
// Like Windows' own, it reads every single quote of an action (/tr) as a double quote, refuses
// an action longer than 261 characters, and ends with 1 for every error. A verb named in the
// setting "SchtasksRefuse" (standins/common/settings.h) fails with "Access is denied.", as
// against a task whose security refuses the caller; one named in "SchtasksHang" is carried
// out and then never ends, as a call the scheduler took but never answered.
// Every command line it is given is appended, one line each (UTF-16 LE, CR LF), to the file
// the setting "SchtasksLog" names, or to "%TEMP%\schtasks-standin.log".
// It cannot run anything as SYSTEM: the action runs with the caller's token, and the
// account is only kept in the store.
#include <windows.h>
#include <shellapi.h>

#include <cctype>
#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

#include "standins/common/trace.h"

namespace {

constexpr const wchar_t* kStoreKey = L"Software\\LumoStandins\\Schtasks";

struct Task {
  std::wstring account;
  std::wstring command;
  std::wstring arguments;
  bool deleteDenied = false;
  bool disabled = false;
};

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

std::wstring Trim(const std::wstring& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::iswspace(text[begin])) ++begin;
  while (end > begin && std::iswspace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// The command line without the program name, as the caller wrote it.
std::wstring RawArguments() {
  const wchar_t* line = ::GetCommandLineW();
  if (*line == L'"') {
    ++line;
    while (*line != L'\0' && *line != L'"') ++line;
    if (*line == L'"') ++line;
  } else {
    while (*line != L'\0' && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

void Record(const std::wstring& line) {
  wchar_t path[MAX_PATH + 32] = {};
  const std::wstring configured = standins::Setting(L"SchtasksLog");
  if (!configured.empty() && configured.size() < MAX_PATH) {
    wcscpy_s(path, configured.c_str());
  } else {
    ::GetTempPathW(MAX_PATH, path);
    wcscat_s(path, L"schtasks-standin.log");
  }
  const std::wstring text = line + L"\r\n";
  // Several callers may append at once; the file is opened without sharing, so wait a bit.
  for (int attempt = 0; attempt < 50; ++attempt) {
    HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      ::WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
      ::CloseHandle(file);
      return;
    }
    ::Sleep(20);
  }
}

std::wstring TaskKey(const std::wstring& name) { return std::wstring(kStoreKey) + L"\\" + name; }

std::wstring ReadValue(HKEY key, const wchar_t* name) {
  wchar_t buffer[4096] = {};
  DWORD size = sizeof(buffer) - sizeof(wchar_t);
  DWORD type = 0;
  if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return std::wstring();
  return buffer;
}

void WriteValue(HKEY key, const wchar_t* name, const std::wstring& value) {
  ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool LoadTask(const std::wstring& name, Task& task) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, TaskKey(name).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  task.account = ReadValue(key, L"Account");
  task.command = ReadValue(key, L"Command");
  task.arguments = ReadValue(key, L"Arguments");
  task.deleteDenied = ::RegQueryValueExW(key, L"DeleteDenied", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  task.disabled = ReadValue(key, L"Disabled") == L"1";
  ::RegCloseKey(key);
  return true;
}

bool SaveTask(const std::wstring& name, const Task& task) {
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, TaskKey(name).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
    return false;
  WriteValue(key, L"Account", task.account);
  WriteValue(key, L"Command", task.command);
  WriteValue(key, L"Arguments", task.arguments);
  if (task.disabled) WriteValue(key, L"Disabled", L"1");
  ::RegCloseKey(key);
  return true;
}

// A task definition file: UTF-16 (with its byte-order mark) or UTF-8.
bool ReadDefinition(const std::wstring& path, std::wstring& text) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::vector<char> bytes;
  char chunk[4096];
  DWORD read = 0;
  while (::ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) bytes.insert(bytes.end(), chunk, chunk + read);
  ::CloseHandle(file);
  text.clear();
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
      text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    return true;
  }
  size_t start = (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF) ? 3 : 0;
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data() + start, static_cast<int>(bytes.size() - start), nullptr, 0);
  if (length > 0) {
    text.resize(static_cast<size_t>(length));
    ::MultiByteToWideChar(CP_UTF8, 0, bytes.data() + start, static_cast<int>(bytes.size() - start), &text[0], length);
  }
  return true;
}

std::wstring Unescape(const std::wstring& text) {
  static const std::pair<const wchar_t*, wchar_t> kEntities[] = {
      {L"&amp;", L'&'}, {L"&lt;", L'<'}, {L"&gt;", L'>'}, {L"&quot;", L'"'}, {L"&apos;", L'\''}};
  std::wstring out;
  for (size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const auto& entity : kEntities) {
      const std::wstring name = entity.first;
      if (text.compare(i, name.size(), name) == 0) {
        out.push_back(entity.second);
        i += name.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out.push_back(text[i++]);
  }
  return out;
}

// The text of the first <tag>...</tag> after position 'from'; false when missing.
bool ElementText(const std::wstring& xml, const std::wstring& tag, size_t from, std::wstring& text) {
  const std::wstring open = L"<" + tag + L">", close = L"</" + tag + L">";
  const size_t begin = xml.find(open, from);
  if (begin == std::wstring::npos) return false;
  const size_t end = xml.find(close, begin + open.size());
  if (end == std::wstring::npos) return false;
  text = Trim(Unescape(xml.substr(begin + open.size(), end - begin - open.size())));
  return true;
}

// An action as /tr gives it, every single quote read as a double quote: the program (in
// quotes, or up to the first blank) and the rest as its arguments.
void SplitAction(std::wstring action, Task& task) {
  for (wchar_t& c : action) c = c == L'\'' ? L'"' : c;
  const std::wstring text = Trim(action);
  size_t end = 0;
  if (!text.empty() && text[0] == L'"') {
    const size_t close = text.find(L'"', 1);
    task.command = text.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
    end = close == std::wstring::npos ? text.size() : close + 1;
  } else {
    end = text.find_first_of(L" \t");
    if (end == std::wstring::npos) end = text.size();
    task.command = text.substr(0, end);
  }
  task.arguments = Trim(text.substr(end));
}

struct Options {
  std::wstring verb, name, xml, account, action;
  bool force = false;
  bool disable = false;
  bool valid = true;
};

Options ParseOptions(int count, wchar_t** arguments) {
  Options options;
  for (int i = 1; i < count; ++i) {
    const std::wstring option = Lower(arguments[i]);
    const bool hasValue = i + 1 < count;
    if (option == L"/create" || option == L"/change" || option == L"/run" || option == L"/delete" ||
        option == L"/query") {
      options.verb = option.substr(1);
    } else if (option == L"/f") {
      options.force = true;
    } else if (option == L"/disable") {
      options.disable = true;
    } else if (option == L"/tn" && hasValue) {
      options.name = arguments[++i];
    } else if (option == L"/xml" && hasValue) {
      options.xml = arguments[++i];
    } else if (option == L"/ru" && hasValue) {
      options.account = arguments[++i];
    } else if (option == L"/tr" && hasValue) {
      options.action = arguments[++i];
    } else {
      options.valid = false;
    }
  }
  if (options.verb.empty() || options.name.empty()) options.valid = false;
  return options;
}

int Fail(const wchar_t* message) {
  std::fwprintf(stderr, L"ERROR: %ls\n", message);
  return 1;
}

// Windows' schtasks asks on standard output and reads the answer from standard input; at the
// end of the input it ends with exit code 1 and prints nothing more (as reported of callers
// that give it no input). Here N ends the same way, and any other answer asks again.
bool MayReplace(const std::wstring& name) {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  for (;;) {
    std::wprintf(L"WARNING: The task name \"%ls\" already exists. Do you want to replace it (Y/N)? ", name.c_str());
    std::fflush(stdout);
    std::string answer;
    char c = 0;
    DWORD read = 0;
    while (::ReadFile(input, &c, 1, &read, nullptr) && read == 1 && c != '\n') answer.push_back(c);
    if (answer.empty() && read == 0) return false;
    const char first = answer.empty() ? 0 : static_cast<char>(std::toupper(static_cast<unsigned char>(answer[0])));
    if (first == 'Y' || first == 'N') return first == 'Y';
  }
}

int Create(const Options& options) {
  Task task;
  if (LoadTask(options.name, task) && !options.force && !MayReplace(options.name)) return 1;
  if (options.xml.empty()) return Fail(L"Invalid syntax. Mandatory option '/xml' is missing.");
  std::wstring xml;
  if (!ReadDefinition(options.xml, xml)) return Fail(L"The system cannot find the file specified.");
  const size_t exec = xml.find(L"<Exec>");
  if (exec == std::wstring::npos || !ElementText(xml, L"Command", exec, task.command))
    return Fail(L"The task XML is malformed.");
  if (!ElementText(xml, L"Arguments", exec, task.arguments)) task.arguments.clear();
  task.account = options.account;
  if (!SaveTask(options.name, task)) return Fail(L"Access is denied.");
  std::wprintf(L"SUCCESS: The scheduled task \"%ls\" has successfully been created.\n", options.name.c_str());
  return 0;
}

int Change(const Options& options) {
  if (options.action.size() > 261)
    return Fail(L"Invalid syntax. Value for '/tr' option cannot be more than 261 character(s).");
  Task task;
  if (!LoadTask(options.name, task)) return Fail(L"The system cannot find the file specified.");
  task.disabled = task.disabled || options.disable;
  if (!options.account.empty()) task.account = options.account;
  if (!options.action.empty()) SplitAction(options.action, task);
  if (!SaveTask(options.name, task)) return Fail(L"Access is denied.");
  std::wprintf(L"SUCCESS: The parameters of scheduled task \"%ls\" have been changed.\n", options.name.c_str());
  return 0;
}

int Run(const Options& options) {
  Task task;
  if (!LoadTask(options.name, task)) return Fail(L"The system cannot find the file specified.");
  // The Task Scheduler starts an action without a working folder in system32, detached
  // from whoever asked for the run.
  wchar_t system[MAX_PATH] = {};
  ::GetSystemDirectoryW(system, MAX_PATH);
  std::wstring line = L"\"" + task.command + L"\"";
  if (!task.arguments.empty()) line += L" " + task.arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE, nullptr, system,
                        &startup, &process))
    return Fail(L"The task's action could not be started.");
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  std::wprintf(L"SUCCESS: Attempted to run the scheduled task \"%ls\".\n", options.name.c_str());
  return 0;
}

int Delete(const Options& options) {
  Task task;
  if (!LoadTask(options.name, task)) return Fail(L"The system cannot find the file specified.");
  if (task.deleteDenied || ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, TaskKey(options.name).c_str()) != ERROR_SUCCESS)
    return Fail(L"Access is denied.");
  std::wprintf(L"SUCCESS: The scheduled task \"%ls\" was successfully deleted.\n", options.name.c_str());
  return 0;
}

int Query(const Options& options) {
  Task task;
  if (!LoadTask(options.name, task)) return Fail(L"The system cannot find the file specified.");
  std::wprintf(L"TaskName: %ls\nAccount: %ls\nCommand: %ls\nArguments: %ls\nStatus: %ls\n", options.name.c_str(),
               task.account.c_str(), task.command.c_str(), task.arguments.c_str(),
               task.disabled ? L"Disabled" : L"Ready");
  return 0;
}

// What the verb asks of the store, and the exit code of that.
int Carry(const Options& options) {
  if (options.verb == L"create") return Create(options);
  if (options.verb == L"change") return Change(options);
  if (options.verb == L"run") return Run(options);
  if (options.verb == L"delete") return options.force ? Delete(options) : Fail(L"Deleting needs /f here.");
  return Query(options);
}

}  // namespace

int wmain() {
  standins::TraceStart(L"schtasks.exe");
  Record(RawArguments());
  int count = 0;
  wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (arguments == nullptr) return Fail(L"Invalid syntax.");
  const Options options = ParseOptions(count, arguments);
  ::LocalFree(arguments);
  if (!options.valid) return Fail(L"Invalid argument/option.");
  if (Lower(standins::Setting(L"SchtasksRefuse")).find(options.verb) != std::wstring::npos)
    return Fail(L"Access is denied.");
  const int result = Carry(options);
  if (Lower(standins::Setting(L"SchtasksHang")).find(options.verb) != std::wstring::npos) ::Sleep(INFINITE);
  return result;
}
