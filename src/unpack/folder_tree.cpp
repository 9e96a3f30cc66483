// Recursive removal of a folder tree, entry by entry through handles. Each entry is opened
// once as itself (a link is opened, never followed), relative to the handle of the folder
// that lists it, so no path is parsed again after the top of the tree: a folder swapped
// for a link while the walk runs is met as the link. Attributes and reparse tag come from
// that handle, a folder is listed through it, and the entry is deleted through it. What
// cannot be deleted (a file in use, a protected mount point) stays, with the folders that
// hold it; read-only, hidden and system attributes are cleared first, as deleting in
// Explorer does after asking, and put back when the deletion fails.
#include "unpack/folder_tree.h"

#include <winioctl.h>
#include <winternl.h>

#include <cstring>
#include <cwchar>
#include <vector>

#include "unpack/core/folder_walk.h"
#include "unpack/core/work_folder.h"
#include "util/folder_chain.h"
#include "util/system_functions.h"
#include "util/utility.h"

namespace lumo {
namespace {

constexpr ULONG kFileBasicInformation = 4;
constexpr ULONG kFileRenameInformation = 10;
constexpr ULONG kFileDispositionInformation = 13;
// The disposition with POSIX semantics (Windows 10 1607 and later) takes the name away at
// once, even while others still have the file open.
constexpr ULONG kFileDispositionInformationEx = 64;
constexpr ULONG kDispositionDelete = 0x1;
constexpr ULONG kDispositionPosixSemantics = 0x2;

constexpr NTSTATUS kNoMoreFiles = static_cast<NTSTATUS>(0x80000006);
constexpr NTSTATUS kNoSuchFile = static_cast<NTSTATUS>(0xC000000F);

// What every entry is opened with; folders also get FILE_LIST_DIRECTORY. On NTFS the right
// to delete may come from the parent folder (FILE_DELETE_CHILD), the right to write
// attributes only from the entry's own ACL: that one is asked for through a second open, and
// only when attributes must be cleared. Shared with everyone: the walk does not get in the
// way of other programs, it only deletes.
constexpr DWORD kEntryAccess = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::wstring WithoutTrailingBackslash(std::wstring path) {
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  return path;
}

bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// The top of a tree, or a single entry, by its path: the last component is opened as
// itself (FILE_FLAG_OPEN_REPARSE_POINT), a folder too (FILE_FLAG_BACKUP_SEMANTICS).
UniqueFile OpenPath(const std::wstring& path, DWORD access) {
  return UniqueFile(::CreateFileW(WithoutTrailingBackslash(path).c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// What the path itself shows plays the part of the listing for an entry opened by path: a
// path that names a link the handle does not show as one was opened through that link.
DWORD PathAttributes(const std::wstring& path, DWORD opened) {
  const DWORD attributes = ::GetFileAttributesW(WithoutTrailingBackslash(path).c_str());
  return attributes == INVALID_FILE_ATTRIBUTES ? opened : attributes;
}

bool SetInformation(HANDLE entry, void* info, ULONG size, ULONG kind) {
  const NtApi& nt = Nt();
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = nt.complete ? nt.setInformationFile(entry, &io, info, size, kind) : kProcedureNotFound;
  if (status < 0) SetErrorFromStatus(status);
  return status >= 0;
}

bool SetAttributes(HANDLE entry, DWORD attributes) {
  FILE_BASIC_INFORMATION basic{};  // zero times: left as they are
  basic.FileAttributes = attributes;
  return SetInformation(entry, &basic, sizeof basic, kFileBasicInformation);
}

// A file with other names (hard links) lives on after this one goes: its attributes are
// shared with those names and stay as they are.
bool HasOtherNames(HANDLE entry) {
  DWORD links = 0;
  return !QueryLinkCount(entry, links) || links > 1;
}

bool MarkForDeletion(HANDLE entry) {
  ULONG posix = kDispositionDelete | kDispositionPosixSemantics;
  if (SetInformation(entry, &posix, sizeof posix, kFileDispositionInformationEx)) return true;
  if (!RequestNotSupported(::GetLastError())) return false;
  // Windows before 10 1607, file systems without POSIX semantics, Wine: the name goes when
  // the last handle to the entry is closed.
  FILE_DISPOSITION_INFORMATION plain{TRUE};
  return SetInformation(entry, &plain, sizeof plain, kFileDispositionInformation);
}

bool DeleteThrough(HANDLE entry, DWORD attributes) {
  const DWORD cleared = AttributesForDeletion(attributes);
  const bool isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;  // folders have one name
  UniqueFile writer;
  if (cleared != 0 && (isFolder || !HasOtherNames(entry)))
    writer = OpenRelative(entry, std::wstring(), FILE_WRITE_ATTRIBUTES, kShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT);
  const bool changed = writer && SetAttributes(writer.get(), cleared);
  const bool deleted = MarkForDeletion(entry);
  if (changed && !deleted) SetAttributes(writer.get(), AttributesToRestore(attributes));
  return deleted;
}

// Renames the file open in `entry` (with DELETE) within its folder to "lumo-n-<random>.old".
bool SetAside(HANDLE entry) { return !RenameAside(entry, nullptr, L"lumo-n-", 8).empty(); }

}  // namespace

std::wstring RenameAside(HANDLE entry, HANDLE folder, const std::wstring& stem, std::size_t randomBytes) {
  uint8_t random[16];
  if (randomBytes > sizeof random || !CUtility::GenRandom(random, static_cast<ULONG>(randomBytes)))
    return std::wstring();
  // The random part of "lumo-n-<hex>".
  const std::wstring aside = stem + ElevatedFolderName(-1, random, randomBytes).substr(7) + L".old";
  const std::size_t bytes = aside.size() * sizeof(wchar_t);
  // The structure ends in the name: a bare name renames within the folder.
  std::vector<ULONGLONG> buffer(1 + (sizeof(FILE_RENAME_INFORMATION) + bytes) / sizeof(ULONGLONG));
  auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = folder;
  rename->FileNameLength = static_cast<ULONG>(bytes);
  std::memcpy(rename->FileName, aside.c_str(), bytes);
  return SetInformation(entry, rename, static_cast<ULONG>(buffer.size() * sizeof(ULONGLONG)), kFileRenameInformation)
             ? aside
             : std::wstring();
}

// Read in the one class every file system answers (names and attributes are all the walk
// needs).
bool ListFolder(HANDLE folder, std::vector<Listed>& entries, const wchar_t* pattern) {
  const NtApi& nt = Nt();
  if (!nt.complete) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return false;
  }
  std::vector<ULONGLONG> storage(64 * 1024 / sizeof(ULONGLONG));  // 8-byte aligned
  const ULONG size = static_cast<ULONG>(storage.size() * sizeof(ULONGLONG));
  // The pattern of the first query holds for every later one on the handle.
  UNICODE_STRING mask{};
  if (pattern != nullptr) {
    mask.Buffer = const_cast<PWSTR>(pattern);
    mask.Length = mask.MaximumLength = static_cast<USHORT>(std::wcslen(pattern) * sizeof(wchar_t));
  }
  for (BOOLEAN restart = TRUE;; restart = FALSE) {
    IO_STATUS_BLOCK io{};
    const NTSTATUS status =
        nt.queryDirectoryFile(folder, nullptr, nullptr, nullptr, &io, storage.data(), size, kFileDirectoryInformation,
                              FALSE, pattern != nullptr ? &mask : nullptr, restart);
    if (status == kNoMoreFiles || (restart && status == kNoSuchFile)) return true;
    if (status < 0) {
      SetErrorFromStatus(status);
      return false;
    }
    for (const BYTE* at = reinterpret_cast<const BYTE*>(storage.data());;) {
      const auto* info = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(at);
      entries.push_back({std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t)), info->FileAttributes});
      if (info->NextEntryOffset == 0) break;
      at += info->NextEntryOffset;
    }
  }
}

namespace {

bool DeleteOpened(HANDLE entry, const std::wstring& path, const std::wstring& name, DWORD listed, bool setAside);

// Deletes what a folder holds; true when all of it went (`setAside`: or was renamed aside).
bool EmptyFolder(HANDLE folder, const std::wstring& path, bool setAside) {
  std::vector<Listed> entries;
  if (!ListFolder(folder, entries)) return false;
  const std::wstring prefix = FolderPrefix(path);
  bool all = true;
  for (const Listed& listed : entries) {
    const TreeStep step = DecideTreeStep(listed.name, listed.attributes);
    if (step == TreeStep::kSkip) continue;
    const DWORD access = step == TreeStep::kDescend ? kEntryAccess | FILE_LIST_DIRECTORY : kEntryAccess;
    UniqueFile child = OpenRelative(folder, listed.name, access, kShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT);
    if (!child) {
      all = all && IsMissing(::GetLastError());  // gone meanwhile: fine
      continue;
    }
    all = DeleteOpened(child.get(), prefix + listed.name, listed.name, listed.attributes, setAside) && all;
  }
  return all;
}

// One opened entry: a folder is emptied first, a link or file deleted as it is. An entry
// whose handle names another (what Wine opens through a Unix link to a file, which it lists
// as a plain file) is left alone: the handle is not the entry.
bool DeleteOpened(HANDLE entry, const std::wstring& path, const std::wstring& name, DWORD listed, bool setAside) {
  DWORD attributes = 0, tag = 0;
  if (!QueryAttributes(entry, attributes, tag) || !NamesItself(entry, name)) return false;
  switch (DecideOpenedStep(listed, attributes, tag, IsProtectedMountArea(path))) {
    case TreeStep::kDescend:
      if (!EmptyFolder(entry, path, setAside)) return false;
      break;
    case TreeStep::kRemoveFile:
      // A running program's file cannot be deleted, but it can be renamed.
      return DeleteThrough(entry, attributes) || (setAside && SetAside(entry));
    case TreeStep::kRemoveLink:
      break;
    case TreeStep::kSkip:
    case TreeStep::kKeep:
      return false;
  }
  return DeleteThrough(entry, attributes);
}

// The top of a tree must be a folder (or a link to one, which goes as a link). `byPath`:
// the top was opened by its path, whose own attributes then stand for the listing.
bool DeleteTreeTop(HANDLE top, const std::wstring& path, bool byPath) {
  DWORD attributes = 0, tag = 0;
  if (!QueryAttributes(top, attributes, tag)) return false;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
  return DeleteOpened(top, path, std::wstring(), byPath ? PathAttributes(path, attributes) : attributes, false);
}

// A single entry by path, for RemoveFile and RemoveFolder.
bool RemoveEntry(const std::wstring& path, bool folder) {
  UniqueFile entry = OpenPath(path, kEntryAccess);
  if (!entry) return IsMissing(::GetLastError());
  DWORD attributes = 0, tag = 0;
  if (!QueryAttributes(entry.get(), attributes, tag)) return false;
  const TreeStep step = DecideOpenedStep(PathAttributes(path, attributes), attributes, tag, IsProtectedMountArea(path));
  const bool isFolder = step == TreeStep::kDescend || step == TreeStep::kRemoveLink;
  if (step == TreeStep::kKeep || isFolder != folder) return false;
  return DeleteThrough(entry.get(), attributes);
}

}  // namespace

bool DeleteFolderTreeAt(HANDLE top, const std::wstring& path) { return DeleteTreeTop(top, path, false); }

bool EmptyFolderAt(HANDLE folder, const std::wstring& path) { return EmptyFolder(folder, path, true); }

bool DeleteEntryAt(HANDLE entry) {
  DWORD attributes = 0, tag = 0;
  return QueryAttributes(entry, attributes, tag) && DeleteThrough(entry, attributes);
}

}  // namespace lumo

bool CUtility::DeleteFolderTree(const std::wstring& path) {
  lumo::UniqueFile top = lumo::OpenPath(path, lumo::kFolderDeletionAccess);
  if (!top) return lumo::IsMissing(::GetLastError());
  return lumo::DeleteTreeTop(top.get(), path, true);
}

bool CUtility::RemoveFile(const std::wstring& path) { return lumo::RemoveEntry(path, false); }

bool CUtility::RemoveFolder(const std::wstring& path) { return lumo::RemoveEntry(path, true); }

bool CUtility::IsMountPoint(const std::wstring& path) {
  if (!lumo::IsProtectedMountArea(path)) return false;
  lumo::UniqueFile entry(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!entry) return false;
  std::vector<BYTE> buffer(4096);
  DWORD returned = 0;
  if (!::DeviceIoControl(entry.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &returned, nullptr))
    return false;
  if (returned < sizeof(DWORD)) return false;
  DWORD tag = 0;
  std::memcpy(&tag, buffer.data(), sizeof tag);
  return tag == lumo::kReparseTagMountPoint;
}
