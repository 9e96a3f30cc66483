#include "settings/core/key_walk.h"

#include "settings/core/key_mapping.h"

namespace lumo {

namespace {

// Moves `at` past the first `count` characters of `part` when the text up to `end` continues
// with them (ASCII letters in any case).
bool Take(const wchar_t*& at, const wchar_t* end, const wchar_t* part, std::size_t count = std::wstring::npos) {
  const wchar_t* next = at;
  for (; count != 0 && *part != L'\0'; --count, ++part, ++next)
    if (next == end || FoldAscii(*next) != FoldAscii(*part)) return false;
  at = next;
  return true;
}

// The length of the vendor's key, the product base path up to its last backslash.
constexpr std::size_t VendorLength() {
  std::size_t length = 0;
  for (std::size_t i = 0; kProductBasePath[i] != L'\0'; ++i)
    if (kProductBasePath[i] == L'\\') length = i;
  return length;
}

}  // namespace

void NextKeyComponent(const std::wstring& path, std::size_t& at, std::size_t& end) {
  at = path.find_first_not_of(L'\\', at);
  if (at == std::wstring::npos) at = path.size();
  end = path.find(L'\\', at);
  if (end == std::wstring::npos) end = path.size();
}

bool IsOwnKeyPath(const std::wstring& path, std::size_t length) {
  // The product base path is the vendor's key and the agent's name below it.
  constexpr std::size_t vendor = VendorLength();
  const wchar_t* at = path.c_str();
  const wchar_t* const end = at + (length < path.size() ? length : path.size());
  if (!Take(at, end, kProductBasePath, vendor)) return false;
  if (at == end) return true;
  if (!Take(at, end, kProductBasePath + vendor)) return false;
  if (Take(at, end, L" LUMO") && Take(at, end, L"_")) {
    Take(at, end, L"-");
    const wchar_t* const digits = at;
    while (at != end && *at >= L'0' && *at <= L'9') ++at;
    if (at == digits) return false;
  }
  return at == end || (Take(at, end, L" for Business") && at == end);
}

KeyStep JudgeKey(bool linkValue, bool sameName, bool own, bool create, bool replaced) {
  if (!linkValue && sameName) return KeyStep::kUse;
  if (!own) return KeyStep::kRefuseNotOurs;
  if (!create) return KeyStep::kRefuseReading;
  return replaced ? KeyStep::kRefuseBack : KeyStep::kReplace;
}

HiveChoice ChooseHive(bool sessionUserToken, const std::vector<uint8_t>& tokenUser,
                      const std::vector<uint8_t>& sessionUser) {
  if (sessionUserToken) return HiveChoice::kSessionUsers;
  return !sessionUser.empty() && sessionUser == tokenUser ? HiveChoice::kOwn : HiveChoice::kRefuse;
}

const wchar_t* DescribeKeyStep(KeyStep step) {
  switch (step) {
    case KeyStep::kRefuseNotOurs:
      return L"not ours";
    case KeyStep::kRefuseReading:
      return L"not removed by an open";
    case KeyStep::kRefuseBack:
      return L"back again";
    case KeyStep::kRefuseStuck:
      return L"not removable";
    default:
      return L"";
  }
}

}  // namespace lumo
