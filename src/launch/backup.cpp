// The backup copy: the launcher's own bytes in "Ondrix\Temp" of the common application-data
// folder, under a name made of the session and the version, for the agent's later use.
//
// Every user of the machine may make folders in the common folder, and anyone can work out
// the copy's name; the agent later elevates what lies there. So the copy is made in the
// session user's token alone (an elevated run must not write where the user could not; an
// elevated run without that token writes none), through handles opened as themselves, no
// link on the way; it goes only into folders that the rules of launch/core/backup_rules.h
// accept; it is written under a random name with its own protected DACL and then renamed
// over its name, replacing only the writer's own file, never adopting or writing into one.
#include "launch/backup.h"

#include <windows.h>

#include <ntsecapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <winternl.h>

#include <cstring>
#include <string>
#include <vector>

#include "launch/core/backup_rules.h"
#include "launch/core/command_lines.h"
#include "launch/impersonate.h"
#include "unpack/core/work_folder.h"
#include "unpack/folder_tree.h"
#include "util/folder_chain.h"
#include "util/launcher_file.h"
#include "util/system_functions.h"
#include "util/utility.h"

namespace lumo {
namespace {

constexpr const char* kSource = "CUnPackFileApp::ExecuteCommand";
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kFileRenameInformation = 10;

// The common application-data folder (true), or the Windows folder where there is none.
bool SharedTempBase(wchar_t (&folder)[MAX_PATH]) {
  if (SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder))) return true;
  ::GetWindowsDirectoryW(folder, MAX_PATH);
  return false;
}

SidView ViewOf(const BYTE* sid) { return {sid, ::GetLengthSid(const_cast<BYTE*>(sid))}; }

// The SID of a token's user (TokenUser) or owner (TokenOwner), copied into `sid`.
bool TokenSid(HANDLE token, TOKEN_INFORMATION_CLASS kind, BYTE (&sid)[SECURITY_MAX_SID_SIZE]) {
  union {
    TOKEN_USER user;
    TOKEN_OWNER owner;
    BYTE room[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD size = 0;
  return ::GetTokenInformation(token, kind, &info, sizeof info, &size) &&
         ::CopySid(SECURITY_MAX_SID_SIZE, sid, kind == TokenUser ? info.user.User.Sid : info.owner.Owner);
}

// The walk down to the shared temp folder and the copy, in the writer's token.
struct Road {
  CImpersonateUser& user;
  bool elevated;
  FolderChain chain;
  BYTE userSid[SECURITY_MAX_SID_SIZE];
  BYTE ownerSid[SECURITY_MAX_SID_SIZE];
  Writer writer;

  // The session user's token while the run impersonates it, else the launcher's own.
  bool ReadWriter() {
    UniqueHandle own;
    HANDLE token = user.Token();
    if (!user.IsImpersonating()) {
      if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, own.put())) return false;
      token = own.get();
    }
    if (!TokenSid(token, TokenUser, userSid) || !TokenSid(token, TokenOwner, ownerSid)) return false;
    writer = {ViewOf(userSid), ViewOf(ownerSid)};
    return true;
  }
};

// The owner and DACL of the entry open in `entry`, through a second handle opened from it for
// READ_CONTROL (the holds have none), read by the rules. The descriptor stays in `buffer`.
DWORD ReadSecurity(HANDLE entry, const Writer& writer, BYTE (&buffer)[4096], Security& security) {
  UniqueFile reading = OpenRelative(entry, std::wstring(), READ_CONTROL, kShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT);
  DWORD size = 0;
  if (!reading || !::GetKernelObjectSecurity(reading.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                             buffer, sizeof buffer, &size))
    return ::GetLastError();
  ReadDescriptor(buffer, size, writer, security);
  return ERROR_SUCCESS;
}

// A folder an older launcher left, owned by one user with the rights of the common folder,
// becomes the machine's: owner Administrators and the DACL of the folders the launcher makes,
// set through a handle opened from the hold, in the elevated launcher's own token. Set on
// that handle alone: SetSecurityInfo would walk what is inside to pass the entries on,
// through whatever links lie there.
bool Repair(Road& road, const std::wstring& path, const AclEntry* entries) {
  BYTE descriptor[256];
  const bool made = MakeDescriptor(entries, 6, nullptr, WellKnownSid(Principal::kAdministrators).bytes, descriptor,
                                   sizeof descriptor) != 0;
  road.user.RevertNow();
  UniqueFile folder = OpenRelative(road.chain.Deepest(), std::wstring(), READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                                   kShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT);
  const bool done = made && folder &&
                    ::SetKernelObjectSecurity(folder.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                              descriptor);
  CUtility::Log("[%s] %ls repaired: %d", kSource, path.c_str(), done ? 0 : static_cast<int>(::GetLastError()));
  // The copy goes on in the user's token, or not at all.
  return road.user.Resume() && done;
}

