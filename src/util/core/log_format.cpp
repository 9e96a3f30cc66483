#include "util/core/log_format.h"

#include <cwchar>
#include <vector>

namespace lumo {

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
      std::wstring text(buffer.data(), static_cast<std::size_t>(written));
      if (text.size() > kMaxLogMessage) text.resize(kMaxLogMessage);
      return text;
    }
    if (capacity >= (1u << 20)) {
      // A malformed format or a message beyond a megabyte: keep what fits rather than fail.
      buffer.back() = L'\0';
      std::wstring text(buffer.data());
      if (text.size() > kMaxLogMessage) text.resize(kMaxLogMessage);
      return text;
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
  line += message;
  line += L" (Last=" + std::to_wstring(lastError) + L")";
  return line;
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
