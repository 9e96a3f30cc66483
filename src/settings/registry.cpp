#include "settings/registry.h"

#include <winternl.h>
#include <wtsapi32.h>

#include <utility>
#include <vector>

#include "launch/impersonate.h"
#include "settings/core/key_mapping.h"
#include "settings/core/key_walk.h"
#include "util/system_functions.h"
#include "util/utility.h"

namespace {

constexpr ULONG kKeyNameInformation = 3;

void FreeWtsMemory(wchar_t* memory) { ::WTSFreeMemory(memory); }
using UniqueWtsText = lumo::UniqueResource<lumo::detail::NullTraits<wchar_t*, FreeWtsMemory>>;

// The user of the launcher's own token, as the system stores the SID; empty when unknown.
std::vector<uint8_t> OwnTokenUser() {
  lumo::UniqueHandle token;
  union {
    TOKEN_USER user;
    BYTE room[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD size = 0;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()) ||
      !::GetTokenInformation(token.get(), TokenUser, &info, sizeof info, &size))
    return {};
  const auto* sid = static_cast<const uint8_t*>(info.user.User.Sid);
  return std::vector<uint8_t>(sid, sid + ::GetLengthSid(info.user.User.Sid));
}

// The user the launcher's session is logged on as: its name and domain as the session gives
// them, looked up as "domain\user"; empty when the session names none or the name finds none.
std::vector<uint8_t> SessionUser() {
  UniqueWtsText user, domain;
  DWORD bytes = 0;
  const DWORD session = GetOwnSessionId();
  if (!::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, user.put(), &bytes) ||
      !::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSDomainName, domain.put(), &bytes) ||
      user.get()[0] == L'\0')
    return {};
  const std::wstring name = std::wstring(domain.get()) + L'\\' + user.get();
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof sid;
  wchar_t found[256];
  DWORD foundSize = 256;
  SID_NAME_USE use;
  if (!::LookupAccountNameW(nullptr, name.c_str(), sid, &sidSize, found, &foundSize, &use)) return {};
  return std::vector<uint8_t>(sid, sid + ::GetLengthSid(sid));
}

// Whether an elevated run without the session user's token may open its own token's hive:
// asked once (a domain account's name may take the network to look up).
bool OwnHiveIsTheSessionUsers() {
  static int known = -1;
  if (known < 0) known = lumo::ChooseHive(false, OwnTokenUser(), SessionUser()) == lumo::HiveChoice::kOwn;
  return known == 1;
}

bool IsAcceptedRoot(HKEY root) {
  return root == HKEY_CLASSES_ROOT || root == HKEY_CURRENT_USER || root == HKEY_LOCAL_MACHINE ||
         root == HKEY_USERS;
}

// Opens the key `name` right below `parent` (an empty name opens `parent` once more), with
// `create` made when missing, `made` then telling whether it was. With OBJ_OPENLINK in
// `attributes` a link is opened as itself; without it the system follows it.
NTSTATUS OpenKeyAt(HKEY parent, const UNICODE_STRING& name, ULONG attributes, ACCESS_MASK access, bool create,
                   lumo::UniqueKey& key, ULONG* made = nullptr) {
  const lumo::NtApi& nt = lumo::Nt();
  if (!nt.complete) return lumo::kProcedureNotFound;
  UNICODE_STRING objectName = name;
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &objectName, OBJ_CASE_INSENSITIVE | attributes, parent, nullptr);
  HANDLE handle = nullptr;
  ULONG disposition = 0;
  const NTSTATUS status = create ? nt.createKey(&handle, access, &object, 0, nullptr, 0, &disposition)
                                 : nt.openKey(&handle, access, &object);
  if (status >= 0) key.reset(static_cast<HKEY>(handle));
  if (made != nullptr) *made = disposition;
  return status;
}