// "Ondrix" or "Temp" below the deepest folder of the road: opened as itself, made when
// missing (in the writer's token, with the launcher's DACL for its folders), and taken only
// when the rules accept it, after a repair where they ask for one.
DWORD TakeFolder(Road& road, const wchar_t* name, bool create, const AclEntry* entries) {
  BYTE descriptor[256];
  MakeDescriptor(entries, 6, nullptr, nullptr, descriptor, sizeof descriptor);
  if (!road.chain.Descend(name, create ? FolderChain::Create::kIfMissing : FolderChain::Create::kNo, true,
                          descriptor)) {
    const ChainFailure& failure = road.chain.Failure();
    road.user.RevertNow();
    if (failure.verdict == Verdict::kLink || failure.verdict == Verdict::kNotFolder) LogRefusal(kSource, failure);
    return failure.error != 0 ? failure.error : ERROR_CANT_ACCESS_FILE;
  }
  const std::wstring& path = road.chain.Path();
  for (bool mayRepair = road.elevated;; mayRepair = false) {
    BYTE buffer[4096];
    Security security;
    const DWORD error = ReadSecurity(road.chain.Deepest(), road.writer, buffer, security);
    const FolderJudgement judgement =
        JudgeFolder(security.readable, security.owner, security.entries, security.count, mayRepair);
    if (judgement.verdict == FolderVerdict::kTake) return ERROR_SUCCESS;
    if (judgement.verdict == FolderVerdict::kRepair && Repair(road, path, entries)) continue;
    // A refusal is logged in the launcher's own token, as every line is; the road ends here.
    road.user.RevertNow();
    // What the rules found, by verdict: see JudgeFolder.
    static const wchar_t* const kReasons[] = {L"not repaired", L"unreadable", L"another user's", L"grants others",
                                              L"passes on to others"};
    // An unreadable descriptor has no owner or entries to show.
    const AclEntry entry = judgement.entry < security.count ? security.entries[judgement.entry] : AclEntry{};
    wchar_t* owner = nullptr;
    if (security.ownerSid.length != 0) ::ConvertSidToStringSidW(const_cast<uint8_t*>(security.ownerSid.bytes), &owner);
    const UniqueLocal held(owner);
    CUtility::Log("[%s] %ls refused: %ls (owner %ls, entry %d: 0x%X 0x%X, error %d)", kSource, path.c_str(),
                  kReasons[static_cast<int>(judgement.verdict) - 1], owner != nullptr ? owner : L"",
                  static_cast<int>(judgement.entry), static_cast<unsigned>(entry.mask),
                  static_cast<unsigned>(entry.flags), static_cast<int>(error));
    return ERROR_ACCESS_DENIED;
  }
}

// Renames the open file over `name` in `folder`, replacing what is there.
DWORD RenameOver(HANDLE file, HANDLE folder, const std::wstring& name) {
  struct {
    BOOLEAN replaceIfExists;
    HANDLE rootDirectory;
    ULONG fileNameLength;
    wchar_t fileName[MAX_PATH];
  } rename{TRUE, folder, static_cast<ULONG>(name.size() * sizeof(wchar_t)), {}};
  if (name.size() >= MAX_PATH) return ERROR_BAD_PATHNAME;
  name.copy(rename.fileName, name.size());
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = Nt().setInformationFile(file, &io, &rename, sizeof rename, kFileRenameInformation);
  return status >= 0 ? ERROR_SUCCESS : SetErrorFromStatus(status);
}

