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
#include <vector>

#include "unpack/core/folder_walk.h"
#include "util/utility.h"

namespace lumo {
namespace {

// Not in the SDK headers for Windows 7: the disposition with POSIX semantics (Windows 10
// 1607 and later) takes the name away at once, even while others still have the file open.
constexpr int kFileDispositionInfoEx = 21;
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;

// What every entry is opened with; folders also get FILE_LIST_DIRECTORY. Shared with
// everyone: the walk does not get in the way of other programs, it only deletes.
constexpr DWORD kEntryAccess = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct Listed {
  std::wstring name;
  DWORD attributes;
};

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

bool ReadAttributes(HANDLE entry, DWORD& attributes, DWORD& tag) {
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (!::GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &info, sizeof info)) return false;
  attributes = info.FileAttributes;
  tag = info.ReparseTag;
  return true;
}

bool SetAttributes(HANDLE entry, DWORD attributes) {
  FILE_BASIC_INFO basic{};  // zero times: left as they are
  basic.FileAttributes = attributes;
  return ::SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic) != FALSE;
}

// A file with other names (hard links) lives on after this one goes: its attributes are
// shared with those names and stay as they are.
bool HasOtherNames(HANDLE entry) {
  FILE_STANDARD_INFO standard{};
  return !::GetFileInformationByHandleEx(entry, FileStandardInfo, &standard, sizeof standard) ||
         standard.NumberOfLinks > 1;
}

bool MarkForDeletion(HANDLE entry) {
  DWORD posix = kDispositionDelete | kDispositionPosixSemantics;
  if (::SetFileInformationByHandle(entry, static_cast<FILE_INFO_BY_HANDLE_CLASS>(kFileDispositionInfoEx), &posix,
                                   sizeof posix))
    return true;
  if (!RequestNotSupported(::GetLastError())) return false;
  // Windows before 10 1607, file systems without POSIX semantics, Wine: the name goes when
  // the last handle to the entry is closed.
  FILE_DISPOSITION_INFO plain{TRUE};
  return ::SetFileInformationByHandle(entry, FileDispositionInfo, &plain, sizeof plain) != FALSE;
}

bool DeleteThrough(HANDLE entry, DWORD attributes) {
  const DWORD cleared = AttributesForDeletion(attributes);
  const bool isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;  // folders have one name
  const bool changed = cleared != 0 && (isFolder || !HasOtherNames(entry)) && SetAttributes(entry, cleared);
  const bool deleted = MarkForDeletion(entry);
  if (changed && !deleted) SetAttributes(entry, AttributesToRestore(attributes));
  return deleted;
}

// Appends the entries of one listing buffer; both layouts end in the name.
template <typename Info>
void TakeEntries(const BYTE* buffer, std::vector<Listed>& entries) {
  for (const BYTE* at = buffer;;) {
    const Info* info = reinterpret_cast<const Info*>(at);
    entries.push_back({std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t)), info->FileAttributes});
    if (info->NextEntryOffset == 0) break;
    at += info->NextEntryOffset;
  }
}

// The whole listing of a folder, read through its handle before anything in it changes.
// FileIdBothDirectoryInfo is what the file systems of Windows answer; the few that do not
// (some network redirectors) answer FileFullDirectoryInfo.
bool ListFolder(HANDLE folder, std::vector<Listed>& entries) {
  std::vector<ULONGLONG> storage(64 * 1024 / sizeof(ULONGLONG));  // 8-byte aligned
  BYTE* buffer = reinterpret_cast<BYTE*>(storage.data());
  const DWORD size = static_cast<DWORD>(storage.size() * sizeof(ULONGLONG));
  bool idBoth = true;
  for (bool first = true;;) {
    const FILE_INFO_BY_HANDLE_CLASS kind =
        idBoth ? (first ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo)
               : (first ? FileFullDirectoryRestartInfo : FileFullDirectoryInfo);
    if (!::GetFileInformationByHandleEx(folder, kind, buffer, size)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_NO_MORE_FILES || (first && error == ERROR_FILE_NOT_FOUND)) return true;
      if (first && idBoth && RequestNotSupported(error)) {
        idBoth = false;
        continue;
      }
      return false;
    }
    if (idBoth)
      TakeEntries<FILE_ID_BOTH_DIR_INFO>(buffer, entries);
    else
      TakeEntries<FILE_FULL_DIR_INFO>(buffer, entries);
    first = false;
  }
}

bool DeleteEntry(HANDLE entry, const std::wstring& path, DWORD listed);

