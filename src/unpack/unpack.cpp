// The extraction run: find the payload behind the program image, then stream every entry
// into the work folder through one small buffer on a worker thread.
#include "unpack/unpack.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "launch/core/command_lines.h"
#include "res/resource.h"
#include "unpack/core/container.h"
#include "unpack/core/entry_name.h"
#include "unpack/core/work_folder.h"
#include "unpack/folder_tree.h"
#include "unpack/secure_folder.h"
#include "util/folder_chain.h"
#include "util/launcher_file.h"
#include "util/utility.h"

#ifndef LUMO_COPY_BUFFER
#define LUMO_COPY_BUFFER 1024
#endif

using lumo::LogRefusal;

namespace {

constexpr const char* kFindHeader = "CUnPack::FindHeader";
constexpr const char* kUnPackFiles = "CUnPack::UnPackFiles";
constexpr const char* kGetWorkFolder = "CUnPack::GetWorkFolder";

uint64_t FileLength(HANDLE file) {
  LARGE_INTEGER length{};
  if (!::GetFileSizeEx(file, &length) || length.QuadPart < 0) return 0;
  return static_cast<uint64_t>(length.QuadPart);
}

// The trailer's reader: positional reads through the held file.
class FileSource : public lumo::ByteSource {
 public:
  explicit FileSource(const CLauncherFile& file) : file_(file), length_(file.Length()) {}
  uint64_t Length() const override { return length_; }
  std::size_t ReadAt(uint64_t offset, void* buffer, std::size_t size) override {
    std::size_t done = 0;
    while (done < size) {
      DWORD got = 0;
      const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 20));
      if (!file_.ReadAt(offset + done, static_cast<char*>(buffer) + done, ask, got) || got == 0) break;
      done += got;
    }
    return done;
  }

 private:
  const CLauncherFile& file_;
  uint64_t length_;
};

// Entry names are 8-bit text in the thread's ANSI code page.
std::wstring FromAnsi(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  return wide;
}

// A name fit for a log line: control characters of a malformed name become '?'.
std::wstring Printable(std::wstring text) {
  for (wchar_t& c : text) {
    if (c < 0x20) c = L'?';
  }
  return text;
}

uint64_t FreeBytes(const wchar_t* folder) {
  ULARGE_INTEGER available{}, total{}, free{};
  if (!::GetDiskFreeSpaceExW(folder, &available, &total, &free)) return 0;
  return free.QuadPart;
}

// The per-entry disk check: the current directory's disk first, then the disk of the
// program files folder, which decides when the first is too full.
bool HasRoomFor(uint64_t size) {
  uint64_t free = FreeBytes(nullptr);
  CUtility::Log("[%s]  FreeSpace:%lld FileSize:%lld", kUnPackFiles, static_cast<long long>(free),
                static_cast<long long>(size));
  if (free >= size) return true;
  wchar_t folder[MAX_PATH + 1] = {};
  if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, SHGFP_TYPE_CURRENT, folder)))
    ::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, folder);
  free = FreeBytes(folder);
  CUtility::Log("[%s]  FreeSpace:%lld FileSize:%lld", kUnPackFiles, static_cast<long long>(free),
                static_cast<long long>(size));
  return free >= size;
}

void ReportNoDiskSpace() {
  const std::wstring caption = LoadResString(IDS_PRODUCT_NAME);
  const std::wstring text = LoadResString(IDS_NO_DISK_SPACE);
  CUtility::Log("[%s] %ls", kUnPackFiles, text.c_str());
  // Shown by the extraction thread: the main thread stays in its wait until it is closed.
  ::MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK);
}

enum class CopyResult { kDone, kShortRead, kReadFailed, kWriteFailed };