// The launcher's own bytes, read through the held file, to `name` in the held folder.
DWORD CopyOwnFile(Road& road, const std::wstring& name, const std::wstring& path) {
  const CLauncherFile* own = CLauncherFile::Own();
  const HANDLE folder = road.chain.Deepest();
  if (own == nullptr) return ERROR_INVALID_HANDLE;
  // What is at the name: nothing, the writer's own file, or another's, which stays as it is.
  UniqueFile there;
  DWORD error = 0;
  Verdict verdict = OpenChecked(folder, name, {FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, false}, there, error);
  if (verdict == Verdict::kAccepted) {
    BYTE buffer[4096];
    Security security;
    if (ReadSecurity(there.get(), road.writer, buffer, security) != ERROR_SUCCESS ||
        !IsWritersOwn(security.ownerSid, road.writer)) {
      road.user.RevertNow();
      CUtility::Log("[%s] %ls taken by another user", kSource, path.c_str());
      return ERROR_FILE_EXISTS;
    }
    there.reset();  // an open file cannot be replaced
  } else if (verdict != Verdict::kMissing) {
    road.user.RevertNow();
    if (verdict != Verdict::kFailed) LogRefusal(kSource, {path, verdict, error});
    return error != 0 ? error : ERROR_CANT_ACCESS_FILE;
  }

  // Written under a name no one can know beforehand, made by this very call, with the copy's
  // own DACL; then renamed over the name.
  uint8_t random[16];
  BYTE descriptor[256];
  if (MakeDescriptor(kCopyEntries, 4, road.userSid, nullptr, descriptor, sizeof descriptor) == 0 ||
      !CUtility::GenRandom(random, sizeof random))
    return ERROR_INVALID_SECURITY_DESCR;
  UniqueFile file;
  // (The random part is made as an elevated work folder's is; "n" and ".tmp" mark no session's.)
  verdict = OpenChecked(folder, ElevatedFolderName(-1, random, sizeof random) + L".tmp",
                        {GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, 0, FILE_CREATE, false, descriptor}, file,
                        error);
  if (verdict != Verdict::kAccepted) return error != 0 ? error : ERROR_CANT_ACCESS_FILE;
  static char buffer[64 * 1024];  // zeroed data of the image, not the stack
  DWORD got = 0, written = 0;
  bool ok = true;
  for (uint64_t at = 0; ok; at += got) {
    ok = own->ReadAt(at, buffer, sizeof buffer, got);
    if (ok && got == 0) break;
    ok = ok && ::WriteFile(file.get(), buffer, got, &written, nullptr) && written == got;
  }
  // A short write may leave no error behind: the copy still failed.
  error = ok ? RenameOver(file.get(), folder, name) : ::GetLastError();
  if (ok && error == ERROR_SUCCESS) return error;
  DeleteEntryAt(file.get());
  return error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT;
}

}  // namespace

void WriteBackupForElevation() {
  DWORD versionMS = 0, versionLS = 0;
  CUtility::GetProductVersion(versionMS, versionLS);
  const std::wstring source = CUtility::GetModulePath();
  wchar_t base[MAX_PATH] = {};
  const bool common = SharedTempBase(base);
  const std::wstring shared = CUtility::GetSharedTempFolder();
  const std::wstring destination = BackupFileName(shared, static_cast<int>(GetOwnSessionId()), versionMS, versionLS);
  CImpersonateUser user;
  const bool elevated = CUtility::IsProcessElevated();
  DWORD result = ERROR_NO_TOKEN;
  if (user.IsImpersonating() || !elevated) {
    Road road{user, elevated, {}, {}, {}, {}};
    // The common folder is the system's, but below it any user may make folders: "Ondrix" and
    // "Temp" are taken only as themselves and only where no one else can change what is in
    // them. Without the common folder the Windows temp folder serves, as it stands.
    if (!road.ReadWriter())
      result = ::GetLastError();
    else if (!road.chain.Open(base, false, false))
      result = road.chain.Failure().error;
    else if ((!common || (result = TakeFolder(road, L"Ondrix", true, kTopFolderEntries)) == ERROR_SUCCESS) &&
             (result = TakeFolder(road, L"Temp", common, kTempFolderEntries)) == ERROR_SUCCESS)
      result = CopyOwnFile(road, destination.substr(shared.size() + 1), destination);
  }
  user.RevertNow();
  CUtility::Log("[%s] backup for elevation %ls to %ls %d", kSource, source.c_str(), destination.c_str(),
                static_cast<int>(result));
}

}  // namespace lumo

std::wstring CUtility::GetSharedTempFolder() {
  wchar_t folder[MAX_PATH] = {};
  if (lumo::SharedTempBase(folder)) ::PathAppendW(folder, L"Ondrix");
  ::PathAppendW(folder, L"Temp");
  return folder;
}

BOOL CUtility::GetProductVersion(DWORD& versionMS, DWORD& versionLS) {
  // The running module's own resource: by construction the version of what runs, whatever
  // lies at the launcher's path by now.
  const HMODULE self = ::GetModuleHandleW(nullptr);
  const HRSRC resource = ::FindResourceW(self, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
  const HGLOBAL loaded = resource != nullptr ? ::LoadResource(self, resource) : nullptr;
  const BYTE* data = loaded != nullptr ? static_cast<const BYTE*>(::LockResource(loaded)) : nullptr;
  const DWORD size = resource != nullptr ? ::SizeofResource(self, resource) : 0;
  // VerQueryValueW may write into the block it is given (room for its text conversions, as
  // GetFileVersionInfoSizeW leaves, twice the resource): a copy of our own, never the mapped
  // image, as large as the resource asks.
  if (data == nullptr || size == 0) return FALSE;
  std::vector<BYTE> block(2 * static_cast<std::size_t>(size));
  std::memcpy(block.data(), data, size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  const BOOL found = ::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length);
  if (found && fixed != nullptr && length >= sizeof(VS_FIXEDFILEINFO)) {
    versionMS = fixed->dwProductVersionMS;
    versionLS = fixed->dwProductVersionLS;
  }
  return found;
}
