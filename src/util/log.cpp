#include <windows.h>

#include <cstdio>
#include <ctime>

#include "util/core/log_format.h"
#include "util/folder_chain.h"
#include "util/loaded_function.h"
#include "util/utility.h"

DWORD GetOwnSessionId() {
  // Looked up: Windows 2000 and XP have it, but it is documented from Vista on only.
  using ProcessIdToSessionIdFn = BOOL(WINAPI*)(DWORD, DWORD*);
  const auto processIdToSessionId =
      lumo::LoadedFunction<ProcessIdToSessionIdFn>(L"kernel32.dll", "ProcessIdToSessionId");
  DWORD session = 0xFFFFFFFF;
  if (processIdToSessionId == nullptr || !processIdToSessionId(::GetCurrentProcessId(), &session))
    session = 0xFFFFFFFF;
  return session;
}

namespace {

void LogV(const wchar_t* format, va_list args) {
  const std::wstring message = lumo::FormatLogMessageV(format, args);

  std::wstring timeText;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_s(&local, &now) == 0) {
    timeText = lumo::FormatLogTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                   local.tm_hour, local.tm_min, local.tm_sec);
  }
  // Read after the message and the time are formatted: it reports the caller's last call.
  const long lastError = static_cast<long>(::GetLastError());
  const std::wstring line =
      lumo::FormatLogLine(::GetCurrentProcessId(), timeText, message, lastError);
  ::OutputDebugStringW(line.c_str());
  CUtility::AppendLogLine(line);
  // Logging must not disturb what the caller reads next.
  ::SetLastError(static_cast<DWORD>(lastError));
}

}  // namespace

void CUtility::Log(const char* format, ...) {
  wchar_t wide[512];
  std::size_t i = 0;
  for (; format[i] != '\0' && i + 1 < sizeof wide / sizeof wide[0]; ++i) wide[i] = static_cast<unsigned char>(format[i]);
  wide[i] = L'\0';
  va_list args;
  va_start(args, format);
  LogV(wide, args);
  va_end(args);
}

void CUtility::Log(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(format, args);
  va_end(args);
}

std::wstring GetTempFolderPath() {
  wchar_t folder[MAX_PATH + 1] = {};
  return ::GetTempPathW(MAX_PATH, folder) != 0 ? std::wstring(folder) : std::wstring();
}

std::wstring GetSystemTempFolderPath() {
  wchar_t windows[MAX_PATH + 1] = {};
  ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
  return std::wstring(windows) + L"\\Temp\\";
}

std::wstring CUtility::GetLogFilePath() {
  const std::wstring folder = GetTempFolderPath();
  return (folder.empty() ? GetSystemTempFolderPath() : folder) +
         lumo::LogFileName(static_cast<long>(static_cast<int>(GetOwnSessionId())));
}

namespace {

// The log's folder, opened afresh for every line. An elevated run reaches the temp folder
// only through components it has checked from the volume root; a temp folder it has to
// refuse counts as one the system could not name, and the Windows temp folder takes its
// place. An unelevated run follows links above the file: that is the user's own business.
bool OpenLogFolder(lumo::FolderChain& folder) {
  const bool elevated = CUtility::IsProcessElevated();
  const std::wstring temp = GetTempFolderPath();
  return (!temp.empty() && folder.Open(temp, elevated, false)) || folder.Open(GetSystemTempFolderPath(), elevated, false);
}

}  // namespace

void CUtility::AppendLogLine(const std::wstring& line) {
  lumo::FolderChain folder;
  if (!OpenLogFolder(folder)) return;
  // Opened per line without sharing: lines of concurrent writers never interleave, and a
  // writer that meets the file open elsewhere loses its line instead of waiting. A log that
  // is a link or has other names (hard links) would carry the lines into another file: it is
  // not written, and the line is lost as it is when another program holds the file.
  lumo::UniqueFile file;
  DWORD error = 0;
  const lumo::CheckedOpen append{FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES, 0, FILE_OPEN_IF, false};
  const std::wstring name = lumo::LogFileName(static_cast<long>(static_cast<int>(GetOwnSessionId())));
  if (lumo::OpenChecked(folder.Deepest(), name, append, file, error) != lumo::Verdict::kAccepted) return;
  const std::string bytes = lumo::LogFileRecord(line);
  DWORD written = 0;
  ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void CUtility::FileException(DWORD error, const std::wstring& path) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  lumo::UniqueLocal owner(text);
  // An error the system has no text for is not reported: nothing is written.
  if (length == 0 || text == nullptr) return;
  std::wstring message(text, length);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
    message.pop_back();
  if (!path.empty()) message += L" (" + path + L")";
  ::SetLastError(error);
  Log("[%s] %ls", "CUtility::FileException", message.c_str());
}

void lumo::LogRefusal(const char* source, const ChainFailure& failure) {
  CUtility::Log("[%s] %ls refused: %ls", source, failure.path.c_str(),
                DescribeVerdict(failure.verdict, failure.error).c_str());
}

std::wstring CUtility::GetModulePath() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0) return std::wstring();
  return std::wstring(path, length);
}

void CUtility::StripPathComponents(std::wstring& path, int count) {
  lumo::StripPathComponents(path, count);
}
