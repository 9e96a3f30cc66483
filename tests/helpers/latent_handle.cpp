// Plays the other user B of the machine for the backup copy's latent-handle case: a handle
// opened while B could still open it keeps its rights, whatever the folder's DACL says later.
//   latent_handle.exe EXCHANGE ONDRIX COPY
// EXCHANGE is a folder both users may write, ONDRIX the "Ondrix" folder of the common
// application-data folder (missing at the start), COPY the file name of the copy that A's runs
// write into ONDRIX\Temp. REPORT is EXCHANGE\report.txt (UTF-16 LE, CR LF), one "step result"
// line per step: a Win32 error (0 for success), or the SID or path the step read.
//   1. Makes ONDRIX and Temp in it, owned by B; opens ONDRIX with WRITE_DAC, the owner's
//      implicit right, and keeps that handle; gives Temp and then ONDRIX exactly the
//      launcher's DACLs, whose OWNER RIGHTS entry takes the owner's implicit rights away, and
//      tries to open ONDRIX with WRITE_DAC once more. Then "ready".
//   2. Once EXCHANGE\go exists: through the held handle, the path it reaches, a new DACL that
//      grants B full control over all below, and a file at COPY in its Temp; by path, A's copy
//      opened for writing, Temp renamed away, and a file of B's put over the copy. Then "acted".
//   3. Once EXCHANGE\plant exists: a file of B's at COPY by path. Then "planted".
// Each wait ends after 15 minutes, or at once when EXCHANGE\stop exists (exit code 3).
#include <windows.h>

#include <sddl.h>

#include <string>

#include "launch/core/backup_rules.h"
#include "util/folder_chain.h"
#include "util/handles.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::wstring g_exchange;

void Report(const std::wstring& step, const std::wstring& result) {
  const lumo::UniqueFile file(::CreateFileW((g_exchange + L"\\report.txt").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                                            nullptr, OPEN_ALWAYS, 0, nullptr));
  const std::wstring line = step + L" " + result + L"\r\n";
  DWORD written = 0;
  if (file) ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
}

// The error of a step that returned `ok`, read before anything else can change it.
void Step(const std::wstring& step, bool ok) { Report(step, std::to_wstring(ok ? 0 : ::GetLastError())); }

// Until EXCHANGE\name exists: false when "stop" comes first or the time is up.
bool WaitFor(const wchar_t* name) {
  for (DWORD start = ::GetTickCount(); ::GetTickCount() - start < 15 * 60 * 1000; ::Sleep(50)) {
    if (::GetFileAttributesW((g_exchange + L"\\" + name).c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    if (::GetFileAttributesW((g_exchange + L"\\stop").c_str()) != INVALID_FILE_ATTRIBUTES) return false;
  }
  return false;
}

// A DACL made by the launcher's own rules, set through `handle` alone: nothing is inherited
// from above nor passed on to what is below.
bool SetDacl(HANDLE handle, const lumo::AclEntry* entries, std::size_t count, const BYTE* writer) {
  BYTE descriptor[512];
  return lumo::MakeDescriptor(entries, count, writer, nullptr, descriptor, sizeof descriptor) != 0 &&
         ::SetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, descriptor);
}

// A new file at `path` holding a few bytes of B's.
bool WriteNew(const std::wstring& path) {
  const lumo::UniqueFile file(
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && ::WriteFile(file.get(), "B's program", 11, &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  g_exchange = argv[1];
  const std::wstring ondrix = argv[2], temp = ondrix + L"\\Temp", copy = temp + L"\\" + argv[3];

  union {
    TOKEN_USER user;
    BYTE room[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } token;
  DWORD size = 0;
  lumo::UniqueHandle process;
  wchar_t* sid = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, process.put()) ||
      !::GetTokenInformation(process.get(), TokenUser, &token, sizeof token, &size) ||
      !::ConvertSidToStringSidW(token.user.User.Sid, &sid))
    return 1;
  Report(L"sid", sid);
  ::LocalFree(sid);
  const BYTE* self = static_cast<const BYTE*>(token.user.User.Sid);

  // 1. B's folders, and the handle B keeps.
  Step(L"make-ondrix", ::CreateDirectoryW(ondrix.c_str(), nullptr));
  Step(L"make-temp", ::CreateDirectoryW(temp.c_str(), nullptr));
  const DWORD kHeld = WRITE_DAC | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  const lumo::UniqueFile held(
      ::CreateFileW(ondrix.c_str(), kHeld, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  Step(L"hold-ondrix", held.valid());
  {
    // Temp's handle goes before A's run: NTFS renames no folder below which anything is open,
    // so a handle kept there would keep the elevated run from moving Ondrix aside at all.
    const lumo::UniqueFile temporary(
        ::CreateFileW(temp.c_str(), kHeld, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    Step(L"dacl-temp", temporary && SetDacl(temporary.get(), lumo::kTempFolderEntries, 6, nullptr));
  }
  Step(L"dacl-ondrix", held && SetDacl(held.get(), lumo::kTopFolderEntries, 6, nullptr));
  const lumo::UniqueFile again(
      ::CreateFileW(ondrix.c_str(), WRITE_DAC, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  Step(L"reopen-ondrix", again.valid());
  Report(L"ready", L"0");
  if (!WaitFor(L"go")) return 3;

  // 2. What the held handle reaches, and what B can do to A's copy by its path.
  wchar_t reached[MAX_PATH] = {};
  const DWORD length = ::GetFinalPathNameByHandleW(held.get(), reached, MAX_PATH, FILE_NAME_NORMALIZED);
  Report(L"reaches", length != 0 && length < MAX_PATH ? reached : L"?");
  lumo::AclEntry mine[7];
  for (int i = 0; i < 6; ++i) mine[i] = lumo::kTopFolderEntries[i];
  mine[6] = {lumo::Principal::kWriter, ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
             FILE_ALL_ACCESS};
  Step(L"dacl-through-handle", SetDacl(held.get(), mine, 7, self));
  {
    const lumo::UniqueFile planted = lumo::OpenRelative(held.get(), std::wstring(L"Temp\\") + argv[3], GENERIC_WRITE,
                                                        0, FILE_CREATE, FILE_NON_DIRECTORY_FILE);
    Step(L"plant-through-handle", planted.valid());
  }
  {
    const lumo::UniqueFile writing(
        ::CreateFileW(copy.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    Step(L"write-copy", writing.valid());
  }
  Step(L"rename-temp", ::MoveFileW(temp.c_str(), (temp + L".b").c_str()));
  Step(L"add-file", WriteNew(copy + L".b"));
  Step(L"replace-copy", ::MoveFileExW((copy + L".b").c_str(), copy.c_str(), MOVEFILE_REPLACE_EXISTING));
  Report(L"acted", L"0");
  if (!WaitFor(L"plant")) return 3;

  // 3. B's own file at the copy's name, which A's agent would elevate.
  Step(L"plant", WriteNew(copy));
  Report(L"planted", L"0");
  return 0;
}
