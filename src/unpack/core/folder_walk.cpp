#include "unpack/core/folder_walk.h"

namespace lumo {

namespace {

constexpr uint32_t kProtection = kAttributeReadOnly | kAttributeHidden | kAttributeSystem;
// What FILE_BASIC_INFO may set: the protection bits, archive, temporary (0x100), offline
// (0x1000) and not-content-indexed (0x2000). Directory and reparse bits are the file
// system's own.
constexpr uint32_t kSettable = kProtection | kAttributeArchive | 0x100 | 0x1000 | 0x2000;

constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorInvalidParameter = 87;

}  // namespace

TreeStep DecideTreeStep(const std::wstring& name, uint32_t attributes) {
  if ((attributes & kAttributeDirectory) == 0) return TreeStep::kRemoveFile;
  if (name == L"." || name == L"..") return TreeStep::kSkip;
  if ((attributes & kAttributeReparsePoint) != 0) return TreeStep::kRemoveLink;
  return TreeStep::kDescend;
}

TreeStep DecideOpenedStep(uint32_t listed, uint32_t opened, uint32_t reparseTag, bool protectedArea) {
  const bool isLink = (opened & kAttributeReparsePoint) != 0;
  if ((listed & kAttributeReparsePoint) != 0 && !isLink) return TreeStep::kKeep;
  if (isLink && protectedArea && reparseTag == kReparseTagMountPoint) return TreeStep::kKeep;
  if ((opened & kAttributeDirectory) == 0) return TreeStep::kRemoveFile;
  return isLink ? TreeStep::kRemoveLink : TreeStep::kDescend;
}

uint32_t AttributesForDeletion(uint32_t attributes) {
  if ((attributes & kProtection) == 0) return 0;
  const uint32_t kept = attributes & kSettable & ~kProtection;
  return kept != 0 ? kept : kAttributeNormal;
}

uint32_t AttributesToRestore(uint32_t attributes) {
  const uint32_t settable = attributes & kSettable;
  return settable != 0 ? settable : kAttributeNormal;
}

bool RequestNotSupported(uint32_t win32Error) {
  return win32Error == kErrorInvalidParameter || win32Error == kErrorInvalidFunction ||
         win32Error == kErrorNotSupported;
}

std::wstring FolderPrefix(const std::wstring& path) {
  if (!path.empty() && path.back() == L'\\') return path;
  return path + L'\\';
}

bool IsProtectedMountArea(const std::wstring& path) {
  return path.find(L"ProgramData") != std::wstring::npos;
}

}  // namespace lumo
