// A stand-in for the system's expand.exe in the project's Wine prefix, where Wine's own
// fails on every cabinet and takes no wildcard source. It expands Microsoft cabinets with
// the platform's cabinet library (cabinet.dll, FDI):
//   expand SOURCE... [/r] [/f:PATTERN] DESTINATION    (SOURCE may be a pattern: *.cab)
//   expand /d SOURCE... [/f:PATTERN]                   (lists the names)
// It exits 0 only when every source matched and every selected file was written; a missing
// source, a damaged cabinet, a file that cannot be written and a name that would land
// outside the destination (which is skipped) all give a non-zero exit code.
#include <windows.h>

#include <fcntl.h>
#include <fdi.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "standins/common/trace.h"
#include "standins/expand/core/expand_core.h"

namespace {

using namespace expandtool;

// ---- Output: UTF-8 to a file or pipe, wide text to a console ----
void Say(DWORD which, const std::wstring& text) {
  HANDLE out = ::GetStdHandle(which);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  const std::wstring line = text + L"\r\n";
  DWORD written = 0;
  DWORD mode = 0;
  if (::GetConsoleMode(out, &mode)) {
    ::WriteConsoleW(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return;
  }
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &bytes[0], size, nullptr, nullptr);
  ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}
void Info(const std::wstring& text) { Say(STD_OUTPUT_HANDLE, text); }
void Error(const std::wstring& text) { Say(STD_ERROR_HANDLE, L"expand: " + text); }

std::string ToUtf8(const std::wstring& text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size > 0 ? size : 1), '\0');
  if (size > 0) ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], size, nullptr, nullptr);
  bytes.resize(std::strlen(bytes.c_str()));
  return bytes;
}

std::wstring FromCodePage(UINT codePage, const char* text) {
  const int size = ::MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
  if (size <= 0) return L"";
  std::wstring wide(static_cast<size_t>(size), L'\0');
  ::MultiByteToWideChar(codePage, 0, text, -1, &wide[0], size);
  wide.resize(static_cast<size_t>(size - 1));
  return wide;
}

