#include "unpack/core/work_folder.h"

#include <cstring>

namespace lumo {

std::wstring WorkFolderName(long session, int attempt) {
  std::wstring name = std::to_wstring(session);
  if (attempt > 0) name += L"-" + std::to_wstring(attempt);
  return name;
}

std::wstring WorkFolderPath(const std::wstring& tempFolder, long session, int attempt) {
  return tempFolder + L"unpacklumo\\" + WorkFolderName(session, attempt) + L"\\";
}

std::size_t TypicalEntryPathLength(std::size_t nameLength) {
  return WorkFolderPath(std::wstring(kTypicalTempFolderLength, L'x'), 1, 0).size() + nameLength;
}

bool WorkFolderNameTaken(uint32_t win32Error) {
  constexpr uint32_t kAccessDenied = 5, kFileExists = 80, kAlreadyExists = 183;
  return win32Error == kAlreadyExists || win32Error == kFileExists || win32Error == kAccessDenied;
}

std::wstring ElevatedFolderName(long session, const uint8_t* random, std::size_t count) {
  constexpr wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring name = L"lumo-" + (session == -1 ? std::wstring(L"n") : std::to_wstring(session)) + L"-";
  for (std::size_t i = 0; i < count; ++i) {
    name += kDigits[random[i] >> 4];
    name += kDigits[random[i] & 0xF];
  }
  return name;
}

bool ParseElevatedFolderName(const std::wstring& name, long& session) {
  constexpr std::size_t kPrefix = 5, kDigits = 32;
  if (name.size() < kPrefix + 2 + kDigits || name.compare(0, kPrefix, L"lumo-") != 0) return false;
  const std::size_t dash = name.size() - kDigits - 1;
  if (name[dash] != L'-') return false;
  for (std::size_t i = dash + 1; i < name.size(); ++i) {
    const wchar_t c = name[i];
    if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
  }
  const std::wstring number = name.substr(kPrefix, dash - kPrefix);
  if (number == L"n") {
    session = -1;
    return true;
  }
  // Decimal without a sign or a leading zero, no more than a session id can be.
  if (number.empty() || number.size() > 10 || (number[0] == L'0' && number.size() > 1)) return false;
  long long value = 0;
  for (wchar_t c : number) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + (c - L'0');
  }
  if (value > 0x7FFFFFFF) return false;
  session = static_cast<long>(value);
  return true;
}

LeftoverAction DecideLeftover(bool systemRoute, long ownSession, long folderSession, bool held, bool agentRuns) {
  // The standard route deletes no task, so it may give up no folder name; a held folder is a
  // running launcher's.
  if (!systemRoute || held) return LeftoverAction::kLeave;
  if (folderSession == ownSession) return LeftoverAction::kClearOwn;
  // An agent of that session may run from the folder (its launcher killed): it would lose every
  // file it does not hold open.
  return agentRuns ? LeftoverAction::kLeave : LeftoverAction::kClearOther;
}

Trustee TrusteeOfSid(const uint8_t* sid, std::size_t length) {
  // S-1-5-18 and S-1-5-32-544: the NT authority (5), then the sub-authorities in
  // little-endian order.
  static const uint8_t kSystem[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  static const uint8_t kAdministrators[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
  if (length == sizeof kSystem && std::memcmp(sid, kSystem, length) == 0) return Trustee::kSystem;
  if (length == sizeof kAdministrators && std::memcmp(sid, kAdministrators, length) == 0)
    return Trustee::kAdministrators;
  return Trustee::kOther;
}

bool IsWorkFolderSecurity(Trustee owner, bool daclProtected, const AccessEntry* entries, std::size_t count) {
  // The values of the Windows headers: ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE |
  // CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE.
  constexpr uint8_t kAllowed = 0, kInheritedByAll = 0x3;
  constexpr uint32_t kFullControl = 0x1F01FF, kReadExecute = 0x1200A9;
  if (owner == Trustee::kOther || !daclProtected || count < 2 || count > 3) return false;
  for (std::size_t i = 0; i < count; ++i) {
    const AccessEntry& entry = entries[i];
    if (entry.type != kAllowed || entry.flags != kInheritedByAll) return false;
    const Trustee full = i == 0 ? Trustee::kSystem : Trustee::kAdministrators;
    if (i < 2 ? entry.trustee != full || entry.mask != kFullControl : entry.mask != kReadExecute) return false;
  }
  return true;
}

}  // namespace lumo
