// Links for tests of the folder removal: directory junctions made with
// FSCTL_SET_REPARSE_POINT, as `mklink /J` does, and under Wine Unix symbolic links.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "support/platform.h"
#include "support/winsupport.h"

namespace testsupport {

// Why a test of junctions runs on Windows alone.
constexpr const char* kNoJunctionsUnderWine = "Wine makes no junctions (FSCTL_SET_REPARSE_POINT ends with error 50)";

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

namespace detail {

// Wine only: the Unix path of a Windows path (empty where there is no Wine to ask).
inline std::string WineUnixPath(const std::wstring& path) {
  using ToUnix = char*(__cdecl*)(const wchar_t*);
  const auto toUnix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (toUnix == nullptr) return std::string();
  char* name = toUnix(path.c_str());
  std::string text = name != nullptr ? name : "";
  if (name != nullptr) ::HeapFree(::GetProcessHeap(), 0, name);
  return text;
}

// Wine only: starts a Unix program (Wine runs those too) and waits until `done` holds;
// Wine gives no exit code of a Unix program, so its effect must tell.
template <typename Done>
bool RunUnixProgram(const std::wstring& program, const std::string& arguments, Done done) {
  std::wstring command;
  for (char c : program + L" " + std::wstring(arguments.begin(), arguments.end())) command.push_back(c);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return false;
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  for (int waited = 0; waited < 10000; waited += 50) {
    if (done()) return true;
    ::Sleep(50);
  }
  return false;
}

}  // namespace detail

// Wine only: a Unix symbolic link `link` -> `target` (a folder or a file), made by the host's
// ln. Wine lists such a link to a folder as a folder link (attributes with
// FILE_ATTRIBUTE_REPARSE_POINT), a link to a file as a plain file, and opens what either
// points to, FILE_FLAG_OPEN_REPARSE_POINT or not; Wine 8 makes no Windows links at all
// (CreateSymbolicLinkW does nothing, junctions fail with error 50). False where there is no
// Wine to ask. Wine cannot remove such a link either: RemoveWineUnixLink does.
inline bool MakeWineUnixLink(const std::wstring& link, const std::wstring& target) {
  const std::string unixLink = detail::WineUnixPath(link), unixTarget = detail::WineUnixPath(target);
  if (unixLink.empty() || unixTarget.empty()) return false;
  const bool toFolder = (::GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return detail::RunUnixProgram(L"Z:\\bin\\ln", "-s \"" + unixTarget + "\" \"" + unixLink + "\"", [&] {
    const DWORD attributes = ::GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (!toFolder || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
  });
}

inline bool RemoveWineUnixLink(const std::wstring& link) {
  if (::GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
  const std::string unixLink = detail::WineUnixPath(link);
  return !unixLink.empty() && detail::RunUnixProgram(L"Z:\\bin\\rm", "-f \"" + unixLink + "\"", [&] {
    return ::GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES;
  });
}

// Wine only: renames `from` to `to` (replacing it) from outside Wine, as a program behind
// Windows' back would (a server of a share, another system on a disk): no share mode stops it.
// True once `to` holds `expected`.
inline bool UnixRename(const std::wstring& from, const std::wstring& to, const std::vector<uint8_t>& expected) {
  const std::string unixFrom = detail::WineUnixPath(from), unixTo = detail::WineUnixPath(to);
  return !unixFrom.empty() && !unixTo.empty() &&
         detail::RunUnixProgram(L"Z:\\bin\\mv", "-f \"" + unixFrom + "\" \"" + unixTo + "\"", [&] {
           return ::GetFileAttributesW(from.c_str()) == INVALID_FILE_ATTRIBUTES && ReadBytes(to) == expected;
         });
}

// Wine only: Unix links a test makes, removed by hand when it starts and when it ends (Wine
// cannot remove them, so neither can a sandbox's wipe). `sandbox` names the sandbox the links
// lie in, as Sandbox will make it; `links` are paths below its root.
class WineUnixLinks {
 public:
  WineUnixLinks(const std::wstring& sandbox, std::vector<std::wstring> links) : links_(std::move(links)) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    for (std::wstring& link : links_) link = std::wstring(temp) + L"lumo-tests\\" + sandbox + L"\\" + link;
    RemoveAll();
  }
  ~WineUnixLinks() { RemoveAll(); }
  WineUnixLinks(const WineUnixLinks&) = delete;
  WineUnixLinks& operator=(const WineUnixLinks&) = delete;

 private:
  void RemoveAll() {
    for (const std::wstring& link : links_) RemoveWineUnixLink(link);
  }
  std::vector<std::wstring> links_;
};

// A link a program of the user could make: on Windows a junction to a folder, or a symbolic
// link to a file (an elevated test holds the right to make one); under Wine a Unix link.
inline bool MakeLink(const std::wstring& link, const std::wstring& target) {
  if (UnderWine()) return MakeWineUnixLink(link, target);
  if (::GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_DIRECTORY) return MakeJunction(link, target);
  return ::CreateSymbolicLinkW(link.c_str(), target.c_str(), 0) != FALSE;
}

inline bool RemoveLink(const std::wstring& link) {
  if (UnderWine()) return RemoveWineUnixLink(link);
  return ::RemoveDirectoryW(link.c_str()) || ::DeleteFileW(link.c_str()) ||
         ::GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES;
}

inline bool IsReparsePoint(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace testsupport
