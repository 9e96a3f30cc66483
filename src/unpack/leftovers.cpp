#include "unpack/leftovers.h"

#include "unpack/core/work_folder.h"
#include "unpack/folder_tree.h"
#include "unpack/secure_folder.h"
#include "util/folder_chain.h"
#include "util/utility.h"

namespace lumo {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

std::vector<std::wstring> ListEarlierRuns(const std::wstring& own) {
  std::vector<std::wstring> names;
  const UniqueFile listing = OpenRelative(HeldWorkFolderParent(), std::wstring(), FILE_LIST_DIRECTORY, kShareAll,
                                          FILE_OPEN, FILE_DIRECTORY_FILE);
  std::vector<Listed> entries;
  if (!listing || !ListFolder(listing.get(), entries, L"lumo-*")) return names;
  long session = 0;
  for (const Listed& entry : entries)
    if (entry.name != own && ParseElevatedFolderName(entry.name, session)) names.push_back(entry.name);
  return names;
}

Verdict OpenEarlierRun(const std::wstring& name, UniqueFile& folder, DWORD& error) {
  const CheckedOpen open{kFolderDeletionAccess | READ_CONTROL, kShareAll, FILE_OPEN, true};
  return OpenChecked(HeldWorkFolderParent(), name, open, folder, error);
}

bool AgentRunsIn(long session) {
  std::vector<DWORD> ids;
  for (const wchar_t* program : {L"OXManagerLUMO.exe", L"OXServerLUMO.exe", L"Launcher.exe"}) {
    // A process list that cannot be read shows nothing: then nothing is known to have ended.
    if (!CUtility::FindProcesses(program, ids, static_cast<DWORD>(session)) || !ids.empty()) return true;
  }
  return false;
}

}  // namespace lumo
