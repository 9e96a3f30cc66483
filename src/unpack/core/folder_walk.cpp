#include "unpack/core/folder_walk.h"

namespace lumo {

TreeStep DecideTreeStep(const std::wstring& name, uint32_t attributes) {
  if ((attributes & kAttributeDirectory) == 0) return TreeStep::kRemoveFile;
  if (name == L"." || name == L"..") return TreeStep::kSkip;
  if ((attributes & kAttributeReparsePoint) != 0) return TreeStep::kRemoveLink;
  return TreeStep::kDescend;
}

std::wstring FolderPrefix(const std::wstring& path) {
  if (!path.empty() && path.back() == L'\\') return path;
  return path + L'\\';
}

bool IsProtectedMountArea(const std::wstring& path) {
  return path.find(L"ProgramData") != std::wstring::npos;
}

}  // namespace lumo
