// Holds its own file as the launcher does at its start and tells a test what came of it:
//   own_file_probe.exe REPORT [GO]
// Line 1 of REPORT (UTF-16 LE, CR LF): "held", "open failed ERROR" or "another file 0xSTATUS".
// With GO, it then waits (up to 30 s) until a file GO exists, reads its whole file through
// the held handle and adds line 2: the number of bytes read and their FNV-1a hash in hex.
#include <windows.h>

#include <cwchar>
#include <string>

#include "util/launcher_file.h"

namespace {

void Append(const wchar_t* path, const std::wstring& line) {
  HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  const std::wstring text = line + L"\r\n";
  DWORD written = 0;
  ::WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
  ::CloseHandle(file);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const CLauncherFile own;
  wchar_t line[64] = {};
  switch (own.GetVerdict()) {
    case CLauncherFile::Verdict::kHeld:
      std::swprintf(line, 64, L"held");
      break;
    case CLauncherFile::Verdict::kOpenFailed:
      std::swprintf(line, 64, L"open failed %lu", static_cast<unsigned long>(own.Error()));
      break;
    case CLauncherFile::Verdict::kAnotherFile:
      std::swprintf(line, 64, L"another file 0x%08lX", static_cast<unsigned long>(own.Status()));
      break;
  }
  Append(argv[1], line);
  if (argc < 3) return 0;

  for (int waited = 0; ::GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES && waited < 30000; waited += 20)
    ::Sleep(20);
  unsigned long long hash = 14695981039346656037ull, total = 0;
  char buffer[4096];
  DWORD got = 0;
  while (own.ReadAt(total, buffer, sizeof buffer, got) && got != 0) {
    for (DWORD i = 0; i < got; ++i) hash = (hash ^ static_cast<unsigned char>(buffer[i])) * 1099511628211ull;
    total += got;
  }
  std::swprintf(line, 64, L"%llu %016llx", total, hash);
  Append(argv[1], line);
  return 0;
}
