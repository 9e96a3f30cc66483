// Recursive removal of a folder tree. What cannot be deleted (read-only files, files in
// use) stays, with the folders that hold it; attributes are never changed to force a
// deletion. Reparse points are removed as links and never entered, so nothing a junction
// or symbolic link points to is ever touched.
#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <vector>

#include "unpack/core/folder_walk.h"
#include "util/utility.h"

namespace {

// The reparse point itself, not its target, when the path names one.
bool IsReparsePoint(const std::wstring& path) {
  std::wstring plain = path;
  while (plain.size() > 3 && plain.back() == L'\\') plain.pop_back();
  const DWORD attributes = ::GetFileAttributesW(plain.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

bool CUtility::DeleteFolderTree(const std::wstring& path) {
  // A folder that is itself a link is removed as a link, without looking inside.
  if (IsReparsePoint(path)) return RemoveFolder(path);

  const std::wstring prefix = lumo::FolderPrefix(path);
  WIN32_FIND_DATAW data;
  lumo::UniqueFind find(::FindFirstFileW((prefix + L"*").c_str(), &data));
  if (find) {
    do {
      const std::wstring child = prefix + data.cFileName;
      switch (lumo::DecideTreeStep(data.cFileName, data.dwFileAttributes)) {
        case lumo::TreeStep::kSkip:
          break;
        case lumo::TreeStep::kDescend:
          DeleteFolderTree(child);
          break;
        case lumo::TreeStep::kRemoveLink:
          RemoveFolder(child);
          break;
        case lumo::TreeStep::kRemoveFile:
          RemoveFile(child);
          break;
      }
    } while (::FindNextFileW(find.get(), &data));
    find.reset();
  }
  return RemoveFolder(path);
}

bool CUtility::RemoveFile(const std::wstring& path) {
  if (!FileExists(path)) return true;
  if (IsMountPoint(path)) return false;
  return ::DeleteFileW(path.c_str()) != FALSE;
}

bool CUtility::RemoveFolder(const std::wstring& path) {
  if (!FileExists(path)) return true;
  if (IsMountPoint(path)) return false;
  return ::RemoveDirectoryW(path.c_str()) != FALSE;
}

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
