#include "util/core/checked_path.h"

#include <cwchar>

namespace lumo {

namespace {

constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeReparsePoint = 0x400;

// "X:\" at the start of a NUL-terminated text.
bool IsDriveRoot(const wchar_t* at) {
  const wchar_t letter = at[0];
  return ((letter >= L'A' && letter <= L'Z') || (letter >= L'a' && letter <= L'z')) && at[1] == L':' && at[2] == L'\\';
}

// The end of "server\share\" starting at `at`, or npos when either name is missing.
std::size_t ShareEnd(const std::wstring& path, std::size_t at) {
  const std::size_t server = path.find(L'\\', at);
  if (server == std::wstring::npos || server == at) return std::wstring::npos;
  const std::size_t share = path.find(L'\\', server + 1);
  if (share == server + 1 || server + 1 == path.size()) return std::wstring::npos;
  return share == std::wstring::npos ? path.size() : share + 1;
}

std::size_t RootLength(const std::wstring& path) {
  std::size_t at = 0;
  if (path.compare(0, 4, L"\\\\?\\") == 0) {
    at = 4;
    if (path.compare(at, 4, L"UNC\\") == 0) return ShareEnd(path, at + 4);
  } else if (path.compare(0, 2, L"\\\\") == 0) {
    return ShareEnd(path, 2);
  }
  return IsDriveRoot(path.c_str() + at) ? at + 3 : std::wstring::npos;
}

}  // namespace

bool SplitFolderPath(const std::wstring& path, std::wstring& root, std::vector<std::wstring>& components) {
  components.clear();
  const std::size_t rootLength = RootLength(path);
  if (rootLength == std::wstring::npos) return false;
  root = path.substr(0, rootLength);
  if (root.back() != L'\\') root += L'\\';
  for (std::size_t at = rootLength; at < path.size();) {
    std::size_t end = path.find(L'\\', at);
    if (end == std::wstring::npos) end = path.size();
    const std::wstring name = path.substr(at, end - at);
    if (name == L"." || name == L"..") return false;
    if (!name.empty()) components.push_back(name);
    at = end + 1;
  }
  return true;
}

const wchar_t* Win32PathFromFinal(wchar_t* path) {
  if (std::wcsncmp(path, L"\\\\?\\", 4) != 0) return nullptr;
  if (std::wcsncmp(path + 4, L"UNC\\", 4) == 0) {
    // "\\?\UNC\server\share..." becomes "\\server\share...": a backslash where the "C" stood.
    const wchar_t* share = std::wcschr(path + 8, L'\\');
    if (share == nullptr || share == path + 8 || share[1] == L'\0') return nullptr;
    path[6] = L'\\';
    return path + 6;
  }
  return IsDriveRoot(path + 4) ? path + 4 : nullptr;
}

Verdict JudgeOpened(uint32_t opened, uint32_t listed, bool namesItself, bool wantFolder, uint32_t links) {
  if (((opened | listed) & kAttributeReparsePoint) != 0 || !namesItself) return Verdict::kLink;
  const bool isFolder = (opened & kAttributeDirectory) != 0;
  if (wantFolder) return isFolder ? Verdict::kAccepted : Verdict::kNotFolder;
  if (isFolder) return Verdict::kFailed;
  return links > 1 ? Verdict::kOtherNames : Verdict::kAccepted;
}

std::wstring DescribeVerdict(Verdict verdict, uint32_t error) {
  switch (verdict) {
    case Verdict::kAccepted:
      return L"accepted";
    case Verdict::kMissing:
      return L"missing";
    case Verdict::kLink:
      return L"a link (reparse point)";
    case Verdict::kNotFolder:
      return L"not a folder";
    case Verdict::kOtherNames:
      return L"a file with other names (hard links)";
    case Verdict::kFailed:
      break;
  }
  return L"cannot be opened (error " + std::to_wstring(error) + L")";
}

}  // namespace lumo
