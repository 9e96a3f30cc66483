// Directory junctions for tests of the folder removal: made with FSCTL_SET_REPARSE_POINT,
// as `mklink /J` does.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <string>
#include <vector>

namespace testsupport {

// Creates `link` as a new folder and turns it into a junction to `target` (a full path).
// Returns false, with the folder removed again, when the file system refuses the reparse
// point; `error` then holds the Win32 error.
inline bool MakeJunction(const std::wstring& link, const std::wstring& target, DWORD* error = nullptr) {
  if (error != nullptr) *error = 0;
  if (!::CreateDirectoryW(link.c_str(), nullptr)) {
    if (error != nullptr) *error = ::GetLastError();
    return false;
  }
  HANDLE handle = ::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (error != nullptr) *error = ::GetLastError();
    ::RemoveDirectoryW(link.c_str());
    return false;
  }
  std::wstring plainTarget = target;
  while (plainTarget.size() > 3 && plainTarget.back() == L'\\') plainTarget.pop_back();
  const std::wstring substitute = L"\\??\\" + plainTarget;
  const std::wstring print = plainTarget;
  // Mount point reparse data: tag, data length, reserved, then offsets and lengths of the
  // substitute and print names (bytes), then both names, each with its NUL.
  const size_t substituteBytes = substitute.size() * sizeof(wchar_t);
  const size_t printBytes = print.size() * sizeof(wchar_t);
  const size_t pathBytes = substituteBytes + sizeof(wchar_t) + printBytes + sizeof(wchar_t);
  const size_t dataLength = 8 + pathBytes;
  std::vector<BYTE> buffer(8 + dataLength, 0);
  auto put16 = [&](size_t at, size_t v) {
    const WORD w = static_cast<WORD>(v);
    std::memcpy(&buffer[at], &w, 2);
  };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(&buffer[0], &tag, 4);
  put16(4, dataLength);
  put16(8, 0);                                             // substitute name offset
  put16(10, substituteBytes);                              // substitute name length
  put16(12, substituteBytes + sizeof(wchar_t));            // print name offset
  put16(14, printBytes);                                   // print name length
  std::memcpy(&buffer[16], substitute.c_str(), substituteBytes);
  std::memcpy(&buffer[16 + substituteBytes + sizeof(wchar_t)], print.c_str(), printBytes);
  DWORD returned = 0;
  const BOOL ok = ::DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                                    nullptr, 0, &returned, nullptr);
  const DWORD lastError = ::GetLastError();
  ::CloseHandle(handle);
  if (!ok) {
    if (error != nullptr) *error = lastError;
    ::RemoveDirectoryW(link.c_str());
    return false;
  }
  return true;
}

inline bool IsReparsePoint(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace testsupport
