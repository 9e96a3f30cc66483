// CUnPack: the extractor. It finds the payload behind the launcher's own program image,
// writes every entry into the per-session work folder on a worker thread, and removes the
// work folder at the end of the launch.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "util/folder_chain.h"
#include "util/handles.h"

class CLauncherFile;

class CUnPack {
 public:
  // Reads the payload of the launcher's own executable, through the file held since the
  // process started (CLauncherFile::Own).
  CUnPack();
  // Reads the payload of another packed file, opened and held as the launcher holds its own
  // (the Windows-side tests use this to extract a launcher they packed without running it).
  explicit CUnPack(std::wstring sourcePath);
  ~CUnPack();
  CUnPack(const CUnPack&) = delete;
  CUnPack& operator=(const CUnPack&) = delete;

  // Starts the extraction thread (once) and waits for it without a time limit; returns 0.
  int RunExtraction();
  // The header offset (file offset of payload entry 1), or 0 when there is no payload.
  uint64_t FindHeader();
  // Writes every entry into the work folder: 1 when the payload was walked to its end, 0
  // when there was nothing to extract, the source could not be read, the disk was too full
  // or the payload was cut short.
  int UnPackFiles();
  // The work folder, ending in a backslash; the first call builds it and creates it afresh:
  // for an elevated run under the Windows temp folder, where the user cannot reach, after
  // clearing the leftovers of earlier runs there and under the user's temp folder; for an
  // unelevated run under the user's temp folder (beside a leftover that cannot be removed,
  // under a fresh name).
  std::wstring GetWorkFolder();
  // Builds the work folder as for an elevated run or not, whatever the process is (under
  // Wine every process is elevated, and the Windows-side tests take both roads). Before the
  // first GetWorkFolder.
  void SetElevatedRoad(bool elevated) { m_nElevatedRoad = elevated ? 1 : 0; }
  // True when this run created its work folder and it is still there.
  bool HasWorkFolder() const;
  // Deletes the work folder and its contents, then "unpacklumo" when it has become empty.
  void RemoveWorkFolder();

  // The result of the last extraction thread (for tests; the launcher ignores it).
  DWORD LastRunResult() const { return m_dwLastResult; }

 private:
  static DWORD WINAPI ExtractionThread(LPVOID parameter);
  std::wstring SourcePath() const;
  const CLauncherFile* Source() const;
  void MakeProductTempFolder(lumo::FolderChain& chain, bool checked);
  void ClaimSessionFolder(lumo::FolderChain& parent, long session);
  void ClaimSystemTempFolder(long session);

  lumo::UniqueHandle m_hThread;
  std::wstring m_strWorkFolder;
  bool m_bWorkFolderCreated = false;  // by this run: the only folder entries are written into
  bool m_bInSystemTemp = false;       // the elevated run's own folder under the Windows temp folder
  std::unique_ptr<CLauncherFile> m_pOwnSource;  // null: the launcher's own executable
  std::wstring m_strSourcePath;                 // empty: the launcher's own executable
  int m_nElevatedRoad = -1;  // -1: as the process is
  DWORD m_dwLastResult = 0;
};
