// The native file and key API of ntdll, which no import table of the launcher names: found at
// run time (lumo::LoadedFunction), once, in one table.
#pragma once

#include <windows.h>
#include <winternl.h>

#include "util/loaded_function.h"

namespace lumo {

// The native file and key API (every member is in ntdll since Windows 2000). Information
// classes are passed as numbers: several the launcher uses are newer than the SDK's
// enumeration.
struct NtApi {
  NTSTATUS(NTAPI* createFile)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG,
                              ULONG, ULONG, PVOID, ULONG) = nullptr;
  NTSTATUS(NTAPI* queryInformationFile)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG) = nullptr;
  NTSTATUS(NTAPI* setInformationFile)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG) = nullptr;
  NTSTATUS(NTAPI* queryDirectoryFile)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG, BOOLEAN,
                                      PUNICODE_STRING, BOOLEAN) = nullptr;
  ULONG(NTAPI* statusToError)(NTSTATUS) = nullptr;
  BOOLEAN(NTAPI* equalString)(PCUNICODE_STRING, PCUNICODE_STRING, BOOLEAN) = nullptr;
  NTSTATUS(NTAPI* openKey)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES) = nullptr;
  NTSTATUS(NTAPI* createKey)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG, PUNICODE_STRING, ULONG, PULONG) = nullptr;
  NTSTATUS(NTAPI* deleteKey)(HANDLE) = nullptr;
  NTSTATUS(NTAPI* queryKey)(HANDLE, ULONG, PVOID, ULONG, PULONG) = nullptr;
  bool complete = false;  // all of the above were found
};

// What a call answers when the table is incomplete, and the listing class both the folder
// walk and the checked road ask for (names and attributes, answered by every file system).
constexpr NTSTATUS kProcedureNotFound = static_cast<NTSTATUS>(0xC000007A);
constexpr ULONG kFileDirectoryInformation = 1;

// The table, looked up on first use.
const NtApi& Nt();

// The Win32 error for a failed native call (ERROR_PROC_NOT_FOUND without the table), also
// set as the thread's last error.
DWORD SetErrorFromStatus(NTSTATUS status);

}  // namespace lumo
