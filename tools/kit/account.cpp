#include "account.h"

#include <windows.h>
#include <bcrypt.h>
#include <lm.h>
#include <sddl.h>
#include <userenv.h>

#include <string>
#include <vector>

namespace kit {
namespace {

std::wstring Number(unsigned long value) { return std::to_wstring(value); }

// Random bytes from the system's generator.
bool RandomBytes(void* buffer, ULONG size) {
  return BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), size, BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

// 24 characters, at least one of each of the four kinds the complexity policy counts, with no
// part of the account's name in it (the name is "lumokit-" and hex; the password has no '-').
bool MakePassword(wchar_t (&password)[25]) {
  static const wchar_t* const kinds[] = {L"ABCDEFGHJKLMNPQRSTUVWXYZ", L"abcdefghijkmnopqrstuvwxyz", L"23456789",
                                         L"#$%*+=?@_~"};
  unsigned char random[48];  // per character: its kind, then the character of that kind
  if (!RandomBytes(random, sizeof random)) return false;
  for (int i = 0; i < 24; ++i) {
    const wchar_t* kind = kinds[i < 4 ? i : random[i] % 4];
    password[i] = kind[random[24 + i] % wcslen(kind)];
  }
  password[24] = L'\0';
  ::SecureZeroMemory(random, sizeof random);
  return true;
}

std::wstring SidOf(const std::wstring& name) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof sid, domainSize = 256;
  wchar_t domain[256];
  SID_NAME_USE use;
  wchar_t* text = nullptr;
  if (!::LookupAccountNameW(nullptr, name.c_str(), sid, &sidSize, domain, &domainSize, &use) ||
      !::ConvertSidToStringSidW(sid, &text))
    return std::wstring();
  const std::wstring result = text;
  ::LocalFree(text);
  return result;
}

// The local group of standard users, whatever the system's language calls it.
std::wstring UsersGroup() {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid, nameSize = 256, domainSize = 256;
  wchar_t name[256], domain[256];
  SID_NAME_USE use;
  if (!::CreateWellKnownSid(WinBuiltinUsersSid, nullptr, sid, &size) ||
      !::LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
    return L"Users";
  return name;
}

}  // namespace

std::wstring RemoveAccount(const std::wstring& name) {
  const std::wstring sid = SidOf(name);
  std::wstring profile = L"no profile";
  // The profile's hive stays loaded a while after the user's last process has ended.
  for (int attempt = 1; !sid.empty() && attempt <= 60; ++attempt) {
    if (::DeleteProfileW(sid.c_str(), nullptr, nullptr)) {
      profile = L"profile removed after " + Number(attempt) + (attempt == 1 ? L" try" : L" tries");
      break;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) break;
    profile = L"profile not removed (error " + Number(error) + L")";
    ::Sleep(1000);
  }
  const NET_API_STATUS deleted = ::NetUserDel(nullptr, name.c_str());
  return deleted == NERR_Success ? L"removed (" + profile + L")"
                                 : L"NOT removed: NetUserDel ended with " + Number(deleted) + L" (" + profile + L")";
}

std::wstring RunAsStandardUser(const std::wstring& commandLine, const std::wstring& folder, long& exitCode) {
  exitCode = -1;
  unsigned char random[3];
  wchar_t password[25];
  if (!RandomBytes(random, sizeof random) || !MakePassword(password))
    return L"not made: the system's random generator failed";
  wchar_t name[16];
  swprintf(name, 16, L"lumokit-%02x%02x%02x", random[0], random[1], random[2]);

  USER_INFO_1 user{};
  user.usri1_name = name;
  user.usri1_password = password;
  user.usri1_priv = USER_PRIV_USER;
  user.usri1_comment = const_cast<wchar_t*>(L"Temporary account of the LUMO release kit");
  user.usri1_flags = UF_SCRIPT | UF_DONT_EXPIRE_PASSWD;
  const NET_API_STATUS added = ::NetUserAdd(nullptr, 1, reinterpret_cast<BYTE*>(&user), nullptr);
  if (added != NERR_Success) {
    ::SecureZeroMemory(password, sizeof password);
    return L"not made: NetUserAdd ended with " + Number(added) +
           (added == NERR_PasswordTooShort ? L" (the password policy refused a random 24-character password)" : L"");
  }
  const std::wstring group = UsersGroup();
  LOCALGROUP_MEMBERS_INFO_3 member{name};
  const NET_API_STATUS joined = ::NetLocalGroupAddMembers(nullptr, group.c_str(), 3, reinterpret_cast<BYTE*>(&member), 1);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::wstring line = commandLine;
  std::wstring report = name;
  if (joined != NERR_Success && joined != ERROR_MEMBER_IN_ALIAS) {
    report += L": made, but not put into " + group + L" (error " + Number(joined) + L")";
  } else if (!::CreateProcessWithLogonW(name, L".", password, LOGON_WITH_PROFILE, nullptr, &line[0],
                                        CREATE_UNICODE_ENVIRONMENT, nullptr, folder.c_str(), &startup, &process)) {
    const DWORD error = ::GetLastError();
    report += L": made, but nothing ran as it: CreateProcessWithLogonW ended with " + Number(error) +
              (error == ERROR_SERVICE_DISABLED ? L" (the Secondary Logon service is disabled)" : L"");
  } else {
    ::CloseHandle(process.hThread);
    DWORD code = 0;
    const bool ended = ::WaitForSingleObject(process.hProcess, 30 * 60 * 1000) == WAIT_OBJECT_0;
    if (!ended) ::TerminateProcess(process.hProcess, 99);
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hProcess);
    exitCode = ended ? static_cast<long>(code) : -1;
    report += ended ? L": made; the standard user's tests ended with " + Number(code)
                    : L": made; the standard user's tests were stopped after 30 minutes";
  }
  ::SecureZeroMemory(password, sizeof password);
  return report + L"; " + RemoveAccount(name);
}

}  // namespace kit
