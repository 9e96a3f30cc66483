// Functions the launcher finds at run time instead of naming them in its import table: the
// native file API of ntdll, and kernel32 functions newer than Windows XP, so that the 32-bit
// launcher still starts on XP and shows its upgrade message there. Both libraries are in
// every process from its start: GetModuleHandleW finds them, and nothing is loaded by name.
#pragma once

#include <windows.h>
#include <winternl.h>

namespace lumo {

// The address of `name` in a library the process has loaded already (kernel32, ntdll), cast
// to the function type; null when the library or the function is missing.
template <typename Function>
Function LoadedFunction(const wchar_t* library, const char* name) {
  const HMODULE module = ::GetModuleHandleW(library);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// The native file API (every member is in ntdll since Windows 2000). Information classes are
// passed as numbers: several the launcher uses are newer than the SDK's enumeration.
struct NtApi {
  NTSTATUS(NTAPI* createFile)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG,
                              ULONG, ULONG, PVOID, ULONG) = nullptr;
  NTSTATUS(NTAPI* queryInformationFile)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG) = nullptr;
  NTSTATUS(NTAPI* setInformationFile)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG) = nullptr;
  NTSTATUS(NTAPI* queryDirectoryFile)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG, BOOLEAN,
                                      PUNICODE_STRING, BOOLEAN) = nullptr;
  ULONG(NTAPI* statusToError)(NTSTATUS) = nullptr;
  BOOLEAN(NTAPI* equalString)(PCUNICODE_STRING, PCUNICODE_STRING, BOOLEAN) = nullptr;
  bool complete = false;  // all of the above were found
};

// The table, looked up on first use.
const NtApi& Nt();

// The Win32 error for a failed native call (ERROR_PROC_NOT_FOUND without the table), also
// set as the thread's last error.
DWORD SetErrorFromStatus(NTSTATUS status);

}  // namespace lumo