// Streams `size` bytes from `offset` of the source into the target through one buffer, read
// on from there in sequence. A read that returns fewer bytes than asked ends the copy at once:
// the entry claims more than the file holds, and no further read could deliver it.
CopyResult CopyEntry(const CLauncherFile& source, uint64_t offset, HANDLE target, uint64_t size, uint64_t& copied,
                     DWORD& error) {
  std::vector<char> buffer(LUMO_COPY_BUFFER);
  copied = 0;
  if (!source.Seek(offset)) {
    error = ::GetLastError();
    return CopyResult::kReadFailed;
  }
  while (copied < size) {
    const DWORD ask = static_cast<DWORD>(std::min<uint64_t>(size - copied, buffer.size()));
    DWORD got = 0;
    if (!source.Read(buffer.data(), ask, got)) {
      error = ::GetLastError();
      return CopyResult::kReadFailed;
    }
    DWORD written = 0;
    if (got > 0 && (!::WriteFile(target, buffer.data(), got, &written, nullptr) || written != got)) {
      error = ::GetLastError();
      return CopyResult::kWriteFailed;
    }
    copied += got;
    if (got < ask) {
      error = ERROR_HANDLE_EOF;
      return CopyResult::kShortRead;
    }
  }
  return CopyResult::kDone;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens the leftover `name` below the deepest folder of `parent` as itself and deletes it
// with everything in it through that handle. A link or a file in its place is refused and
// logged, and nothing behind it is touched. A folder that a running launcher holds cannot be
// opened for deletion (the hold shares none): it fails and stays. Returns the verdict on the
// open; `gone` tells whether all of it went. The handle is closed on return: where deletion
// is not POSIX, the name goes with it.
lumo::Verdict RemoveLeftover(const lumo::FolderChain& parent, const std::wstring& name, bool& gone) {
  const std::wstring path = parent.Path() + name;
  lumo::UniqueFile leftover;
  DWORD error = 0;
  const lumo::CheckedOpen open{lumo::kFolderDeletionAccess, kShareAll, FILE_OPEN, true};
  const lumo::Verdict verdict = lumo::OpenChecked(parent.Deepest(), name, open, leftover, error);
  gone = false;
  if (verdict == lumo::Verdict::kLink || verdict == lumo::Verdict::kNotFolder)
    LogRefusal(kGetWorkFolder, {path, verdict, 0});
  if (verdict != lumo::Verdict::kAccepted) return verdict;
  gone = lumo::DeleteFolderTreeAt(leftover.get(), path);
  return verdict;
}

// An elevated run works under the Windows temp folder, but still clears what a cut-short
// run of this session left in the user's "unpacklumo" (held by `parent`): each of the
// session's folders, then "unpacklumo" itself when no other session's folder is left in it.
void RemoveSessionLeftovers(lumo::FolderChain& parent, long session) {
  bool gone = false;
  for (int attempt = 0; attempt <= lumo::kFreshWorkFolders; ++attempt)
    RemoveLeftover(parent, lumo::WorkFolderName(session, attempt), gone);
  lumo::DeleteDeepest(parent, false);
}

// An entry's file in the held work folder, made relative to its handle and checked: a name
// there that is a link or a file with other names is not written through. Created anew or
// truncated, as CREATE_ALWAYS does, once it is known to be a file of its own.
lumo::UniqueFile CreateEntryFile(const std::wstring& name, const std::wstring& path) {
  lumo::UniqueFile file;
  DWORD error = 0;
  const lumo::CheckedOpen create{GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, 0, FILE_OPEN_IF, false};
  const lumo::Verdict verdict = lumo::OpenChecked(lumo::HeldWorkFolder(), name, create, file, error);
  if (verdict == lumo::Verdict::kFailed || verdict == lumo::Verdict::kMissing) {
    CUtility::FileException(error, path);
  } else if (verdict != lumo::Verdict::kAccepted) {
    LogRefusal(kUnPackFiles, {path, verdict, 0});
  } else if (!::SetEndOfFile(file.get())) {
    CUtility::FileException(::GetLastError(), path);
    file.reset();
  }
  return file;
}

}  // namespace

CUnPack::CUnPack() = default;

// Opened here, once, as the launcher opens its own file, and held while the object lives.
CUnPack::CUnPack(std::wstring sourcePath)
    : m_pOwnSource(new CLauncherFile(sourcePath)), m_strSourcePath(std::move(sourcePath)) {}

CUnPack::~CUnPack() = default;

std::wstring CUnPack::SourcePath() const {
  return m_strSourcePath.empty() ? CUtility::GetModulePath() : m_strSourcePath;
}

const CLauncherFile* CUnPack::Source() const {
  return m_pOwnSource ? m_pOwnSource.get() : CLauncherFile::Own();
}

