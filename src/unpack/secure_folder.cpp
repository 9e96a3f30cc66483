#include "unpack/secure_folder.h"

#include <winternl.h>
#include <sddl.h>
#include <shlobj.h>

#include <vector>

#include "unpack/folder_tree.h"
#include "util/utility.h"

namespace lumo {
namespace {

// The held work folder of this run; one per process.
UniqueFile g_heldFolder;

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

UniqueFile CreateProtectedFolder(const std::wstring& path, PSID user) {
  ProtectedDescriptor descriptor(user);
  if (!descriptor.valid()) return UniqueFile();

  // CreateDirectoryW gives no handle, and opening the folder afterwards would leave a moment
  // in which the user, who may delete children of the parent folder, could swap it.
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const auto toNtPath = reinterpret_cast<BOOLEAN(NTAPI*)(PCWSTR, PUNICODE_STRING, PCWSTR*, void*)>(
      reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlDosPathNameToNtPathName_U")));
  const auto freeString = reinterpret_cast<void(NTAPI*)(PUNICODE_STRING)>(
      reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlFreeUnicodeString")));
  const auto createFile = reinterpret_cast<NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                                            PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                                            ULONG, PVOID, ULONG)>(
      reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtCreateFile")));
  const auto toWin32Error = reinterpret_cast<ULONG(NTAPI*)(NTSTATUS)>(
      reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlNtStatusToDosError")));
  if (toNtPath == nullptr || freeString == nullptr || createFile == nullptr || toWin32Error == nullptr) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return UniqueFile();
  }

  UNICODE_STRING ntPath{};
  if (!toNtPath(WithoutTrailingBackslash(path).c_str(), &ntPath, nullptr, nullptr)) {
    ::SetLastError(ERROR_BAD_PATHNAME);
    return UniqueFile();
  }
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &ntPath, OBJ_CASE_INSENSITIVE, nullptr, descriptor.get());
  IO_STATUS_BLOCK io{};
  HANDLE folder = nullptr;
  constexpr ULONG kCreate = 0x00000002;                 // FILE_CREATE: never adopt an existing one
  constexpr ULONG kOptions = 0x00000001 | 0x00000020;  // FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT
  const NTSTATUS status = createFile(&folder, FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE, &object, &io,
                                     nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, kCreate,
                                     kOptions, nullptr, 0);
  freeString(&ntPath);
  if (status < 0) {
    ::SetLastError(toWin32Error(status));
    return UniqueFile();
  }
  return UniqueFile(folder);
}

bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION first{}, second{};
  if (!::GetFileInformationByHandle(a, &first) || !::GetFileInformationByHandle(b, &second)) return false;
  return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber && first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

int CreateWorkFolder(const std::wstring& path) {
  if (!CUtility::IsProcessElevated()) return ::SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);

  ReleaseWorkFolder();
  std::wstring parent = WithoutTrailingBackslash(path);
  CUtility::StripPathComponents(parent, 1);
  if (!parent.empty() && !CUtility::FileExists(parent)) ::SHCreateDirectoryExW(nullptr, parent.c_str(), nullptr);

  std::wstring sidText;
  UniqueLocal user;
  GetSessionUserSid(sidText, user);
  g_heldFolder = CreateProtectedFolder(path, user.get());
  return g_heldFolder ? ERROR_SUCCESS : static_cast<int>(::GetLastError());
}

bool IsHeldWorkFolder(const std::wstring& path) {
  if (!g_heldFolder) return false;
  UniqueFile now(::CreateFileW(WithoutTrailingBackslash(path).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return now && SameFile(now.get(), g_heldFolder.get());
}

void ReleaseWorkFolder() { g_heldFolder.reset(); }

bool DeleteHeldWorkFolder(const std::wstring& path) {
  if (!g_heldFolder) return false;
  // The hold allows no delete sharing, so the folder is first opened once more from the
  // held handle (the very folder, whatever its path leads to now), then the hold is let go
  // and the tree deleted through that second handle.
  UniqueFile folder = OpenInFolder(g_heldFolder.get(), std::wstring(), FILE_READ_ATTRIBUTES);
  ReleaseWorkFolder();
  if (folder) DeleteFolderTreeAt(folder.get(), path);
  return true;
}

}  // namespace lumo
