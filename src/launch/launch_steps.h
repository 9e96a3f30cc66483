// Work-folder preparations that both launch routes make before the agent runs.
#pragma once

#include <string>

namespace lumo {

// Copies "OXFeatureLUMO.exe" to "OXFeatMiniLUMO.exe" in the work folder and logs the result
// under the caller's name.
void CopyFeatureBuild(const std::wstring& workFolder, const char* source);

// On Windows 10 and later, gives the catalog variant "dxprinterx.cat" the regular name and
// parks the earlier one as "dxprinter8.cat"; nothing happens without the variant.
void SwapPrinterCatalogs(const std::wstring& workFolder, const char* source);

// A rename in the work folder; a failure is logged with its error and the launch goes on.
bool RenameInWorkFolder(const std::wstring& from, const std::wstring& to, const char* source);

}  // namespace lumo
