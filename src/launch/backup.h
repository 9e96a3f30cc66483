// The backup copy of the launcher in the shared temp folder, which the agent later starts
// when it needs to elevate (the rules: launch/core/backup_rules.h).
#pragma once

namespace lumo {

// Writes the copy beside the product start, with its log lines; a refusal ends only the copy.
void WriteBackupForElevation();

}  // namespace lumo
