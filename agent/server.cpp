// OXServerLUMO.exe of the agent stand-in: its process existing in a session is what tells a
// launcher that another instance runs. It does nothing but wait: for its manager to end
// (the "--manager PID" the manager gives it), or, started alone, until it is ended.
#include <windows.h>

#include <string>

#include "agent/common.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  const std::vector<std::wstring> args = agentstandin::Arguments();
  HANDLE manager = nullptr;
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == L"--manager") manager = ::OpenProcess(SYNCHRONIZE, FALSE, wcstoul(args[i + 1].c_str(), nullptr, 10));
  if (manager != nullptr) {
    ::WaitForSingleObject(manager, INFINITE);
    ::CloseHandle(manager);
    return 0;
  }
  ::Sleep(INFINITE);
  return 0;
}
