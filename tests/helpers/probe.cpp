// Reports what the launcher's system queries see in this process, as its exit code, so a
// test can run it under a per-program Wine setting:
//   probe osclass      exit code: CUtility::GetOSClass
//   probe legacyclass  exit code: CUtility::GetOSClassLegacy
//   probe win10        exit code: CUtility::IsOSAtLeast(5, 0)
//   probe width        exit code: the pointer width in bits, plus 1 under WOW64 (33 for a
//                      32-bit program on 64-bit Windows): whether 32-bit programs run here
#include <windows.h>

#include <string>

#include "util/utility.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 100;
  const std::wstring what = argv[1];
  if (what == L"osclass") return CUtility::GetOSClass();
  if (what == L"legacyclass") return CUtility::GetOSClassLegacy();
  if (what == L"win10") return CUtility::IsOSAtLeast(5, 0) ? 1 : 0;
  if (what == L"width") return static_cast<int>(sizeof(void*) * 8) + (CUtility::IsWow64() ? 1 : 0);
  return 101;
}