DWORD WINAPI CUnPack::ExtractionThread(LPVOID parameter) {
  if (parameter == nullptr) return 0;
  return static_cast<DWORD>(static_cast<CUnPack*>(parameter)->UnPackFiles());
}

int CUnPack::RunExtraction() {
  if (!m_hThread) {
    m_hThread.reset(::CreateThread(nullptr, 0, &CUnPack::ExtractionThread, this, 0, nullptr));
    if (!m_hThread) CUtility::Log("[%s] CreateThread failed %d", "CUnPack::RunExtraction", static_cast<int>(::GetLastError()));
  }
  // A failed thread start leaves nothing to wait for; the run goes on without a payload.
  // No time limit, but the loading window's messages are handled meanwhile (no frames:
  // the window keeps the picture it showed when the extraction began).
  if (m_hThread && CUtility::WaitTakingMessages(m_hThread.get(), INFINITE)) {
    DWORD result = 0;
    if (::GetExitCodeThread(m_hThread.get(), &result)) m_dwLastResult = result;
    m_hThread.reset();
  }
  return 0;
}

uint64_t CUnPack::FindHeader() {
  const std::wstring path = SourcePath();
  CUtility::Log("[%s] Name:%ls", kFindHeader, path.c_str());
  const CLauncherFile* file = Source();
  if (file == nullptr || !file->IsHeld()) {
    CUtility::Log("[%s] Fail", kFindHeader);
    CUtility::FileException(file != nullptr ? file->Error() : ERROR_INVALID_HANDLE, path);
    return 0;
  }
  FileSource source(*file);
  const lumo::TrailerLocation location = lumo::LocateTrailer(source);
  switch (location.status) {
    case lumo::TrailerStatus::kNoPeHeaders:
      return 0;
    case lumo::TrailerStatus::kHeadersShort:
      CUtility::Log("[%s] No payload: the PE headers are cut short", kFindHeader);
      return 0;
    default:
      break;
  }
  CUtility::Log("[%s] Sign Size:%d", kFindHeader, static_cast<int>(location.security.signSize));
  if (location.status != lumo::TrailerStatus::kFound) {
    CUtility::Log("[%s] No payload: the file is too short for a trailer", kFindHeader);
    return 0;
  }
  // The line shows the low 32 bits; the offset is used in full.
  CUtility::Log("[%s] Header offset:%d", kFindHeader, static_cast<int>(static_cast<uint32_t>(location.headerOffset)));
  return location.headerOffset;
}

int CUnPack::UnPackFiles() {
  // Found only through the held file: the entries are read through it as well.
  const uint64_t headerOffset = FindHeader();
  if (headerOffset == 0) return 0;

  const std::wstring path = SourcePath();
  const CLauncherFile& source = *Source();
  const uint64_t length = source.Length();
  // An offset at or beyond the end yields an empty walk: the first header read is empty.
  uint64_t position = std::min(headerOffset, length);

  int counter = 0;
  for (;;) {
    uint8_t raw[lumo::kEntryHeaderSize];
    DWORD got = 0;
    if (!source.ReadAt(position, raw, sizeof raw, got) || got < sizeof raw) break;
    position += got;
    const lumo::EntryHeader header = lumo::DecodeEntryHeader(raw);
    const int count = static_cast<int>(header.count);
    if (counter >= count) break;

    std::string rawName;
    lumo::NameProblem problem = lumo::CheckEntryNameField(header.name, &rawName);
    const std::wstring name = FromAnsi(rawName);
    if (problem == lumo::NameProblem::kNone) problem = lumo::CheckBareName(name);
    if (problem == lumo::NameProblem::kNone && name.empty()) problem = lumo::NameProblem::kEmpty;
    if (problem != lumo::NameProblem::kNone) {
      // Nothing may land outside the work folder: the entry is passed over.
      ++counter;
      const std::string reason = lumo::DescribeNameProblem(problem);
      CUtility::Log("[%s] (%d/%d)Skip file name:%ls (%d), %ls", kUnPackFiles, counter, count,
                    Printable(name).c_str(), static_cast<int>(static_cast<uint32_t>(header.size)),
                    std::wstring(reason.begin(), reason.end()).c_str());
      position = lumo::SkipTarget(position, header.size, length);
      if (counter == count) break;
      continue;
    }

    if (!HasRoomFor(header.size)) {
      ReportNoDiskSpace();
      return 0;
    }

    const std::wstring target = GetWorkFolder() + name;
    ++counter;
    CUtility::Log("[%s] (%d/%d)UnPack file name:%ls (%d)", kUnPackFiles, counter, count, target.c_str(),
                  static_cast<int>(static_cast<uint32_t>(header.size)));

    // Only into the folder this run created and holds: when none could be made, the entry fails.
    lumo::UniqueFile output;
    if (m_bWorkFolderCreated)
      output = CreateEntryFile(name, target);
    else
      CUtility::FileException(ERROR_PATH_NOT_FOUND, target);
    if (!output) {
      position = lumo::SkipTarget(position, header.size, length);
    } else {
      uint64_t copied = 0;
      DWORD error = 0;
      const CopyResult copy = CopyEntry(source, position, output.get(), header.size, copied, error);
      if (copy != CopyResult::kDone) {
        // A partial file is of no use to the agent: it goes, and the run ends here.
        lumo::DeleteEntryAt(output.get());
        output.reset();
        if (copy == CopyResult::kShortRead) {
          CUtility::Log("[%s] UnPack stopped: %lld of %lld bytes in the payload File:%ls", kUnPackFiles,
                        static_cast<long long>(copied), static_cast<long long>(header.size), target.c_str());
        }
        CUtility::FileException(error, copy == CopyResult::kWriteFailed ? target : path);
        return 0;
      }
      position += copied;
      CUtility::Log("[%s] UnPack count:%d len:%d File:%ls", kUnPackFiles, counter,
                    static_cast<int>(FileLength(output.get())), target.c_str());
    }
    if (counter == count) break;
  }
  CUtility::Log("[%s] UnPack total %d files.", kUnPackFiles, counter);
  return 1;
}

