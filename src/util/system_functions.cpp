#include "util/system_functions.h"

namespace lumo {

namespace {

// Constant-initialised, so it is usable from any static constructor. Two threads that fill
// it at the same time write the same addresses.
NtApi g_nt;
volatile LONG g_ntLooked = 0;

}  // namespace

const NtApi& Nt() {
  if (::InterlockedCompareExchange(&g_ntLooked, 0, 0) == 0) {
    const wchar_t* const ntdll = L"ntdll.dll";
    NtApi nt;
    nt.createFile = LoadedFunction<decltype(nt.createFile)>(ntdll, "NtCreateFile");
    nt.queryInformationFile = LoadedFunction<decltype(nt.queryInformationFile)>(ntdll, "NtQueryInformationFile");
    nt.setInformationFile = LoadedFunction<decltype(nt.setInformationFile)>(ntdll, "NtSetInformationFile");
    nt.queryDirectoryFile = LoadedFunction<decltype(nt.queryDirectoryFile)>(ntdll, "NtQueryDirectoryFile");
    nt.statusToError = LoadedFunction<decltype(nt.statusToError)>(ntdll, "RtlNtStatusToDosError");
    nt.equalString = LoadedFunction<decltype(nt.equalString)>(ntdll, "RtlEqualUnicodeString");
    nt.openKey = LoadedFunction<decltype(nt.openKey)>(ntdll, "NtOpenKey");
    nt.createKey = LoadedFunction<decltype(nt.createKey)>(ntdll, "NtCreateKey");
    nt.deleteKey = LoadedFunction<decltype(nt.deleteKey)>(ntdll, "NtDeleteKey");
    nt.queryKey = LoadedFunction<decltype(nt.queryKey)>(ntdll, "NtQueryKey");
    nt.complete = nt.createFile && nt.queryInformationFile && nt.setInformationFile && nt.queryDirectoryFile &&
                  nt.statusToError && nt.equalString && nt.openKey && nt.createKey && nt.deleteKey && nt.queryKey;
    g_nt = nt;
    ::InterlockedExchange(&g_ntLooked, 1);
  }
  return g_nt;
}

DWORD SetErrorFromStatus(NTSTATUS status) {
  const NtApi& nt = Nt();
  const DWORD error = nt.statusToError != nullptr ? nt.statusToError(status) : ERROR_PROC_NOT_FOUND;
  ::SetLastError(error);
  return error;
}

}  // namespace lumo
