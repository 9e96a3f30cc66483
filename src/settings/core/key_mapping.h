// Which registry key the agent's settings live in: the per-session mapping of the product
// paths and the keyword that stands for the product key. Portable, no registry access.
#pragma once

#include <string>

namespace lumo {

// The agent's own key and the key of its Business edition; the first is a prefix of the second.
constexpr const wchar_t* kProductBasePath = L"Software\\Ondrix Inc.\\Ondrix Remote Server";
constexpr const wchar_t* kBusinessPath = L"Software\\Ondrix Inc.\\Ondrix Remote Server for Business";
// Callers name the product key by this keyword, never by a literal path.
constexpr const wchar_t* kProductKeyword = L"UNIVERSAL_PATH_CONVERT";

// The key the product base path is replaced by: "...Server LUMO_<session>" for a per-session
// key, "...Server LUMO" otherwise. The session is printed signed (-1 when unknown).
std::wstring SessionProductPath(bool perSession, long sessionId);

// Replaces every occurrence of the product base path (case-sensitive, left to right, without
// overlap) by the session's key. Other paths come back unchanged.
std::wstring MapSessionKeyPath(const std::wstring& path, bool perSession, long sessionId);

// The keyword in any case of its ASCII letters.
bool IsProductKeyword(const std::wstring& path);

// The ASCII letter in upper case; any other character as it is.
wchar_t FoldAscii(wchar_t c);

// Case-insensitive comparison of ASCII letters; other characters must match exactly.
bool EqualsIgnoreAsciiCase(const std::wstring& a, const std::wstring& b);

}  // namespace lumo
