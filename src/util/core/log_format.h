// Text formats of the per-session log and the path helpers that go with it.
// Portable: no system call, so the native unit tests exercise the same code the launcher runs.
#pragma once

#include <cstdarg>
#include <string>

namespace lumo {

// A message holds at most this many characters (a 1024-character buffer with a maximum
// count of 1023); longer ones are cut, never failed, and one character shorter where the cut
// would part a surrogate pair.
constexpr std::size_t kMaxLogMessage = 1022;

// printf-style formatting of a wide message, cut at kMaxLogMessage. Wide arguments are
// written "%ls" so the same format means the same thing on Windows and Linux.
std::wstring FormatLogMessageV(const wchar_t* format, va_list args);
std::wstring FormatLogMessage(const wchar_t* format, ...);

// "[pid]time  message (Last=error)", on one line: CR and LF of the message become blanks.
std::wstring FormatLogLine(unsigned long processId, const std::wstring& localTime,
                           const std::wstring& message, long lastError);

// What one line adds to the log file: its UTF-16 LE code units as formed, without a
// byte-order mark, then CR LF.
std::string LogFileRecord(const std::wstring& line);

// "%Y-%m-%d %H:%M:%S" of broken-down local time fields; empty when the fields are out of range.
std::wstring FormatLogTime(int year, int month, int day, int hour, int minute, int second);

// "unpack%d.log" for a session id (-1 when the session is unknown).
std::wstring LogFileName(long sessionId);

// Cuts the path before its last backslash, count times; a pass without a backslash changes nothing.
void StripPathComponents(std::wstring& path, int count);

}  // namespace lumo