// Deletes what a folder holds; true when all of it went.
bool EmptyFolder(HANDLE folder, const std::wstring& path) {
  std::vector<Listed> entries;
  if (!ListFolder(folder, entries)) return false;
  const std::wstring prefix = FolderPrefix(path);
  bool all = true;
  for (const Listed& listed : entries) {
    const TreeStep step = DecideTreeStep(listed.name, listed.attributes);
    if (step == TreeStep::kSkip) continue;
    const DWORD access = step == TreeStep::kDescend ? kEntryAccess | FILE_LIST_DIRECTORY : kEntryAccess;
    UniqueFile child = OpenInFolder(folder, listed.name, access);
    if (!child) {
      all = all && IsMissing(::GetLastError());  // gone meanwhile: fine
      continue;
    }
    all = DeleteEntry(child.get(), prefix + listed.name, listed.attributes) && all;
  }
  return all;
}

// One opened entry: a folder is emptied first, a link or file deleted as it is.
bool DeleteEntry(HANDLE entry, const std::wstring& path, DWORD listed) {
  DWORD attributes = 0, tag = 0;
  if (!ReadAttributes(entry, attributes, tag)) return false;
  switch (DecideOpenedStep(listed, attributes, tag, IsProtectedMountArea(path))) {
    case TreeStep::kDescend:
      if (!EmptyFolder(entry, path)) return false;
      break;
    case TreeStep::kRemoveLink:
    case TreeStep::kRemoveFile:
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
  if (!ReadAttributes(top, attributes, tag)) return false;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
  return DeleteEntry(top, path, byPath ? PathAttributes(path, attributes) : attributes);
}

// A single entry by path, for RemoveFile and RemoveFolder.
bool RemoveEntry(const std::wstring& path, bool folder) {
  UniqueFile entry = OpenPath(path, kEntryAccess);
  if (!entry) return IsMissing(::GetLastError());
  DWORD attributes = 0, tag = 0;
  if (!ReadAttributes(entry.get(), attributes, tag)) return false;
  const TreeStep step = DecideOpenedStep(PathAttributes(path, attributes), attributes, tag, IsProtectedMountArea(path));
  const bool isFolder = step == TreeStep::kDescend || step == TreeStep::kRemoveLink;
  if (step == TreeStep::kKeep || isFolder != folder) return false;
  return DeleteThrough(entry.get(), attributes);
}

struct NtFunctions {
  NTSTATUS(NTAPI* createFile)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG,
                              ULONG, ULONG, PVOID, ULONG) = nullptr;
  ULONG(NTAPI* toWin32Error)(NTSTATUS) = nullptr;
  NtFunctions() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    createFile = reinterpret_cast<decltype(createFile)>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtCreateFile")));
    toWin32Error =
        reinterpret_cast<decltype(toWin32Error)>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlNtStatusToDosError")));
  }
};

}  // namespace

UniqueFile OpenInFolder(HANDLE parent, const std::wstring& name, DWORD access) {
  // Looked up on every call: two lookups cost nothing beside opening a file, and a static
  // object with a constructor would bring in the runtime's guarded initialisation.
  const NtFunctions nt;
  if (nt.createFile == nullptr || nt.toWin32Error == nullptr) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return UniqueFile();
  }
  UNICODE_STRING objectName;
  objectName.Buffer = const_cast<PWSTR>(name.c_str());
  objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  objectName.MaximumLength = objectName.Length;
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &objectName, OBJ_CASE_INSENSITIVE, parent, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  // FILE_OPEN_REPARSE_POINT and FILE_OPEN_FOR_BACKUP_INTENT are what CreateFileW makes of
  // FILE_FLAG_OPEN_REPARSE_POINT and FILE_FLAG_BACKUP_SEMANTICS.
  const NTSTATUS status =
      nt.createFile(&handle, access | SYNCHRONIZE, &object, &io, nullptr, 0, kShareAll, FILE_OPEN,
                    FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status < 0) {
    ::SetLastError(nt.toWin32Error(status));
    return UniqueFile();
  }
  return UniqueFile(handle);
}

bool DeleteFolderTreeAt(HANDLE folder, const std::wstring& path) {
  UniqueFile top = OpenInFolder(folder, std::wstring(), kEntryAccess | FILE_LIST_DIRECTORY);
  return top && DeleteTreeTop(top.get(), path, false);
}

}  // namespace lumo

bool CUtility::DeleteFolderTree(const std::wstring& path) {
  lumo::UniqueFile top = lumo::OpenPath(path, lumo::kEntryAccess | FILE_LIST_DIRECTORY);
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