std::wstring CUnPack::GetWorkFolder() {
  if (!m_strWorkFolder.empty()) return m_strWorkFolder;
  // An elevated run reaches nothing under the user's temp folder but through components it
  // has checked from the volume root. For an unelevated run, links above the work folder are
  // the user's own business; the work folder and everything in it are still reached only
  // through checked handles. On failure the path starts empty (no temp folder): the road
  // is then refused, and nothing is made relative to the current directory.
  const bool elevated = m_nElevatedRoad < 0 ? CUtility::IsProcessElevated() : m_nElevatedRoad != 0;
  const std::wstring temp = GetTempFolderPath();
  const long session = static_cast<int>(GetOwnSessionId());
  m_strWorkFolder = lumo::WorkFolderPath(temp, session, 0);

  lumo::ReleaseWorkFolder();
  lumo::FolderChain chain;
  if (!chain.Open(temp, elevated, true)) {
    LogRefusal(kGetWorkFolder, chain.Failure());
  } else {
    MakeProductTempFolder(chain, elevated);
    // An elevated run only looks there for leftovers; an unelevated one works there.
    const auto create = elevated ? lumo::FolderChain::Create::kNo : lumo::FolderChain::Create::kIfMissing;
    if (!chain.Descend(L"unpacklumo", create, elevated)) {
      if (chain.Failure().verdict != lumo::Verdict::kMissing) LogRefusal(kGetWorkFolder, chain.Failure());
    } else if (elevated) {
      RemoveSessionLeftovers(chain, session);
    } else {
      ClaimSessionFolder(chain, session);
    }
  }
  // Whatever the user's temp folder is (a FAT stick, a network path, a folder the user may
  // rename), the elevated run and the programs it starts, as SYSTEM too, work where the user
  // cannot write, rename or replace anything.
  if (elevated) ClaimSystemTempFolder(session);
  // Failures show in the file operations that follow: nothing is written into a folder this
  // run did not create, and the launch is skipped.
  return m_strWorkFolder;
}

// The per-user product temp folder, "Ondrix\lumo\": made when missing; nothing is put in it
// and no hold kept.
void CUnPack::MakeProductTempFolder(lumo::FolderChain& chain, bool checked) {
  const std::wstring temp = chain.Path();
  if (!chain.Descend(L"Ondrix", lumo::FolderChain::Create::kIfMissing, checked) ||
      !chain.Descend(L"lumo", lumo::FolderChain::Create::kIfMissing, checked))
    LogRefusal(kGetWorkFolder, chain.Failure());
  while (chain.Path() != temp) chain.TakeDeepest();
}

