// Folder removal through handles (the CUtility folder-tree routines are built on these).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace lumo {

// An entry as its folder's listing shows it.
struct Listed {
  std::wstring name;
  DWORD attributes;
};

// The whole listing of the folder open in `folder` (with FILE_LIST_DIRECTORY), or of the
// names that match `pattern` ("lumo-*") when one is given, read through the handle before
// anything in it changes.
bool ListFolder(HANDLE folder, std::vector<Listed>& entries, const wchar_t* pattern = nullptr);

// What a folder is opened with to be emptied and deleted through its handle.
constexpr DWORD kFolderDeletionAccess = DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// Deletes the folder open in `top` (opened as itself, with kFolderDeletionAccess) with
// everything in it, through handles only. `path` names it in the one rule that needs a path:
// mount points under "ProgramData" stay. True when everything went.
bool DeleteFolderTreeAt(HANDLE top, const std::wstring& path);

// Deletes the one entry open in `entry` (opened as itself, with DELETE and
// FILE_READ_ATTRIBUTES): a file, a link, or a folder only when it is empty.
bool DeleteEntryAt(HANDLE entry);

// Renames the entry open in `entry` (with DELETE) within its folder, open in `folder` (null:
// left to the system, which Wine does not do), to `stem`, the random digits of an elevated
// run's folder name (two per byte of `randomBytes`) and ".old", never over another entry: a
// name nothing looks for. The new name, or empty when that failed.
std::wstring RenameAside(HANDLE entry, HANDLE folder, const std::wstring& stem, std::size_t randomBytes);

// Deletes everything in the folder open in `folder` (as DeleteFolderTreeAt opens it) and keeps
// the folder itself. A file that cannot go (a program running from it) is renamed within its
// folder to a name no one looks for, so that nothing is found under its own name any more.
// True when the folder was emptied (renamed files aside).
bool EmptyFolderAt(HANDLE folder, const std::wstring& path);

}  // namespace lumo
