// Stays alive for the given milliseconds, then ends with the given exit code:
//   exit_after.exe MILLISECONDS [EXITCODE]
#include <windows.h>

#include <stdlib.h>

int wmain(int argc, wchar_t** argv) {
  ::Sleep(argc > 1 ? static_cast<DWORD>(_wtoi(argv[1])) : 0);
  return argc > 2 ? _wtoi(argv[2]) : 0;
}
