// Starts a program and reports, on standard output, the high-resolution clock right before
// the start and right after its end, so a benchmark can set the program's own times (the
// agent's recorded start, log lines stamped by Wine) against the moment of the start
// without Wine's own start-up in the figure:
//   timed_start.exe PROGRAM [ARGUMENTS...]
// Output: one "key=value" line each for qpc_frequency, start_qpc, start_filetime, end_qpc,
// exit_code and pid. Exit code: 0 when the program ran to its end, 1 otherwise.
#include <windows.h>

#include <stdio.h>

#include <string>

namespace {

// The command line after this program's own name, exactly as given.
std::wstring CommandAfterOwnName() {
  const wchar_t* line = ::GetCommandLineW();
  bool quoted = false;
  for (; *line != L'\0'; ++line) {
    if (*line == L'"') quoted = !quoted;
    if (!quoted && (*line == L' ' || *line == L'\t')) break;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

long long Qpc() {
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  return now.QuadPart;
}

}  // namespace

int wmain() {
  std::wstring command = CommandAfterOwnName();
  if (command.empty()) {
    fprintf(stderr, "usage: timed_start.exe PROGRAM [ARGUMENTS...]\n");
    return 1;
  }
  LARGE_INTEGER frequency{};
  ::QueryPerformanceFrequency(&frequency);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};

  FILETIME startTime{};
  ::GetSystemTimePreciseAsFileTime(&startTime);
  const long long start = Qpc();
  const BOOL started =
      ::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
  if (!started) {
    fprintf(stderr, "timed_start: CreateProcess failed %lu\n", ::GetLastError());
    return 1;
  }
  ::CloseHandle(process.hThread);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  const long long end = Qpc();
  DWORD exitCode = 0;
  ::GetExitCodeProcess(process.hProcess, &exitCode);
  ::CloseHandle(process.hProcess);

  const unsigned long long filetime =
      (static_cast<unsigned long long>(startTime.dwHighDateTime) << 32) | startTime.dwLowDateTime;
  printf("qpc_frequency=%lld\nstart_qpc=%lld\nstart_filetime=%llu\nend_qpc=%lld\nexit_code=%lu\npid=%lu\n",
         static_cast<long long>(frequency.QuadPart), start, filetime, end, exitCode, process.dwProcessId);
  fflush(stdout);
  return 0;
}
