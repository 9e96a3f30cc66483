#include "unpack/secure_folder.h"

#include <aclapi.h>
#include <sddl.h>

#include <utility>
#include <vector>

#include "unpack/core/work_folder.h"
#include "unpack/folder_tree.h"
#include "util/utility.h"

namespace lumo {
namespace {

constexpr int kCreationRetries = 20;
constexpr DWORD kCreationRetryMs = 100;

// The held chain down to the work folder, and whether its deepest folder is the work folder.
FolderChain g_held;
bool g_holdsWorkFolder = false;
bool g_keepWorkFolder = false;

std::wstring WithoutTrailingBackslash(std::wstring path) {
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  return path;
}

bool TokenUserSid(HANDLE token, UniqueLocal& sid) {
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<BYTE> buffer(size);
  if (!::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return false;
  const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  const DWORD length = ::GetLengthSid(user);
  sid.reset(::LocalAlloc(LMEM_FIXED, length));
  return sid && ::CopySid(length, sid.get(), user);
}

bool WellKnownSid(WELL_KNOWN_SID_TYPE type, std::vector<BYTE>& sid) {
  DWORD size = SECURITY_MAX_SID_SIZE;
  sid.assign(size, 0);
  return ::CreateWellKnownSid(type, nullptr, sid.data(), &size) != FALSE;
}

}  // namespace

bool GetSessionUserSid(std::wstring& sidText, UniqueLocal& sid) {
  UniqueHandle token;
  bool found = CUtility::GetSessionUserToken(token) && token && TokenUserSid(token.get(), sid);
  if (!found) {
    UniqueHandle own;
    found = ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, own.put()) && TokenUserSid(own.get(), sid);
  }
  sidText.clear();
  if (!found) return false;
  wchar_t* text = nullptr;
  if (::ConvertSidToStringSidW(sid.get(), &text)) {
    sidText = text;
    ::LocalFree(text);
  }
  return true;
}

ProtectedDescriptor::ProtectedDescriptor(PSID user) {
  if (!WellKnownSid(WinLocalSystemSid, system_) || !WellKnownSid(WinBuiltinAdministratorsSid, admins_)) return;
  // Every entry is inherited by what is extracted and expanded into the folder later.
  constexpr BYTE kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  constexpr DWORD kReadExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
  DWORD aclSize = sizeof(ACL) + 3 * sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(system_.data()) +
                  ::GetLengthSid(admins_.data());
  if (user != nullptr) aclSize += ::GetLengthSid(user);
  acl_.assign(aclSize, 0);
  PACL acl = reinterpret_cast<PACL>(acl_.data());
  valid_ = ::InitializeAcl(acl, aclSize, ACL_REVISION) &&
           ::AddAccessAllowedAceEx(acl, ACL_REVISION, kInherit, FILE_ALL_ACCESS, system_.data()) &&
           ::AddAccessAllowedAceEx(acl, ACL_REVISION, kInherit, FILE_ALL_ACCESS, admins_.data()) &&
           (user == nullptr || ::AddAccessAllowedAceEx(acl, ACL_REVISION, kInherit, kReadExecute, user)) &&
           ::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
           ::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
           // Protected: nothing the user may change above the folder flows into it.
           ::SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION first{}, second{};
  if (!::GetFileInformationByHandle(a, &first) || !::GetFileInformationByHandle(b, &second)) return false;
  return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber && first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

int ClaimWorkFolder(FolderChain& chain, const std::wstring& name, bool protect) {
  ReleaseWorkFolder();
  std::wstring sidText;
  UniqueLocal user;
  if (protect) GetSessionUserSid(sidText, user);
  ProtectedDescriptor protection(user.get());
  if (protect && !protection.valid()) return static_cast<int>(ERROR_INVALID_SECURITY_DESCR);
  // Made and opened in one system call, so that no other folder can be slipped in between. A
  // creation that failed is tried again, create-only, 20 more times 100 ms apart: a folder
  // whose removal has not finished, or that another program (a scanner, an agent just ending)
  // still has open, keeps its name for a moment.
  for (int retries = 0; !chain.Descend(name, FolderChain::Create::kOnly, true, protect ? protection.get() : nullptr);
       ++retries) {
    const DWORD error = chain.Failure().error;
    if (retries == kCreationRetries) return static_cast<int>(error != 0 ? error : ERROR_ACCESS_DENIED);
    CUtility::WaitTakingMessages(nullptr, kCreationRetryMs);
  }
  g_held = std::move(chain);
  g_holdsWorkFolder = true;
  return ERROR_SUCCESS;
}

HANDLE HeldWorkFolder() { return g_holdsWorkFolder ? g_held.Deepest() : nullptr; }

HANDLE HeldWorkFolderParent() { return g_holdsWorkFolder ? g_held.Parent() : nullptr; }

void KeepHeldWorkFolder() { g_keepWorkFolder = true; }

bool IsHeldWorkFolderKept() { return g_holdsWorkFolder && g_keepWorkFolder; }

bool IsHeldWorkFolder(const std::wstring& path) {
  if (!g_holdsWorkFolder) return false;
  UniqueFile now(::CreateFileW(WithoutTrailingBackslash(path).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return now && SameFile(now.get(), g_held.Deepest());
}

void ReleaseWorkFolder() {
  g_held.Clear();
  g_holdsWorkFolder = false;
}

// The hold shares no deletion, so a second handle to the very folder (asking for nothing
// that sharing guards) is opened from it first, the hold let go, and the folder opened for
// deletion from that second handle.
bool DeleteDeepest(FolderChain& chain, bool tree) {
  const std::wstring path = chain.Path();
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  UniqueFile hold = chain.TakeDeepest();
  UniqueFile same = OpenRelative(hold.get(), std::wstring(), FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                                 FILE_OPEN_REPARSE_POINT);
  hold.reset();
  if (!same) return false;
  UniqueFile doomed = OpenRelative(same.get(), std::wstring(), kFolderDeletionAccess, kShareAll, FILE_OPEN,
                                   FILE_OPEN_REPARSE_POINT);
  if (!doomed) return false;
  return tree ? DeleteFolderTreeAt(doomed.get(), path) : DeleteEntryAt(doomed.get());
}

bool DeleteHeldWorkFolder(bool andParent) {
  if (!g_holdsWorkFolder) return false;
  g_holdsWorkFolder = false;
  if (g_keepWorkFolder) {
    // Emptied through a handle opened from the hold; the hold itself goes with the chain.
    const std::wstring path = g_held.Path();
    UniqueFile emptied = OpenRelative(g_held.Deepest(), std::wstring(), kFolderDeletionAccess & ~DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                      FILE_OPEN_REPARSE_POINT);
    if (emptied) EmptyFolderAt(emptied.get(), path);
    g_held.Clear();
    return true;
  }
  DeleteDeepest(g_held, true);
  // The parent goes only when no other session's folder is left in it.
  if (andParent) DeleteDeepest(g_held, false);
  g_held.Clear();
  return true;
}

namespace {

Trustee TrusteeOf(PSID sid) { return TrusteeOfSid(static_cast<const uint8_t*>(sid), ::GetLengthSid(sid)); }

}  // namespace

bool IsWorkFolderSecurity(PSID owner, PACL dacl, bool daclProtected) {
  if (owner == nullptr || dacl == nullptr) return false;
  AccessEntry entries[3];
  const DWORD count = dacl->AceCount;
  for (DWORD i = 0; i < count && i < 3; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace))) return false;
    // Only an allowing entry has its account right after the mask; any other fails by its type.
    const BYTE type = ace->Header.AceType;
    entries[i] = {type, ace->Header.AceFlags, ace->Mask,
                  type == ACCESS_ALLOWED_ACE_TYPE ? TrusteeOf(&ace->SidStart) : Trustee::kOther};
  }
  return IsWorkFolderSecurity(TrusteeOf(owner), daclProtected, entries, count);
}

bool HasWorkFolderSecurity(HANDLE folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  if (::GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  const UniqueLocal held(descriptor);
  // Both forms of a descriptor begin with the revision, a byte, and the control word.
  const SECURITY_DESCRIPTOR_CONTROL control = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(descriptor)->Control;
  return IsWorkFolderSecurity(owner, dacl, (control & SE_DACL_PROTECTED) != 0);
}

}  // namespace lumo
