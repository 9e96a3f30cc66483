// What the release kit may leave on a machine, listed so that a run can be compared with the
// machine it found and what it added can be removed: the tasks named ALUMO*, the product's and
// the stand-ins' folders under the common application-data folder, the elevated runs' folders
// under the Windows temp folder, the product's and the tests' registry keys, and the kit's
// own accounts (lumokit-*).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kit {

// One line per item: "KIND<TAB>NAME" mapped to a detail that changes with the item's
// content (a file's size and time of last write); KIND is task, folder, file, key, value or
// account.
using MachineState = std::map<std::wstring, std::wstring>;

MachineState ReadMachineState();
std::wstring FormatState(const MachineState& state);
MachineState ParseState(const std::wstring& text);

// One line per difference ("added: ...", "gone: ...", "changed: ..."); empty when none.
std::wstring Differences(const MachineState& before, const MachineState& now);

// Removes what `now` holds and `before` does not, each removal one line in `report`; false
// when something stayed.
bool RemoveAdded(const MachineState& before, const MachineState& now, std::wstring& report);

// What of the machine as it stands the kit's tests may change, kept in `folder` so that it can
// be put back: which folders "Ondrix" and "Ondrix\Temp" are (an elevated run moves one of
// another owner aside, as "<name>.<32 hex>.old" within its parent, and makes a new one),
// copies of the backup copies (Lumo*.exe) below "Ondrix", and the data of every value listed.
bool SaveContents(const MachineState& state, const std::wstring& folder);

// Puts a folder that was moved aside back under its name, removing what stands there now.
// One that cannot go back is named in `stranded`: it holds what stood before, and stays.
bool PutBackMovedFolders(const std::wstring& folder, std::vector<std::wstring>& stranded, std::wstring& report);

// `state` without the folder `path` and all below it.
void LeaveOut(MachineState& state, const std::wstring& path);

// Makes the folders and keys of `before` that are gone, and writes back the files and values
// kept in `folder` that are gone or changed.
bool PutBackChanged(const MachineState& before, const std::wstring& folder, std::wstring& report);

}  // namespace kit
