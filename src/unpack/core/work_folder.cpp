#include "unpack/core/work_folder.h"

namespace lumo {

std::wstring WorkFolderPath(const std::wstring& tempFolder, long session, int attempt) {
  std::wstring path = tempFolder + L"unpacklumo\\" + std::to_wstring(session);
  if (attempt > 0) path += L"-" + std::to_wstring(attempt);
  return path + L"\\";
}

std::size_t TypicalEntryPathLength(std::size_t nameLength) {
  return WorkFolderPath(std::wstring(kTypicalTempFolderLength, L'x'), 1, 0).size() + nameLength;
}

bool WorkFolderNameTaken(uint32_t win32Error) {
  constexpr uint32_t kAccessDenied = 5, kFileExists = 80, kAlreadyExists = 183;
  return win32Error == kAlreadyExists || win32Error == kFileExists || win32Error == kAccessDenied;
}

}  // namespace lumo
