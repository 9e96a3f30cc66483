#include "util/folder_chain.h"

#include <winternl.h>

#include <utility>

#include "util/system_functions.h"

namespace lumo {

namespace {

constexpr NTSTATUS kBufferOverflow = static_cast<NTSTATUS>(0x80000005);
constexpr NTSTATUS kInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kNameInvalid = static_cast<NTSTATUS>(0xC0000033);
constexpr NTSTATUS kNotADirectory = static_cast<NTSTATUS>(0xC0000103);
constexpr NTSTATUS kReparsePointEncountered = static_cast<NTSTATUS>(0xC000050B);

constexpr ULONG kFileNameInformation = 9;
constexpr ULONG kFileAlternateNameInformation = 21;
constexpr ULONG kFileStandardInformation = 5;
constexpr ULONG kFileAttributeTagInformation = 35;

// Not in the SDK's headers for Windows 7: refuse every reparse point met while the name is
// parsed (Windows 10 1803 and later; older systems refuse the flag as an invalid parameter).
constexpr ULONG kDontReparse = 0x00001000;
// Set once the system has refused the flag, so that it is not asked again.
volatile LONG g_noDontReparse = 0;

// A held folder: enough to open what lies below it, nothing that a rename in it would meet.
constexpr DWORD kHoldAccess = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kHoldShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
// A folder the run makes and claims is held with traversal too: NTFS records sharing only
// for an open that asks for data access (on a folder, listing or traversal) or DELETE, so
// only such a hold refuses the DELETE that a rename or a deletion of the folder itself asks
// for, and reads as busy to another run. (The folders above it cannot be renamed while
// something below them is open.)
constexpr DWORD kClaimAccess = kHoldAccess | FILE_TRAVERSE;

NTSTATUS OpenAt(HANDLE parent, const std::wstring& name, ULONG objectFlags, DWORD access, DWORD share,
                DWORD disposition, DWORD options, PSECURITY_DESCRIPTOR descriptor, UniqueFile& opened) {
  const NtApi& nt = Nt();
  if (!nt.complete) return kProcedureNotFound;
  if (name.size() > 0x7FFF) return kNameInvalid;
  UNICODE_STRING objectName;
  objectName.Buffer = const_cast<PWSTR>(name.c_str());
  objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  objectName.MaximumLength = objectName.Length;
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &objectName, OBJ_CASE_INSENSITIVE | objectFlags, parent, descriptor);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status = nt.createFile(&handle, access | SYNCHRONIZE, &object, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                                        share, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status >= 0) opened.reset(handle);
  return status;
}

// The verdict on an open that failed.
Verdict FailedOpen(NTSTATUS status, DWORD& error) {
  if (status == kReparsePointEncountered) return Verdict::kLink;
  if (status == kNotADirectory) return Verdict::kNotFolder;
  error = SetErrorFromStatus(status);
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Verdict::kMissing : Verdict::kFailed;
}

}  // namespace

DWORD ListedAttributes(HANDLE parent, const std::wstring& name) {
  const NtApi& nt = Nt();
  // A name with wildcards would be a pattern; no file can bear one anyway.
  if (!nt.complete || name.empty() || name.size() > 0x7FFF || name.find_first_of(L"*?<>\"") != std::wstring::npos)
    return 0;
  // A fresh handle: the name given to a listing holds for the first query on a handle only.
  UniqueFile listing;
  if (OpenAt(parent, std::wstring(), 0, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
             FILE_OPEN, FILE_DIRECTORY_FILE, nullptr, listing) < 0)
    return 0;
  std::vector<ULONGLONG> buffer(1 + (sizeof(FILE_DIRECTORY_INFORMATION) + name.size() * sizeof(wchar_t)) / sizeof(ULONGLONG));
  UNICODE_STRING mask;
  mask.Buffer = const_cast<PWSTR>(name.c_str());
  mask.Length = mask.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  IO_STATUS_BLOCK io{};
  if (nt.queryDirectoryFile(listing.get(), nullptr, nullptr, nullptr, &io, buffer.data(),
                            static_cast<ULONG>(buffer.size() * sizeof(ULONGLONG)), kFileDirectoryInformation, TRUE,
                            &mask, TRUE) < 0)
    return 0;
  return reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(buffer.data())->FileAttributes;
}

