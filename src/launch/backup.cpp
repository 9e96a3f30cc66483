// The backup copy: the launcher's own bytes in "Ondrix\Temp" of the common application-data
// folder, under a name made of the session and the version, for the agent's later use.
//
// Every user of the machine may make folders in the common folder, and anyone can work out
// the copy's name; the agent later elevates what lies there. So the copy is written in the
// session user's token (an elevated run must not write where the user could not; an elevated
// run without that token writes as itself), through handles opened as themselves, no
// link on the way; it goes only into folders that the rules of launch/core/backup_rules.h
// accept, the machine's or, for an unelevated run, the writer's own; it is written under a
// random name with its own protected DACL and then renamed over its name, replacing only the
// writer's or the machine's file, never adopting or writing into one. An elevated run makes
// the folders the machine's: it makes what is missing, and moves aside and makes anew what
// another owns, as itself, and removes another's file at the copy's name.
#include "launch/backup.h"

#include <windows.h>

#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <winternl.h>

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

  // Back in the writer's token, after work done as the launcher itself.
  bool Writes() { return !user.IsImpersonating() || user.Resume(); }

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

// The identity of an open entry: its volume and file index.
bool FileId(HANDLE entry, BY_HANDLE_FILE_INFORMATION& id) { return ::GetFileInformationByHandle(entry, &id) != FALSE; }

// What stands at `name` below the deepest held folder and is not the machine's goes aside: an
// elevated run moves it within its parent, as itself (a link is moved, never entered), and
// makes the machine's folder in its place, create-only, as itself. Whoever owned the old folder
// may still hold a handle that rewrites its DACL; no one but this run has opened the new one.
// `judged`: the folder the rules judged, whose hold is let go of already, which must still be
// what stands there; null for a link or a file the road refused, which must still be no plain
// folder. A folder another run holds cannot be opened for the move (its hold shares no deletion).
DWORD Replace(Road& road, const wchar_t* name, PSECURITY_DESCRIPTOR descriptor,
              const BY_HANDLE_FILE_INFORMATION* judged) {
  road.user.RevertNow();
  const std::wstring above = road.chain.Path();
  const HANDLE parent = road.chain.Deepest();
  UniqueFile there = OpenRelative(parent, name, DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                                  FILE_OPEN_REPARSE_POINT);
  // Not opened, or not what was judged.
  DWORD error = there ? static_cast<DWORD>(ERROR_FILE_INVALID) : ::GetLastError();
  BY_HANDLE_FILE_INFORMATION now{};
  bool same = there && FileId(there.get(), now);
  if (judged != nullptr)
    same = same && now.dwVolumeSerialNumber == judged->dwVolumeSerialNumber &&
           now.nFileIndexHigh == judged->nFileIndexHigh && now.nFileIndexLow == judged->nFileIndexLow;
  else
    same = same && (now.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) !=
                       FILE_ATTRIBUTE_DIRECTORY;
  const std::wstring aside = same ? RenameAside(there.get(), parent, std::wstring(name) + L'.', 16) : std::wstring();
  if (same) error = ::GetLastError();
  there.reset();
  if (aside.empty()) return error;
  CUtility::Log("[%s] %ls%ls moved aside to %ls", kSource, above.c_str(), name, (above + aside).c_str());
  return road.chain.Descend(name, FolderChain::Create::kOnly, true, descriptor) ? ERROR_SUCCESS
                                                                                : road.chain.Failure().error;
}

// One line for a folder the copy may not go into: the folder, why, and what the rules found
// (see JudgeFolder). A refusal is logged in the launcher's own token, as every line is.
void LogFolderRefused(const std::wstring& path, FolderVerdict verdict, const Security& security, std::size_t at,
                      DWORD error) {
  static const wchar_t* const kReasons[] = {L"not replaced", L"unreadable", L"another user's", L"grants others",
                                            L"passes on to others"};
  // Only a refusal for what an entry grants names one (-1 otherwise); an unreadable
  // descriptor has no owner or entries to show.
  if (verdict < FolderVerdict::kGrants) at = static_cast<std::size_t>(-1);
  const AclEntry entry = at < security.count ? security.entries[at] : AclEntry{};
  wchar_t* owner = nullptr;
  if (security.ownerSid.length != 0) ::ConvertSidToStringSidW(const_cast<uint8_t*>(security.ownerSid.bytes), &owner);
  const UniqueLocal held(owner);
  CUtility::Log("[%s] %ls refused: %ls (owner %ls, entry %d: 0x%X 0x%X, error %d)", kSource, path.c_str(),
                kReasons[static_cast<int>(verdict) - 1], owner != nullptr ? owner : L"", static_cast<int>(at),
                static_cast<unsigned>(entry.mask), static_cast<unsigned>(entry.flags), static_cast<int>(error));
}

