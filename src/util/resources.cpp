#include <windows.h>

#include "util/utility.h"

std::wstring LoadResString(UINT id) {
  const wchar_t* text = nullptr;
  // With a zero buffer length, LoadStringW hands out a pointer into the resource itself.
  const int length = ::LoadStringW(::GetModuleHandleW(nullptr), id, reinterpret_cast<wchar_t*>(&text), 0);
  if (length <= 0 || text == nullptr) return std::wstring();
  return std::wstring(text, static_cast<std::size_t>(length));
}