UniqueFile OpenRelative(HANDLE parent, const std::wstring& name, DWORD access, DWORD share, DWORD disposition,
                        DWORD options) {
  UniqueFile opened;
  const NTSTATUS status = OpenAt(parent, name, 0, access, share, disposition, options, nullptr, opened);
  if (status < 0) SetErrorFromStatus(status);
  return opened;
}

Verdict OpenChecked(HANDLE parent, const std::wstring& name, const CheckedOpen& how, UniqueFile& entry,
                    DWORD& error) {
  entry.reset();
  error = 0;
  const DWORD kind = how.folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE;
  NTSTATUS status = kInvalidParameter;
  if (::InterlockedCompareExchange(&g_noDontReparse, 0, 0) == 0) {
    status = OpenAt(parent, name, kDontReparse, how.access, how.share, how.disposition, kind, how.descriptor, entry);
    if (status == kInvalidParameter) ::InterlockedExchange(&g_noDontReparse, 1);
  }
  if (status == kInvalidParameter)
    status = OpenAt(parent, name, 0, how.access, how.share, how.disposition, kind | FILE_OPEN_REPARSE_POINT,
                    how.descriptor, entry);
  if (status < 0) return FailedOpen(status, error);

  DWORD attributes = 0, tag = 0, links = 1;
  if (!QueryAttributes(entry.get(), attributes, tag) || (!how.folder && !QueryLinkCount(entry.get(), links))) {
    error = ::GetLastError();
    entry.reset();
    return Verdict::kFailed;
  }
  const Verdict verdict =
      JudgeOpened(attributes, ListedAttributes(parent, name), NamesItself(entry.get(), name), how.folder, links);
  if (verdict != Verdict::kAccepted) entry.reset();
  return verdict;
}

bool QueryAttributes(HANDLE entry, DWORD& attributes, DWORD& reparseTag) {
  FILE_ATTRIBUTE_TAG_INFORMATION info{};
  IO_STATUS_BLOCK io{};
  const NtApi& nt = Nt();
  const NTSTATUS status = nt.complete ? nt.queryInformationFile(entry, &io, &info, sizeof info, kFileAttributeTagInformation)
                                      : kProcedureNotFound;
  if (status < 0) {
    SetErrorFromStatus(status);
    return false;
  }
  attributes = info.FileAttributes;
  reparseTag = info.ReparseTag;
  return true;
}

bool QueryLinkCount(HANDLE entry, DWORD& links) {
  FILE_STANDARD_INFORMATION info{};
  IO_STATUS_BLOCK io{};
  const NtApi& nt = Nt();
  const NTSTATUS status =
      nt.complete ? nt.queryInformationFile(entry, &io, &info, sizeof info, kFileStandardInformation) : kProcedureNotFound;
  if (status < 0) {
    SetErrorFromStatus(status);
    return false;
  }
  links = info.NumberOfLinks;
  return true;
}