std::wstring FullPath(const std::wstring& path) {
  wchar_t buffer[MAX_PATH * 4] = {};
  const DWORD length = ::GetFullPathNameW(path.c_str(), MAX_PATH * 4, buffer, nullptr);
  return (length != 0 && length < MAX_PATH * 4) ? std::wstring(buffer) : path;
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates a folder and the folders above it that are missing.
bool MakeFolders(const std::wstring& path) {
  if (path.empty() || IsFolder(path)) return true;
  const size_t slash = path.find_last_of(L"\\/");
  if (slash != std::wstring::npos && slash > 0 && path[slash - 1] != L':') {
    if (!MakeFolders(path.substr(0, slash))) return false;
  }
  return ::CreateDirectoryW(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

// ---- The cabinet library's file callbacks: paths come UTF-8 encoded from this program ----
FNALLOC(CabAlloc) { return std::malloc(cb); }
FNFREE(CabFree) { std::free(pv); }

FNOPEN(CabOpen) {
  // The library opens only the cabinets for reading; output files are opened in Notify.
  if ((oflag & (_O_WRONLY | _O_RDWR)) != 0) return -1;
  const std::wstring path = FromCodePage(CP_UTF8, pszFile);
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<INT_PTR>(file);
}

FNREAD(CabRead) {
  DWORD read = 0;
  if (!::ReadFile(reinterpret_cast<HANDLE>(hf), pv, cb, &read, nullptr)) return static_cast<UINT>(-1);
  return read;
}

// The output file being written, so that one left half-written by a failing cabinet can
// be removed instead of passing for a complete file.
struct Output {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::wstring path;
  unsigned long long expected = 0;  // the size the cabinet gives for the file
  unsigned long long written = 0;
};
Output g_output;

FNWRITE(CabWrite) {
  DWORD written = 0;
  if (!::WriteFile(reinterpret_cast<HANDLE>(hf), pv, cb, &written, nullptr) || written != cb)
    return static_cast<UINT>(-1);
  if (reinterpret_cast<HANDLE>(hf) == g_output.handle) g_output.written += written;
  return written;
}


FNCLOSE(CabClose) {
  HANDLE handle = reinterpret_cast<HANDLE>(hf);
  if (handle == g_output.handle) g_output.handle = INVALID_HANDLE_VALUE;
  return ::CloseHandle(handle) ? 0 : -1;
}

FNSEEK(CabSeek) {
  const DWORD method = seektype == SEEK_CUR ? FILE_CURRENT : seektype == SEEK_END ? FILE_END : FILE_BEGIN;
  const DWORD position = ::SetFilePointer(reinterpret_cast<HANDLE>(hf), dist, nullptr, method);
  return position == INVALID_SET_FILE_POINTER ? -1 : static_cast<long>(position);
}

struct Run {
  const Request* request = nullptr;
  std::wstring destination;  // full path, no trailing backslash
  std::wstring cabinet;      // full path of the cabinet being expanded
  int written = 0;
  int result = kSuccess;
  void Fail(int code) {
    if (result == kSuccess || code == kCabinetFailed) result = code;
  }
};

FNFDINOTIFY(Notify) {
  Run& run = *static_cast<Run*>(pfdin->pv);
  switch (fdint) {
    case fdintCOPY_FILE: {
      const std::wstring stored =
          FromCodePage((pfdin->attribs & _A_NAME_IS_UTF) ? CP_UTF8 : CP_ACP, pfdin->psz1);
      if (!Selected(run.request->filter, stored)) return 0;
      const std::wstring relative = SafeRelativeName(stored);
      if (relative.empty()) {
        Error(L"skipped \"" + stored + L"\": the name leads outside the destination");
        run.Fail(kUnsafeName);
        return 0;
      }
      if (run.request->list) {
        Info(relative);
        return 0;
      }
      const std::wstring target = run.destination + L"\\" + relative;
      if (::lstrcmpiW(FullPath(target).c_str(), run.cabinet.c_str()) == 0) {
        Error(L"skipped \"" + stored + L"\": it would overwrite the cabinet being read");
        run.Fail(kCabinetFailed);
        return 0;
      }
      const size_t slash = target.rfind(L'\\');
      if (!MakeFolders(target.substr(0, slash))) {
        Error(L"cannot create the folder of " + target + L" (error " + std::to_wstring(::GetLastError()) + L")");
        run.Fail(kCabinetFailed);
        return 0;
      }
      HANDLE file = ::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) {
        Error(L"cannot write " + target + L" (error " + std::to_wstring(::GetLastError()) + L")");
        run.Fail(kCabinetFailed);
        return 0;
      }
      g_output.handle = file;
      g_output.path = target;
      g_output.expected = pfdin->cb;
      g_output.written = 0;
      return reinterpret_cast<INT_PTR>(file);
    }
    case fdintCLOSE_FILE_INFO: {
      HANDLE file = reinterpret_cast<HANDLE>(pfdin->hf);
      if (g_output.written != g_output.expected) {
        // The library can end a file early when the cabinet is cut short; such a file is
        // not the one the cabinet holds.
        ::CloseHandle(file);
        ::DeleteFileW(g_output.path.c_str());
        Error(L"\"" + g_output.path + L"\" is incomplete (" + std::to_wstring(g_output.written) + L" of " +
              std::to_wstring(g_output.expected) + L" bytes); removed");
        g_output.handle = INVALID_HANDLE_VALUE;
        g_output.path.clear();
        run.Fail(kCabinetFailed);
        return FALSE;
      }
      FILETIME local{}, utc{};
      if (::DosDateTimeToFileTime(pfdin->date, pfdin->time, &local) && ::LocalFileTimeToFileTime(&local, &utc))
        ::SetFileTime(file, nullptr, nullptr, &utc);
      Info(L"Expanding " + run.cabinet + L" to " + g_output.path + L".");
      const std::wstring path = g_output.path;
      g_output.handle = INVALID_HANDLE_VALUE;
      g_output.path.clear();
      ++run.written;
      if (!::CloseHandle(file)) return FALSE;
      // As Windows' expand.exe does: the file carries the attributes the cabinet stores for
      // it, read-only included, and whoever removes it has to deal with that.
      ::SetFileAttributesW(path.c_str(), ExpandedFileAttributes(pfdin->attribs));
      return TRUE;
    }
    case fdintPARTIAL_FILE:
      Error(L"\"" + FromCodePage(CP_ACP, pfdin->psz1) + L"\" begins in an earlier cabinet; skipped");
      run.Fail(kCabinetFailed);
      return 0;
    case fdintNEXT_CABINET:
      // Cabinet sets spanning several files are not carried by the launcher.
      Error(L"the cabinet continues in \"" + FromCodePage(CP_ACP, pfdin->psz1) + L"\", which is not supported");
      return -1;
    default:
      return 0;
  }
}

const wchar_t* FdiErrorText(int code) {
  switch (code) {
    case FDIERROR_CABINET_NOT_FOUND: return L"cabinet not found";
    case FDIERROR_NOT_A_CABINET: return L"not a cabinet";
    case FDIERROR_UNKNOWN_CABINET_VERSION: return L"unknown cabinet version";
    case FDIERROR_CORRUPT_CABINET: return L"damaged cabinet";
    case FDIERROR_ALLOC_FAIL: return L"out of memory";
    case FDIERROR_BAD_COMPR_TYPE: return L"unknown compression";
    case FDIERROR_MDI_FAIL: return L"damaged compressed data";
    case FDIERROR_TARGET_FILE: return L"a file could not be written";
    case FDIERROR_RESERVE_MISMATCH: return L"reserve mismatch";
    case FDIERROR_WRONG_CABINET: return L"wrong cabinet";
    case FDIERROR_USER_ABORT: return L"aborted";
    default: return L"failed";
  }
}

bool ReadAll(const std::wstring& path, std::vector<uint8_t>& bytes) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool ok = ::GetFileSizeEx(file, &size) && size.QuadPart < 0x40000000;  // cabinets stay below 1 GiB
  if (ok) {
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    ok = bytes.empty() || (::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
                           read == bytes.size());
  }
  ::CloseHandle(file);
  return ok;
}

void ExpandOne(const std::wstring& cabinet, Run& run) {
  // Checked whole before anything is written: the library itself would write out the
  // files of a damaged block, or a file cut short, before it noticed anything.
  std::vector<uint8_t> bytes;
  if (!ReadAll(cabinet, bytes)) {
    Error(cabinet + L": cannot be read (error " + std::to_wstring(::GetLastError()) + L")");
    run.Fail(kCabinetFailed);
    return;
  }
  const std::wstring problem = CheckCabinet(bytes.data(), bytes.size());
  bytes.clear();
  if (!problem.empty()) {
    Error(cabinet + L": " + problem);
    run.Fail(kCabinetFailed);
    return;
  }

  ERF erf{};
  HFDI fdi = ::FDICreate(CabAlloc, CabFree, CabOpen, CabRead, CabWrite, CabClose, CabSeek, cpuUNKNOWN, &erf);
  if (fdi == nullptr) {
    Error(L"the cabinet library cannot start");
    run.Fail(kCabinetFailed);
    return;
  }
  run.cabinet = FullPath(cabinet);
  const size_t slash = run.cabinet.rfind(L'\\');
  std::string folder = ToUtf8(run.cabinet.substr(0, slash + 1));
  std::string name = ToUtf8(run.cabinet.substr(slash + 1));
  const int before = run.written;
  const BOOL copied = ::FDICopy(fdi, &name[0], &folder[0], 0, Notify, nullptr, &run);
  if (g_output.handle != INVALID_HANDLE_VALUE) {
    ::CloseHandle(g_output.handle);
    g_output.handle = INVALID_HANDLE_VALUE;
  }
  if (!g_output.path.empty()) {
    // A file cut off by the failure: remove it, it is not what the cabinet holds.
    ::DeleteFileW(g_output.path.c_str());
    g_output.path.clear();
  }
  if (!copied) {
    Error(cabinet + L": " + FdiErrorText(erf.erfOper));
    run.Fail(kCabinetFailed);
  } else if (!run.request->list) {
    Info(std::to_wstring(run.written - before) + L" files expanded from " + run.cabinet + L".");
  }
  ::FDIDestroy(fdi);
}

// The files a source names: itself, or every file its pattern matches, in name order.
std::vector<std::wstring> MatchSource(const std::wstring& source) {
  std::vector<std::wstring> files;
  const size_t slash = source.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? L"" : source.substr(0, slash + 1);
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW(source.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return files;
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    files.push_back(folder + data.cFileName);
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  standins::TraceStart(L"expand.exe");
  std::vector<std::wstring> args(argv + 1, argv + argc);
  const Request request = ParseArguments(args);
  if (request.identify) {
    Info(L"expand stand-in (cabinet.dll)");
    return kIdentify;
  }
  if (!request.ok()) {
    Error(request.error);
    Error(L"usage: expand SOURCE... [/r] [/f:PATTERN] DESTINATION | expand /d SOURCE... [/f:PATTERN]");
    return kUsage;
  }

  Run run;
  run.request = &request;
  if (!request.list) {
    std::wstring destination = FullPath(request.destination);
    while (destination.size() > 3 && (destination.back() == L'\\' || destination.back() == L'/'))
      destination.pop_back();
    if (!MakeFolders(destination) || !IsFolder(destination)) {
      Error(L"the destination " + destination + L" is not a folder");
      return kCabinetFailed;
    }
    if (destination.size() == 3 && destination.back() == L'\\') destination.pop_back();
    run.destination = destination;
  }

  for (const std::wstring& source : request.sources) {
    const std::vector<std::wstring> cabinets = MatchSource(source);
    if (cabinets.empty()) {
      Error(L"no file matches " + source);
      run.Fail(kNoSource);
      continue;
    }
    for (const std::wstring& cabinet : cabinets) ExpandOne(cabinet, run);
  }
  return run.result;
}