// "Ondrix" or "Temp" below the deepest folder of the road, taken only as itself and only when
// the rules accept it. What is missing is made with the launcher's DACL for its folders: in
// the writer's token by an unelevated run, and by an elevated one as itself, owned by
// Administrators (not the token's default owner, which is the user where User Account Control
// is off). What this run made in that very call is taken as made: its descriptor is the one
// given, and no one else can hold a handle to it. An elevated run replaces what is not the
// machine's; the copy is still written in the writer's token. `ours`: a folder of the
// launcher's own, which may be made and replaced; otherwise (the Windows temp folder) it is
// only judged.
DWORD TakeFolder(Road& road, const wchar_t* name, bool ours, const AclEntry* entries) {
  BYTE descriptor[256];
  MakeDescriptor(entries, 6, nullptr, road.elevated ? WellKnownSid(Principal::kAdministrators).bytes : nullptr,
                 descriptor, sizeof descriptor);
  FolderChain& chain = road.chain;
  const std::wstring path = chain.Path() + name + L'\\';
  if (road.elevated) road.user.RevertNow();
  bool made = false;
  if (!chain.Descend(name, FolderChain::Create::kNo, true)) {
    made = ours && chain.Failure().verdict == Verdict::kMissing &&
           chain.Descend(name, FolderChain::Create::kOnly, true, descriptor);
    if (!made) {
      const ChainFailure failure = chain.Failure();
      const bool aside = failure.verdict == Verdict::kLink || failure.verdict == Verdict::kNotFolder;
      if (aside && ours && road.elevated && Replace(road, name, descriptor, nullptr) == ERROR_SUCCESS)
        return road.Writes() ? ERROR_SUCCESS : ::GetLastError();
      road.user.RevertNow();
      if (aside) LogRefusal(kSource, failure);
      return failure.error != 0 ? failure.error : ERROR_CANT_ACCESS_FILE;
    }
  }
  BYTE buffer[4096];
  Security security;
  DWORD error = made ? ERROR_SUCCESS : ReadSecurity(chain.Deepest(), road.writer, buffer, security);
  const FolderJudgement judgement =
      made ? FolderJudgement{FolderVerdict::kTake, 0}
           : JudgeFolder(security.readable, security.owner, security.entries, security.count, road.elevated);
  if (judgement.verdict == FolderVerdict::kReplace && ours) {
    BY_HANDLE_FILE_INFORMATION judged{};
    error = FileId(chain.Deepest(), judged) ? ERROR_SUCCESS : ::GetLastError();
    chain.TakeDeepest();  // its hold shares no deletion
    if (error == ERROR_SUCCESS) error = Replace(road, name, descriptor, &judged);
  }
  if (judgement.verdict == FolderVerdict::kTake || (judgement.verdict == FolderVerdict::kReplace && error == 0))
    return road.Writes() ? ERROR_SUCCESS : ::GetLastError();
  road.user.RevertNow();
  LogFolderRefused(path, judgement.verdict, security, judgement.entry, error);
  return ERROR_ACCESS_DENIED;
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
  // What is at the name: nothing, a file the copy may replace (the writer's or the machine's),
  // or another's, which the agent would elevate. An elevated run looks as itself and removes
  // another's through the handle it judged, opened as itself (no link, no folder, no second
  // name); an unelevated one leaves it, and makes no copy.
  UniqueFile there;
  DWORD error = 0;
  if (road.elevated) road.user.RevertNow();
  const CheckedOpen open{FILE_READ_ATTRIBUTES | (road.elevated ? DELETE : 0u), kShareAll, FILE_OPEN, false};
  Verdict verdict = OpenChecked(folder, name, open, there, error);
  if (verdict == Verdict::kAccepted) {
    BYTE buffer[4096];
    Security security;
    const bool read = ReadSecurity(there.get(), road.writer, buffer, security) == ERROR_SUCCESS;
    if (!read || !MayReplaceFile(security.ownerSid, road.writer)) {
      const bool removed = read && road.elevated && DeleteEntryAt(there.get());
      road.user.RevertNow();
      CUtility::Log(removed ? "[%s] %ls of another user removed" : "[%s] %ls taken by another user", kSource,
                    path.c_str());
      if (!removed) return ERROR_FILE_EXISTS;
    }
    there.reset();  // an open file cannot be replaced
  } else if (verdict != Verdict::kMissing) {
    road.user.RevertNow();
    if (verdict != Verdict::kFailed) LogRefusal(kSource, {path, verdict, error});
    return error != 0 ? error : ERROR_CANT_ACCESS_FILE;
  }
  if (!road.Writes()) return ::GetLastError();

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
  // The session user's token, where it can be had; an elevated run without it writes as itself,
  // into the machine's folders alone, and the copy is then the machine's.
  CImpersonateUser user;
  Road road{user, CUtility::IsProcessElevated(), {}, {}, {}, {}};
  DWORD result = ERROR_SUCCESS;
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
  // The file at the module's path is the launcher's own file, held since the start without
  // write or delete sharing: its resource is the version of what runs.
  const std::wstring path = GetModulePath();
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return FALSE;
  std::vector<BYTE> block(size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  const BOOL found = ::GetFileVersionInfoW(path.c_str(), 0, size, block.data()) &&
                     ::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length);
  if (found && fixed != nullptr && length >= sizeof(VS_FIXEDFILEINFO)) {
    versionMS = fixed->dwProductVersionMS;
    versionLS = fixed->dwProductVersionLS;
  }
  return found;
}
