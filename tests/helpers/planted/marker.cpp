// A library planted beside a program. Whatever loads it, it leaves "<its own path>.loaded"
// beside itself, from its entry point, before any of its functions could be called. It is
// built under the names of system libraries and exports, as stubs, the functions the
// launcher calls of each, so that a program importing them would load it successfully.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH + 16] = {};
  const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  ::lstrcatW(path, L".loaded");
  HANDLE marker = ::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (marker != INVALID_HANDLE_VALUE) ::CloseHandle(marker);
  return TRUE;
}

// Every export of the library is a stub that fails whatever it is asked. On x86_64 one stub
// stands for any signature. On i686 the system's functions are stdcall: the called function
// takes its arguments off the stack, so each export there has the stub of its argument size
// (tests/helpers/planted/CMakeLists.txt picks it from the decorated name).
extern "C" ULONG_PTR MarkerStub() { return 0; }
#ifndef _WIN64
extern "C" ULONG_PTR WINAPI MarkerStub4(ULONG_PTR) { return 0; }
extern "C" ULONG_PTR WINAPI MarkerStub8(ULONG_PTR, ULONG_PTR) { return 0; }
extern "C" ULONG_PTR WINAPI MarkerStub12(ULONG_PTR, ULONG_PTR, ULONG_PTR) { return 0; }
extern "C" ULONG_PTR WINAPI MarkerStub16(ULONG_PTR, ULONG_PTR, ULONG_PTR, ULONG_PTR) { return 0; }
extern "C" ULONG_PTR WINAPI MarkerStub20(ULONG_PTR, ULONG_PTR, ULONG_PTR, ULONG_PTR, ULONG_PTR) { return 0; }
extern "C" ULONG_PTR WINAPI MarkerStub24(ULONG_PTR, ULONG_PTR, ULONG_PTR, ULONG_PTR, ULONG_PTR, ULONG_PTR) { return 0; }
#endif
