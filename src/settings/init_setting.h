// CInitSetting: the settings that came with this download, read from the initial settings
// file in the work folder. The rules live in settings/core/init_rules; this class only
// finds the file and reads its keys through the platform's profile reader.
#pragma once

#include <string>

#include "settings/core/init_rules.h"

class CInitSetting : public lumo::InitSettings {
 public:
  // Reads ".init_setting.ini", else "setup.ini", section "Settings", from the folder (the
  // launcher's own folder when empty). A missing file leaves the record as it is.
  void Load(std::wstring folder);
  // The code with the "_C", "_M" and "_K" suffixes of the non-zero numbers.
  std::wstring ComposeSessionCode() const;
};
