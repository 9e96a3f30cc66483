// The decisions of the recursive folder removal, apart from the file system calls that
// carry them out.
#pragma once

#include <cstdint>
#include <string>

namespace lumo {

// File attribute bits as the system reports them (kept here so the core needs no SDK).
constexpr uint32_t kAttributeReadOnly = 0x1;
constexpr uint32_t kAttributeHidden = 0x2;
constexpr uint32_t kAttributeSystem = 0x4;
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeArchive = 0x20;
constexpr uint32_t kAttributeNormal = 0x80;
constexpr uint32_t kAttributeReparsePoint = 0x400;
constexpr uint32_t kReparseTagMountPoint = 0xA0000003u;

enum class TreeStep {
  kSkip,        // "." and ".."
  kDescend,     // a real subfolder: empty it, then remove it
  kRemoveLink,  // a junction, mount point or directory link: remove the link, never enter it
  kRemoveFile,  // a file (or a file link, which removes the link only)
  kKeep,        // left in place: a protected mount point, or not the entry the listing showed
};

// What the walk makes of one entry of a folder's listing, before it opens it. A reparse
// point is never entered: what it points to lies outside the tree being deleted.
TreeStep DecideTreeStep(const std::wstring& name, uint32_t attributes);

// What the walk does with an entry it has opened as itself (never through a link):
// `listed` are the attributes the listing (or, for the top of the tree, the path) showed,
// `opened` and `reparseTag` what the open handle reports. The handle decides, with two
// exceptions that keep the entry: a mount point where mount points are protected, and an
// entry listed as a link that the handle does not show as one: then the system opened
// what the link points to (Wine does so with Unix symbolic links), and nothing may be
// done through that handle.
TreeStep DecideOpenedStep(uint32_t listed, uint32_t opened, uint32_t reparseTag, bool protectedArea);

// The attributes to give an entry before it is deleted: read-only, hidden and system
// cleared (Windows refuses to delete a read-only file or folder). 0 when none of them is
// set and nothing needs changing.
uint32_t AttributesForDeletion(uint32_t attributes);
// The settable part of an entry's attributes, to put back when its deletion failed.
uint32_t AttributesToRestore(uint32_t attributes);

// True when a request failed because the system or the file system does not offer it
// (a deletion with POSIX semantics before Windows 10 1607, on FAT or under Wine; a listing
// class a network redirector lacks), so that the plainer request is the one to use.
bool RequestNotSupported(uint32_t win32Error);

// The walk's folder prefix: the path with exactly one trailing backslash added when it has
// none.
std::wstring FolderPrefix(const std::wstring& path);

// True when mount points under this path are protected from removal: the path holds
// "ProgramData" (case-sensitive, as the shared product folders are spelled).
bool IsProtectedMountArea(const std::wstring& path);

}  // namespace lumo
