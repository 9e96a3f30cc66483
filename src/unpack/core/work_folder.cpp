#include "unpack/core/work_folder.h"

namespace lumo {

std::wstring WorkFolderName(long session, int attempt) {
  std::wstring name = std::to_wstring(session);
  if (attempt > 0) name += L"-" + std::to_wstring(attempt);
  return name;
}

std::wstring WorkFolderPath(const std::wstring& tempFolder, long session, int attempt) {
  return tempFolder + L"unpacklumo\\" + WorkFolderName(session, attempt) + L"\\";
}

std::size_t TypicalEntryPathLength(std::size_t nameLength) {
  return WorkFolderPath(std::wstring(kTypicalTempFolderLength, L'x'), 1, 0).size() + nameLength;
}

bool WorkFolderNameTaken(uint32_t win32Error) {
  constexpr uint32_t kAccessDenied = 5, kFileExists = 80, kAlreadyExists = 183;
  return win32Error == kAlreadyExists || win32Error == kFileExists || win32Error == kAccessDenied;
}

std::wstring UnpredictableFolderName(const uint8_t* random, std::size_t count) {
  constexpr wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring name = L"lumo-";
  for (std::size_t i = 0; i < count; ++i) {
    name += kDigits[random[i] >> 4];
    name += kDigits[random[i] & 0xF];
  }
  return name;
}

}  // namespace lumo
