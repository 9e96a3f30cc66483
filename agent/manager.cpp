// OXManagerLUMO.exe of the agent stand-in: what the launcher starts and waits for. It shows
// the product window (class "OndrixRemoteAttendedSupport", titled with the session code),
// starts OXServerLUMO.exe from its own folder and ends it again, and writes a record of
// what it received for the tests (see README.md). It ends when its window is closed or when
// the lifetime from agent.ini has passed.
#include <windows.h>

#include <wtsapi32.h>

#include <string>

#include "agent/common.h"

namespace {

using namespace agentstandin;

constexpr wchar_t kWindowClass[] = L"OndrixRemoteAttendedSupport";
constexpr UINT_PTR kLifetimeTimer = 1;

std::wstring g_text;  // what the window shows

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = ::BeginPaint(window, &paint);
      RECT area;
      ::GetClientRect(window, &area);
      ::InflateRect(&area, -12, -12);
      ::DrawTextW(dc, g_text.c_str(), -1, &area, DT_LEFT | DT_TOP | DT_WORDBREAK);
      ::EndPaint(window, &paint);
      return 0;
    }
    case WM_TIMER:
      if (wParam == kLifetimeTimer) ::DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

// The product key values this process can see: its own HKCU, or, running as SYSTEM, the
// hive of the session's user.
void AddProductValues(Fields& fields, DWORD session) {
  const std::wstring path = L"Software\\Ondrix Inc.\\Ondrix Remote Server LUMO_" + std::to_wstring(session);
  fields.emplace_back("key", Utf8(L"HKCU\\" + path));
  HKEY root = HKEY_CURRENT_USER;
  HANDLE userToken = nullptr;
  bool impersonating = false;
  if (RunsAsSystem() && ::WTSQueryUserToken(session, &userToken) && ::ImpersonateLoggedOnUser(userToken)) {
    impersonating = true;
    if (::RegOpenCurrentUser(KEY_READ, &root) != ERROR_SUCCESS) root = HKEY_CURRENT_USER;
  }
  fields.emplace_back("key_hive", impersonating ? "session_user" : "current_user");
  HKEY key = nullptr;
  const bool open = ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
  fields.emplace_back("key_exists", open ? "1" : "0");
  if (open) {
    for (const wchar_t* name : {L"ImagePath", L"DesktopPath", L"NoteSession", L"IdleSessionTimeout", L"IsSystemUser"}) {
      BYTE data[4096] = {};
      DWORD type = 0, size = sizeof(data) - sizeof(wchar_t);
      if (::RegQueryValueExW(key, name, nullptr, &type, data, &size) != ERROR_SUCCESS) continue;
      std::string value;
      if (type == REG_DWORD && size == sizeof(DWORD)) value = std::to_string(*reinterpret_cast<DWORD*>(data));
      else if (type == REG_SZ || type == REG_EXPAND_SZ) value = Utf8(reinterpret_cast<wchar_t*>(data));
      else value = "<type " + std::to_string(type) + ">";
      fields.emplace_back("reg." + Utf8(name), value);
    }
    ::RegCloseKey(key);
  }
  if (root != HKEY_CURRENT_USER) ::RegCloseKey(root);
  if (impersonating) ::RevertToSelf();
  if (userToken != nullptr) ::CloseHandle(userToken);
}

// Starts the server from the manager's own folder, inside a job that ends it with the
// manager even when the manager is terminated (as a leftover manager is by the launcher).
HANDLE StartServer(HANDLE job, DWORD& serverId) {
  serverId = 0;
  const std::wstring server = ModuleFolder() + L"\\OXServerLUMO.exe";
  std::wstring line = L"\"" + server + L"\" --manager " + std::to_wstring(::GetCurrentProcessId());
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(server.c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        ModuleFolder().c_str(), &startup, &info))
    return nullptr;
  if (job != nullptr) ::AssignProcessToJobObject(job, info.hProcess);
  ::ResumeThread(info.hThread);
  ::CloseHandle(info.hThread);
  serverId = info.dwProcessId;
  return info.hProcess;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  LARGE_INTEGER started{};
  ::QueryPerformanceCounter(&started);

  const std::vector<std::wstring> args = Arguments();
  const ManagerArguments received = ParseManagerArguments(args);
  const Settings settings = ReadSettings();
  const DWORD session = OwnSession();

  HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
  if (job != nullptr) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
  }
  DWORD serverId = 0;
  HANDLE server = StartServer(job, serverId);

  if (settings.windowDelayMs > 0) ::Sleep(settings.windowDelayMs);

  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = kWindowClass;
  ::RegisterClassExW(&windowClass);
  const std::wstring title = received.hasCode ? received.code : L"Ondrix LUMO (no session code)";
  g_text = L"Ondrix LUMO agent stand-in\n\nSession code: " + (received.hasCode ? received.code : L"(none)") +
           L"\nWindows session: " + std::to_wstring(static_cast<int>(session)) + L"\nUser: " + UserName() +
           (RunsAsSystem() ? L" (SYSTEM)" : L"");
  HWND window = ::CreateWindowExW(0, kWindowClass, title.c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 420, 220, nullptr, nullptr, instance, nullptr);

  wchar_t folder[MAX_PATH * 2] = {};
  ::GetCurrentDirectoryW(MAX_PATH * 2, folder);
  Fields fields;
  fields.emplace_back("program", "OXManagerLUMO");
  fields.emplace_back("pid", std::to_string(::GetCurrentProcessId()));
  fields.emplace_back("command_line", Utf8(::GetCommandLineW()));
  fields.emplace_back("argc", std::to_string(args.size()));
  for (size_t i = 0; i < args.size(); ++i) fields.emplace_back("arg" + std::to_string(i + 1), Utf8(args[i]));
  fields.emplace_back("has_code", received.hasCode ? "1" : "0");
  fields.emplace_back("code", Utf8(received.code));
  fields.emplace_back("current_folder", Utf8(folder));
  fields.emplace_back("module_path", Utf8(ModulePath()));
  fields.emplace_back("session", std::to_string(static_cast<int>(session)));
  fields.emplace_back("user", Utf8(UserName()));
  fields.emplace_back("is_system", RunsAsSystem() ? "1" : "0");
  wchar_t path[8192] = {};
  const DWORD pathLength = ::GetEnvironmentVariableW(L"PATH", path, 8192);
  fields.emplace_back("path", pathLength < 8192 ? Utf8(path) : std::string());
  AddProductValues(fields, session);
  fields.emplace_back("server_pid", std::to_string(serverId));
  fields.emplace_back("window", window != nullptr ? "1" : "0");
  fields.emplace_back("lifetime_ms", std::to_string(settings.lifetimeMs));
  AddStartTime(fields, started);
  WriteRecord(settings.recordFolder, L"OXManagerLUMO-" + std::to_wstring(::GetCurrentProcessId()) + L".record", fields);

  if (window != nullptr) {
    if (settings.lifetimeMs > 0) ::SetTimer(window, kLifetimeTimer, settings.lifetimeMs, nullptr);
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }

  // The server ends with the manager.
  if (server != nullptr) {
    ::TerminateProcess(server, 0);
    ::WaitForSingleObject(server, 5000);
    ::CloseHandle(server);
  }
  if (job != nullptr) ::CloseHandle(job);
  return settings.exitCode;
}