namespace {

// The handle's name in a class laid out as FILE_NAME_INFORMATION: the path from the volume
// root, or the short (8.3) name. Empty when there is none to be had.
std::wstring HandleName(HANDLE entry, ULONG kind) {
  const NtApi& nt = Nt();
  std::vector<ULONG> buffer(1 + 130);  // the length in bytes, then the name; ULONGs keep it aligned
  for (;;) {
    IO_STATUS_BLOCK io{};
    const ULONG size = static_cast<ULONG>(buffer.size() * sizeof(ULONG));
    const NTSTATUS status = nt.queryInformationFile(entry, &io, buffer.data(), size, kind);
    if (status == kBufferOverflow && sizeof(ULONG) + buffer[0] > size) {
      buffer.assign(2 + buffer[0] / sizeof(ULONG), 0);
      continue;
    }
    if (status < 0) return std::wstring();
    return std::wstring(reinterpret_cast<const wchar_t*>(&buffer[1]), buffer[0] / sizeof(wchar_t));
  }
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  if (a.size() > 0x7FFF || b.size() > 0x7FFF) return a == b;
  UNICODE_STRING first, second;
  first.Buffer = const_cast<PWSTR>(a.c_str());
  first.Length = first.MaximumLength = static_cast<USHORT>(a.size() * sizeof(wchar_t));
  second.Buffer = const_cast<PWSTR>(b.c_str());
  second.Length = second.MaximumLength = static_cast<USHORT>(b.size() * sizeof(wchar_t));
  return Nt().equalString(&first, &second, TRUE) != FALSE;
}

}  // namespace

bool NamesItself(HANDLE entry, const std::wstring& name) {
  if (name.empty() || !Nt().complete) return true;
  std::wstring own = HandleName(entry, kFileNameInformation);
  if (own.empty()) return true;
  own.erase(0, own.rfind(L'\\') + 1);
  // An entry opened by its short (8.3) name may be named by its long one: then its short
  // name is the one opened.
  return SameName(own, name) || SameName(HandleName(entry, kFileAlternateNameInformation), name);
}

bool FolderChain::Open(const std::wstring& path, bool checked, bool create) {
  Clear();
  std::wstring root;
  std::vector<std::wstring> names;
  if (!SplitFolderPath(path, root, names)) {
    failure_ = {path, Verdict::kFailed, ERROR_BAD_PATHNAME};
    return false;
  }
  // The volume root is opened by its name: no program of the user can replace it.
  UniqueFile top(::CreateFileW(root.c_str(), kHoldAccess, kHoldShare, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!top) {
    failure_ = {root, Verdict::kFailed, ::GetLastError()};
    return false;
  }
  held_.push_back(std::move(top));
  path_ = root;
  for (const std::wstring& name : names) {
    if (!Descend(name, create ? Create::kIfMissing : Create::kNo, checked)) {
      const ChainFailure failure = failure_;
      Clear();
      failure_ = failure;
      return false;
    }
  }
  return true;
}

bool FolderChain::Descend(const std::wstring& name, Create create, bool checked, PSECURITY_DESCRIPTOR descriptor) {
  const DWORD disposition = create == Create::kOnly ? FILE_CREATE : create == Create::kIfMissing ? FILE_OPEN_IF : FILE_OPEN;
  const DWORD access = create == Create::kOnly ? kClaimAccess : kHoldAccess;
  UniqueFile folder;
  DWORD error = 0;
  Verdict verdict = Verdict::kAccepted;
  if (checked) {
    verdict = OpenChecked(Deepest(), name, {access, kHoldShare, disposition, true, descriptor}, folder, error);
  } else {
    const NTSTATUS status =
        OpenAt(Deepest(), name, 0, access, kHoldShare, disposition, FILE_DIRECTORY_FILE, descriptor, folder);
    if (status < 0) verdict = FailedOpen(status, error);
  }
  if (verdict != Verdict::kAccepted) {
    failure_ = {path_ + name, verdict, error};
    if (error != 0) ::SetLastError(error);
    return false;
  }
  held_.push_back(std::move(folder));
  path_ += name + L'\\';
  return true;
}

UniqueFile FolderChain::TakeDeepest() {
  if (held_.empty()) return UniqueFile();
  UniqueFile deepest = std::move(held_.back());
  held_.pop_back();
  if (held_.empty()) {
    path_.clear();
  } else {
    path_.pop_back();
    path_.erase(path_.rfind(L'\\') + 1);
  }
  return deepest;
}

void FolderChain::Clear() {
  // The deepest first, as they were taken.
  while (!held_.empty()) held_.pop_back();
  path_.clear();
  failure_ = ChainFailure();
}

}  // namespace lumo