// Whether both keys have the same full name (KeyNameInformation, its length first). A name
// longer than the buffers (about 500 characters, where the launcher's keys have about 130)
// counts as another: the safe side.
bool SameName(HKEY first, HKEY second) {
  alignas(ULONG) wchar_t names[2][520];
  const HKEY keys[2] = {first, second};
  for (int i = 0; i < 2; ++i) {
    ULONG size = 0;
    if (lumo::Nt().queryKey(keys[i], kKeyNameInformation, names[i], sizeof(names[i]), &size) < 0) return false;
  }
  // Both lengths first, then the name.
  const ULONG length = *reinterpret_cast<const ULONG*>(names[0]) / sizeof(wchar_t) + 2;
  for (ULONG i = 0; i < length; ++i)
    if (names[0][i] != names[1][i]) return false;
  return true;
}

// What tells a link, of the key opened as itself in `key`, `name` below `parent`: whether it
// carries a link's target, and whether it opens again with links followed and both handles
// then name the same key (a link whose value cannot be seen still shows there).
lumo::KeyStep Judge(HKEY parent, const UNICODE_STRING& name, HKEY key, bool own, bool create, bool replaced) {
  DWORD type = REG_NONE;
  const bool linkValue =
      ::RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
      type == REG_LINK;
  lumo::UniqueKey followed;
  const bool sameName =
      OpenKeyAt(parent, name, 0, KEY_QUERY_VALUE, false, followed) >= 0 && SameName(key, followed.get());
  return lumo::JudgeKey(linkValue, sameName, own, create, replaced);
}

// One step of the walk: `name` below `parent` opened as itself into `next` (with `create`,
// made when missing) and judged into `step`; a link of ours met by an operation that creates
// is removed as itself (deleting it by name would delete what it points to) and made anew.
NTSTATUS StepDown(HKEY parent, const UNICODE_STRING& name, ACCESS_MASK access, bool own, bool create,
                  lumo::UniqueKey& next, lumo::KeyStep& step) {
  NTSTATUS status = OpenKeyAt(parent, name, OBJ_OPENLINK, access, create, next);
  if (status < 0) return status;
  step = Judge(parent, name, next.get(), own, create, false);
  if (step != lumo::KeyStep::kReplace) return status;
  ULONG made = 0;
  status = lumo::Nt().deleteKey(next.get());
  next.reset();
  if (status >= 0) status = OpenKeyAt(parent, name, OBJ_OPENLINK, access, true, next, &made);
  step = status < 0                    ? lumo::KeyStep::kRefuseStuck
         : made != REG_CREATED_NEW_KEY ? lumo::KeyStep::kRefuseBack
                                       : Judge(parent, name, next.get(), own, create, true);
  return 0;
}

// One line per refusal; the operations that follow mostly meet the same link and would
// repeat it, so a line like the last one is left out.
void LogRefusal(const std::wstring& path, lumo::KeyStep step) {
  static DWORD last = 0;
  DWORD line = static_cast<DWORD>(step);
  for (wchar_t c : path) line = line * 31 + c;
  if (line == last) return;
  last = line;
  CUtility::Log("[%s] %ls refused: a link, %ls", "CRegistry::OpenPath", path.c_str(), lumo::DescribeKeyStep(step));
}

}  // namespace

CRegistry::CRegistry() = default;

CRegistry::~CRegistry() { Reset(); }

BOOL CRegistry::Reset() {
  keyPath.clear();
  rootKey = HKEY_CURRENT_USER;
  noFlush = TRUE;
  return TRUE;
}

BOOL CRegistry::SetRootKey(HKEY root, BOOL redirectMachine) {
  if (!IsAcceptedRoot(root)) return FALSE;
  rootKey = (root == HKEY_LOCAL_MACHINE && redirectMachine) ? HKEY_CURRENT_USER : root;
  return TRUE;
}

std::wstring CRegistry::PathWith(const std::wstring& subkey) const {
  if (subkey.empty()) return keyPath;
  // On the root itself the subkey is the whole path; a leading backslash would not open.
  if (keyPath.empty()) return subkey;
  return keyPath + L"\\" + subkey;
}

