#include "util/launcher_file.h"

#include "util/core/checked_path.h"
#include "util/loaded_function.h"
#include "util/system_functions.h"

const CLauncherFile* CLauncherFile::s_pOwn = nullptr;

namespace {

// A scanner or an indexer may hold the download briefly with sharing we do not grant; NSIS
// waits as long for its own file.
constexpr DWORD kSharingRetryMs = 1500;
constexpr DWORD kSharingRetrySliceMs = 50;

// A failed Win32 step of the check, in the NTSTATUS form (facility 7 carries Win32 codes).
LONG StatusFromError(DWORD error) { return static_cast<LONG>(0xC0070000u | (error & 0xFFFFu)); }

}  // namespace

bool CLauncherFile::Open(const wchar_t* path) {
  // Read sharing only: while this handle is open, nothing can write to the file, rename it or
  // delete it (all three need a sharing we withhold). The running image is no obstacle: an
  // image section takes no part in share checks.
  for (DWORD waited = 0;; waited += kSharingRetrySliceMs) {
    m_hFile.reset(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    m_dwError = m_hFile ? 0 : ::GetLastError();
    if (m_dwError != ERROR_SHARING_VIOLATION || waited >= kSharingRetryMs) break;
    ::Sleep(kSharingRetrySliceMs);  // static construction: no window to keep answering yet
  }
  m_verdict = m_hFile ? Verdict::kHeld : Verdict::kOpenFailed;
  return m_hFile.valid();
}

CLauncherFile::CLauncherFile(const std::wstring& path) { Open(path.c_str()); }

CLauncherFile::CLauncherFile() {
  wchar_t path[MAX_PATH];
  if (::GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) path[0] = L'\0';
  if (!Open(path)) return;
  // The path may name another file by now (renamed and replaced before this open, or a stream
  // renamed away): the system compares the file behind a view of the handle with the one
  // behind the running image, which is what the user started.
  m_verdict = Verdict::kAnotherFile;
  using SameFn = LONG(NTAPI*)(PVOID, PVOID);
  const auto same = lumo::LoadedFunction<SameFn>(L"ntdll.dll", "NtAreMappedFilesTheSame");
  if (same == nullptr) {
    m_status = lumo::kProcedureNotFound;
    return;
  }
  lumo::UniqueHandle mapping(::CreateFileMappingW(m_hFile.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  lumo::UniqueView view(mapping ? ::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 1) : nullptr);
  if (!view) {
    m_status = StatusFromError(::GetLastError());
    return;
  }
  m_status = same(::GetModuleHandleW(nullptr), view.get());
  if (m_status == 0) m_verdict = Verdict::kHeld;
}

bool CLauncherFile::ReadAt(uint64_t offset, void* buffer, DWORD size, DWORD& got) const {
  got = 0;
  // An offset on a synchronous handle: the read starts there and is complete on return.
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  if (::ReadFile(m_hFile.get(), buffer, size, &got, &at)) return true;
  got = 0;
  return ::GetLastError() == ERROR_HANDLE_EOF;
}

bool CLauncherFile::Seek(uint64_t offset) const {
  LARGE_INTEGER to{};
  to.QuadPart = static_cast<LONGLONG>(offset);
  return ::SetFilePointerEx(m_hFile.get(), to, nullptr, FILE_BEGIN) != FALSE;
}

bool CLauncherFile::Read(void* buffer, DWORD size, DWORD& got) const {
  got = 0;
  return ::ReadFile(m_hFile.get(), buffer, size, &got, nullptr) != FALSE;
}

uint64_t CLauncherFile::Length() const {
  LARGE_INTEGER length{};
  if (!::GetFileSizeEx(m_hFile.get(), &length) || length.QuadPart < 0) return 0;
  return static_cast<uint64_t>(length.QuadPart);
}

std::wstring CLauncherFile::FinalPath() const {
  using FinalPathFn = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
  const auto finalPath = lumo::LoadedFunction<FinalPathFn>(L"kernel32.dll", "GetFinalPathNameByHandleW");
  // Room for what a Win32 path of MAX_PATH becomes with "\\?\UNC\" in front; the shell
  // starts nothing longer.
  wchar_t path[MAX_PATH + 8];
  const DWORD length = finalPath != nullptr ? finalPath(m_hFile.get(), path, MAX_PATH + 8, VOLUME_NAME_DOS) : 0;
  const wchar_t* win32 = length != 0 && length < MAX_PATH + 8 ? lumo::Win32PathFromFinal(path) : nullptr;
  return win32 != nullptr ? win32 : L"";
}