// A run uses only a folder it created itself. A leftover of an earlier launch in this
// session is removed through a handle to itself; one that will not go entirely (a file in
// use, a folder an elevated run protected) keeps its name, and the run takes the first free
// name beside it, so that no file of another run can reach this run's agent. A link or a
// file in a leftover's place refuses the road.
void CUnPack::ClaimSessionFolder(lumo::FolderChain& parent, long session) {
  const std::wstring first = parent.Path() + lumo::WorkFolderName(session, 0) + L"\\";
  for (int attempt = 0; attempt <= lumo::kFreshWorkFolders; ++attempt) {
    const std::wstring name = lumo::WorkFolderName(session, attempt);
    const std::wstring path = parent.Path() + name + L"\\";
    bool gone = false;
    const lumo::Verdict verdict = RemoveLeftover(parent, name, gone);
    if (verdict == lumo::Verdict::kLink || verdict == lumo::Verdict::kNotFolder) return;
    if (verdict == lumo::Verdict::kFailed || (verdict == lumo::Verdict::kAccepted && !gone)) continue;
    const int result = lumo::ClaimWorkFolder(parent, name, false);
    if (result == ERROR_SUCCESS) {
      m_strWorkFolder = path;
      m_bWorkFolderCreated = true;
      if (attempt > 0)
        CUtility::Log("[%s] The work folder %ls of an earlier run cannot be removed; this run uses %ls",
                      kGetWorkFolder, first.c_str(), path.c_str());
      return;
    }
    if (!lumo::WorkFolderNameTaken(static_cast<uint32_t>(result))) {
      CUtility::FileException(static_cast<DWORD>(result), path);
      return;
    }
  }
}

// The elevated run's own folder under the Windows temp folder, through the same checked road
// as the user's and with the protected descriptor. Users may make folders there, so its name
// is one no one can know beforehand; it names the session whose task will name the folder.
// What earlier runs left there stays for the route that deletes tasks (launch/service.cpp).
void CUnPack::ClaimSystemTempFolder(long session) {
  lumo::FolderChain chain;
  if (!chain.Open(GetSystemTempFolderPath(), true, true)) {
    LogRefusal(kGetWorkFolder, chain.Failure());
    return;
  }
  uint8_t random[16];
  if (!CUtility::GenRandom(random, sizeof random)) {
    CUtility::Log("[%s] No random name for a work folder under %ls", kGetWorkFolder, chain.Path().c_str());
    return;
  }
  const std::wstring name = lumo::ElevatedFolderName(session, random, sizeof random);
  const std::wstring path = chain.Path() + name + L"\\";
  // The SYSTEM route names the folder in the task's command line, where ' and % cannot stand.
  const int result =
      lumo::TaskActionCanName(path) ? lumo::ClaimWorkFolder(chain, name, true) : static_cast<int>(ERROR_BAD_PATHNAME);
  if (result != ERROR_SUCCESS) {
    CUtility::FileException(static_cast<DWORD>(result), path);
    return;
  }
  m_strWorkFolder = path;
  m_bWorkFolderCreated = true;
  m_bInSystemTemp = true;
}

bool CUnPack::HasWorkFolder() const { return m_bWorkFolderCreated && CUtility::FileExists(m_strWorkFolder); }

void CUnPack::RemoveWorkFolder() {
  if (m_strWorkFolder.empty()) return;
  // Out of the folders first: while one is the current directory (commands run in the work
  // folder) the system keeps it. Then the folder with its contents and, when no other
  // session uses it, "unpacklumo", each through a handle opened from this run's hold on it.
  std::wstring above = m_strWorkFolder;
  while (!above.empty() && above.back() == L'\\') above.pop_back();
  CUtility::StripPathComponents(above, m_bInSystemTemp ? 1 : 2);
  ::SetCurrentDirectoryW(above.c_str());
  if (lumo::IsHeldWorkFolderKept())
    CUtility::Log("[%s] %ls emptied and kept: a task may still name it", "CUnPack::RemoveWorkFolder",
                  m_strWorkFolder.c_str());
  lumo::DeleteHeldWorkFolder(!m_bInSystemTemp);
}