LONG CRegistry::OpenPath(const std::wstring& path, REGSAM mask, bool create, HKEY base, lumo::UniqueKey& key) const {
  HKEY start = base != nullptr ? base : rootKey;
  if (start != HKEY_CURRENT_USER && lumo::UniqueKey::IsPredefined(start))
    return create ? ::RegCreateKeyExW(start, path.c_str(), 0, nullptr, 0, Access(mask), nullptr, key.put(), nullptr)
                  : ::RegOpenKeyExW(start, path.c_str(), 0, Access(mask), key.put());
  // The user's Software key is one key for both registry views, so the walk asks for none.
  CImpersonateUser impersonation;
  lumo::UniqueKey hive;
  LONG status = ERROR_SUCCESS;
  if (start == HKEY_CURRENT_USER) {
    // An elevated run without the session user's token would open the hive of whoever entered
    // the credentials (an administrator over the user's shoulder), with every right there:
    // unless that is the session's user, the product key is then not selectable at all.
    if (!impersonation.IsImpersonating() && CUtility::IsProcessElevated() && !OwnHiveIsTheSessionUsers()) {
      static bool logged = false;
      if (!logged) CUtility::Log("[%s] No token of the session's user: the user's hive is not opened", "CRegistry::OpenPath");
      logged = true;
      key.reset();
      return ERROR_NO_TOKEN;
    }
    status = ::RegOpenCurrentUser(KEY_ALL_ACCESS, hive.put());
    start = hive.get();
  }
  key.reset();
  // An empty path opens the start once more, as a component without a name.
  std::size_t at = 0, end = 0;
  lumo::KeyStep step = lumo::KeyStep::kUse;
  bool last = false;
  do {
    lumo::NextKeyComponent(path, at, end);
    // No key name is longer; a longer one would not fit the counted string.
    if (end - at > 255) status = ERROR_INVALID_NAME;
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(path.c_str() + at);
    name.Length = name.MaximumLength = static_cast<USHORT>((end - at) * sizeof(wchar_t));
    const bool own = lumo::IsOwnKeyPath(path, end);
    // Each component is asked for its link value, and the last one for what the operation needs.
    last = path.find_first_not_of(L'\\', end) == std::wstring::npos;
    ACCESS_MASK access = KEY_QUERY_VALUE | (last ? mask : 0);
    if (create) access |= KEY_CREATE_SUB_KEY | (own ? DELETE : 0);
    lumo::UniqueKey next;
    const NTSTATUS result =
        status == ERROR_SUCCESS ? StepDown(key ? key.get() : start, name, access, own, create, next, step) : 0;
    if (result < 0) status = static_cast<LONG>(lumo::SetErrorFromStatus(result));
    key = std::move(next);
    at = end;
  } while (status == ERROR_SUCCESS && step == lumo::KeyStep::kUse && !last);
  if (step != lumo::KeyStep::kUse) {
    // Written with the launcher's own token: the log may lie where the user cannot write.
    impersonation.RevertNow();
    LogRefusal(path.substr(0, end), step);
    status = ERROR_ACCESS_DENIED;
  }
  if (status != ERROR_SUCCESS) key.reset();
  return status;
}

void CRegistry::FlushIfAsked(HKEY key) const {
  if (!noFlush) ::RegFlushKey(key);
}

BOOL CRegistry::SelectKey(const std::wstring& path, BOOL create) {
  lumo::UniqueKey key;
  const LONG status = OpenPath(path, create ? KEY_ALL_ACCESS : KEY_READ, create != FALSE, nullptr, key);
  if (!create) lastError = status;
  if (status != ERROR_SUCCESS) return FALSE;
  keyPath = path;
  FlushIfAsked(key.get());
  return TRUE;
}

BOOL CRegistry::OpenKey(const std::wstring& path, BOOL create, BOOL perSession) {
  if (path.empty()) {
    keyPath.clear();
    return TRUE;
  }
  const long session = static_cast<long>(static_cast<int>(GetOwnSessionId()));
  return SelectKey(lumo::MapSessionKeyPath(path, perSession != FALSE, session), create);
}

