#include "util/core/log_format.h"

#include <cwchar>
#include <vector>

namespace lumo {

namespace {

// Cuts a message to what the log keeps, never between the halves of a surrogate pair; a lone
// surrogate stays as it is (NTFS names may hold one).
std::wstring CutMessage(std::wstring text) {
  if (text.size() <= kMaxLogMessage) return text;
  std::size_t length = kMaxLogMessage;
  const wchar_t last = text[length - 1], next = text[length];
  if (last >= 0xD800 && last <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) --length;
  text.resize(length);
  return text;
}

}  // namespace

std::wstring FormatLogMessageV(const wchar_t* format, va_list args) {
  if (format == nullptr) return std::wstring();
  // A cut text is reported as a failure (ISO vswprintf) or as the whole length (MinGW's,
  // snprintf-like), so grow the buffer until the whole text fits (bounded), then cut to the
  // design's length.
  std::size_t capacity = 1024;
  for (;;) {
    std::vector<wchar_t> buffer(capacity);
    va_list copy;
    va_copy(copy, args);
    int written = std::vswprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (written >= 0 && static_cast<std::size_t>(written) < buffer.size()) {
      return CutMessage(std::wstring(buffer.data(), static_cast<std::size_t>(written)));
    }
    if (capacity >= (1u << 20)) {
      // A malformed format or a message beyond a megabyte: keep what fits rather than fail.
      buffer.back() = L'\0';
      return CutMessage(buffer.data());
    }
    capacity *= 4;
  }
}

std::wstring FormatLogMessage(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text = FormatLogMessageV(format, args);
  va_end(args);
  return text;
}

std::wstring FormatLogLine(unsigned long processId, const std::wstring& localTime,
                           const std::wstring& message, long lastError) {
  std::wstring line = L"[" + std::to_wstring(processId) + L"]";
  line += localTime;
  line += L"  ";
  // One call, one line: a line break that a message brings along (an instruction from the
  // command line, a system message text) becomes a blank instead of starting a line that
  // would read as one of the launcher's own.
  for (wchar_t c : message) line += (c == L'\r' || c == L'\n') ? L' ' : c;
  line += L" (Last=" + std::to_wstring(lastError) + L")";
  return line;
}

std::string LogFileRecord(const std::wstring& line) {
  const std::wstring text = line + L"\r\n";
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (wchar_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  return bytes;
}

std::wstring FormatLogTime(int year, int month, int day, int hour, int minute, int second) {
  if (year < 0 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60) {
    return std::wstring();
  }
  wchar_t text[32];
  std::swprintf(text, 32, L"%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute, second);
  return text;
}

std::wstring LogFileName(long sessionId) {
  return L"unpack" + std::to_wstring(sessionId) + L".log";
}

void StripPathComponents(std::wstring& path, int count) {
  for (int i = 0; i < count; ++i) {
    std::size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos) return;
    path.erase(slash);
  }
}

}  // namespace lumo
