// What the release kit may leave on a machine, listed so that a run can be compared with the
// machine it found and what it added can be removed: the tasks named ALUMO*, the product's and
// the stand-ins' folders under the common application-data folder, the elevated runs' folders
// under the Windows temp folder, the product's and the tests' registry keys, and the kit's
// own accounts (lumokit-*).
#pragma once

#include <map>
#include <string>

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

}  // namespace kit