BOOL CRegistry::OpenProductKey(const std::wstring& path, BOOL create, BOOL perSession) {
  if (path.empty()) {
    keyPath.clear();
    return TRUE;
  }
  return SelectKey(ResolveProductKeyPath(path, perSession, nullptr), create);
}

BOOL CRegistry::KeyExists(const std::wstring& path, HKEY root) {
  lumo::UniqueKey key;
  return OpenPath(path, KEY_ALL_ACCESS, false, root, key) == ERROR_SUCCESS;
}

BOOL CRegistry::WriteDWORD(const std::wstring& name, DWORD value) {
  lumo::UniqueKey key;
  if (OpenPath(keyPath, KEY_WRITE, false, nullptr, key) != ERROR_SUCCESS) return FALSE;
  const LONG status = ::RegSetValueExW(key.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                       sizeof(value));
  FlushIfAsked(key.get());
  return status == ERROR_SUCCESS;
}

BOOL CRegistry::WriteString(const std::wstring& name, const std::wstring& text, DWORD type) {
  lumo::UniqueKey key;
  if (OpenPath(keyPath, KEY_WRITE, false, nullptr, key) != ERROR_SUCCESS) return FALSE;
  const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  const LONG status =
      ::RegSetValueExW(key.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(text.c_str()), bytes);
  FlushIfAsked(key.get());
  return status == ERROR_SUCCESS;
}

DWORD CRegistry::ReadDWORD(const std::wstring& name, DWORD defaultValue) {
  return ReadDWORD(name, defaultValue, std::wstring());
}

DWORD CRegistry::ReadDWORD(const std::wstring& name, DWORD defaultValue, const std::wstring& subkey) {
  lumo::UniqueKey key;
  if (OpenPath(PathWith(subkey), KEY_READ, false, nullptr, key) != ERROR_SUCCESS) return defaultValue;
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) !=
      ERROR_SUCCESS)
    return defaultValue;
  // Shorter data would leave part of the number unset: that is no number at all.
  return size == sizeof(value) ? value : defaultValue;
}

DWORD CRegistry::GetValueType(const std::wstring& name, const std::wstring& subkey) {
  lumo::UniqueKey key;
  lastError = OpenPath(PathWith(subkey), KEY_QUERY_VALUE, false, nullptr, key);
  if (lastError != ERROR_SUCCESS) return 0;
  DWORD type = 0;
  lastError = ::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, nullptr);
  return lastError == ERROR_SUCCESS ? type : 0;
}

std::wstring CRegistry::ReadString(const std::wstring& name, const std::wstring& defaultValue,
                                   const std::wstring& subkey) {
  const DWORD type = GetValueType(name, subkey);
  if (type != REG_SZ && type != REG_EXPAND_SZ) return defaultValue;
  lumo::UniqueKey key;
  lastError = OpenPath(PathWith(subkey), KEY_READ, false, nullptr, key);
  if (lastError != ERROR_SUCCESS) return defaultValue;
  DWORD size = 0;
  lastError = ::RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, nullptr, &size);
  if (lastError != ERROR_SUCCESS) return defaultValue;
  // One character more than the data holds, so text stored without its null still ends.
  std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
  DWORD capacity = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  lastError = ::RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&buffer[0]),
                                 &capacity);
  if (lastError != ERROR_SUCCESS) return defaultValue;
  buffer.back() = L'\0';
  return std::wstring(buffer.c_str());
}

BOOL CRegistry::ValueExists(const std::wstring& name) {
  lumo::UniqueKey key;
  if (OpenPath(keyPath, KEY_ALL_ACCESS, false, nullptr, key) != ERROR_SUCCESS) return FALSE;
  return ::RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

BOOL CRegistry::DeleteValue(const std::wstring& name) {
  lumo::UniqueKey key;
  if (OpenPath(keyPath, KEY_SET_VALUE, false, nullptr, key) != ERROR_SUCCESS) return FALSE;
  const LONG status = ::RegDeleteValueW(key.get(), name.c_str());
  FlushIfAsked(key.get());
  return status == ERROR_SUCCESS;
}
