// Tells a test how it was started: writes its command line, its current folder and the
// show command it was given, one per line (UTF-16 LE, CR LF), to the file named by the
// environment variable LUMO_ECHO_FILE, then stays alive for LUMO_ECHO_SLEEP milliseconds
// (default 0) so that a test can find it among the running processes.
#include <windows.h>

#include <string>

int wmain() {
  wchar_t path[MAX_PATH] = {};
  if (::GetEnvironmentVariableW(L"LUMO_ECHO_FILE", path, MAX_PATH) != 0) {
    wchar_t folder[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, folder);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    ::GetStartupInfoW(&startup);
    const std::wstring text = std::wstring(::GetCommandLineW()) + L"\r\n" + folder + L"\r\n" +
                              std::to_wstring((startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1) +
                              L"\r\n";
    HANDLE file = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 3;
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
    ::CloseHandle(file);
  }
  wchar_t sleep[32] = {};
  if (::GetEnvironmentVariableW(L"LUMO_ECHO_SLEEP", sleep, 32) != 0) ::Sleep(static_cast<DWORD>(_wtoi(sleep)));
  return 7;
}
