// The decisions of the recursive folder removal, apart from the file system calls that
// carry them out.
#pragma once

#include <cstdint>
#include <string>

namespace lumo {

// File attribute bits as the system reports them (kept here so the core needs no SDK).
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeReparsePoint = 0x400;
constexpr uint32_t kReparseTagMountPoint = 0xA0000003u;

enum class TreeStep {
  kSkip,        // "." and ".."
  kDescend,     // a real subfolder: empty it, then remove it
  kRemoveLink,  // a junction, mount point or directory link: remove the link, never enter it
  kRemoveFile,  // a file (or a file link, which removes the link only)
};

// What the walk does with one entry found in a folder. A reparse point is never entered:
// what it points to lies outside the tree being deleted.
TreeStep DecideTreeStep(const std::wstring& name, uint32_t attributes);

// The walk's folder prefix: the path with exactly one trailing backslash added when it has
// none.
std::wstring FolderPrefix(const std::wstring& path);

// True when mount points under this path are protected from removal: the path holds
// "ProgramData" (case-sensitive, as the shared product folders are spelled).
bool IsProtectedMountArea(const std::wstring& path);

}  // namespace lumo
