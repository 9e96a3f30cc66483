// Folder removal through handles (the CUtility folder-tree routines are built on these).
#pragma once

#include <windows.h>

#include <string>

#include "util/handles.h"

namespace lumo {

// Opens `name` inside the folder open in `parent` as itself: a link is opened, not what it
// points to, and no path above the name is parsed again. An empty name opens the object
// of `parent` once more. Shared with everyone; invalid, with the last error set, on failure.
UniqueFile OpenInFolder(HANDLE parent, const std::wstring& name, DWORD access);

// Deletes the folder open in `folder` with everything in it, through handles only; the
// folder is opened once more from that handle to be deleted, so `folder` itself needs no
// particular access. `path` serves the rule that keeps mount points under "ProgramData"
// and nothing else. True when everything went.
bool DeleteFolderTreeAt(HANDLE folder, const std::wstring& path);

}  // namespace lumo
