// Launcher.exe of the agent stand-in, the action of the launcher's scheduled task:
//   Launcher.exe PROGRAM SESSION [CODE]
// It starts PROGRAM from its own folder in session SESSION with "-t CODE" (or with no
// arguments when there is no code) and keeps running until that program has ended, long
// after its task has been deleted. Run as SYSTEM in another session (real Windows), the
// program runs as SYSTEM in the given session; otherwise it is simply started.
#include <windows.h>

#include <string>

#include "agent/common.h"

namespace {

using namespace agentstandin;

// A primary SYSTEM token placed in the target session, for CreateProcessAsUserW.
HANDLE SystemTokenForSession(DWORD session) {
  HANDLE own = nullptr, token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &own)) return nullptr;
  if (!::DuplicateTokenEx(own, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &token)) token = nullptr;
  ::CloseHandle(own);
  if (token != nullptr && !::SetTokenInformation(token, TokenSessionId, &session, sizeof(session))) {
    ::CloseHandle(token);
    token = nullptr;
  }
  return token;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  LARGE_INTEGER started{};
  ::QueryPerformanceCounter(&started);
  const std::vector<std::wstring> args = Arguments();
  const StarterArguments request = ParseStarterArguments(args);
  const Settings settings = ReadSettings();

  Fields fields;
  fields.emplace_back("program", "Launcher");
  fields.emplace_back("pid", std::to_string(::GetCurrentProcessId()));
  fields.emplace_back("command_line", Utf8(::GetCommandLineW()));
  fields.emplace_back("argc", std::to_string(args.size()));
  for (size_t i = 0; i < args.size(); ++i) fields.emplace_back("arg" + std::to_string(i + 1), Utf8(args[i]));
  fields.emplace_back("session", std::to_string(static_cast<int>(OwnSession())));
  fields.emplace_back("user", Utf8(UserName()));
  fields.emplace_back("is_system", RunsAsSystem() ? "1" : "0");
  AddStartTime(fields, started);
  const std::wstring recordName = L"Launcher-" + std::to_wstring(::GetCurrentProcessId()) + L".record";
  if (!request.ok()) {
    fields.emplace_back("error", Utf8(request.error));
    WriteRecord(settings.recordFolder, recordName, fields);
    return 2;
  }

  const std::wstring program = ModuleFolder() + L"\\" + request.program;
  std::wstring line = ManagerCommandLine(program, request.code);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.lpDesktop = const_cast<wchar_t*>(L"winsta0\\default");
  PROCESS_INFORMATION info{};
  BOOL created = FALSE;
  const DWORD session = static_cast<DWORD>(request.session);
  if (RunsAsSystem() && request.session >= 0 && session != OwnSession()) {
    HANDLE token = SystemTokenForSession(session);
    if (token != nullptr) {
      created = ::CreateProcessAsUserW(token, program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                                       ModuleFolder().c_str(), &startup, &info);
      ::CloseHandle(token);
    }
  } else {
    created = ::CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                               ModuleFolder().c_str(), &startup, &info);
  }
  fields.emplace_back("started", created ? "1" : "0");
  fields.emplace_back("started_command_line", Utf8(line));
  if (!created) fields.emplace_back("error", "start failed: " + std::to_string(::GetLastError()));
  WriteRecord(settings.recordFolder, recordName, fields);
  if (!created) return 3;

  ::CloseHandle(info.hThread);
  ::WaitForSingleObject(info.hProcess, INFINITE);
  DWORD exitCode = 0;
  ::GetExitCodeProcess(info.hProcess, &exitCode);
  ::CloseHandle(info.hProcess);
  return static_cast<int>(exitCode);
}
