#include "settings/core/key_mapping.h"

namespace lumo {

wchar_t FoldAscii(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

std::wstring SessionProductPath(bool perSession, long sessionId) {
  std::wstring target = kProductBasePath;
  target += L" LUMO";
  if (perSession) target += L"_" + std::to_wstring(sessionId);
  return target;
}

std::wstring MapSessionKeyPath(const std::wstring& path, bool perSession, long sessionId) {
  const std::wstring base = kProductBasePath;
  const std::wstring target = SessionProductPath(perSession, sessionId);
  std::wstring result;
  std::size_t from = 0;
  for (std::size_t at = path.find(base); at != std::wstring::npos; at = path.find(base, from)) {
    result.append(path, from, at - from);
    result += target;
    from = at + base.size();
  }
  result.append(path, from, std::wstring::npos);
  return result;
}

bool EqualsIgnoreAsciiCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

bool IsProductKeyword(const std::wstring& path) { return EqualsIgnoreAsciiCase(path, kProductKeyword); }

}  // namespace lumo
