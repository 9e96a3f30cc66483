// CLauncherFile: the launcher's own file, opened once as early as the process allows and held
// for the whole run. The download lies where the user's programs may rename it (Downloads,
// Desktop), and the elevated run must unpack what the user consented to, not whatever lies at
// that path by the time it reads. So every read of the launcher's own file (the trailer, the
// entries, the backup copy) goes through this one handle, and the relaunch names it by its
// final path: this is the one exception to "files are opened per use".
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "util/handles.h"

class CLauncherFile {
 public:
  enum class Verdict {
    kHeld,         // open, and the file the process runs (or, from a path, just open)
    kOpenFailed,   // Error() tells why
    kAnotherFile,  // Status() tells what the check answered (or why it could not ask)
  };

  // The file this process was started from: opened by its module path, then checked against
  // the running image.
  CLauncherFile();
  // Any other file, opened the same way; there is no image to compare it with (the Windows-
  // side tests extract launchers they packed through this).
  explicit CLauncherFile(const std::wstring& path);
  CLauncherFile(const CLauncherFile&) = delete;
  CLauncherFile& operator=(const CLauncherFile&) = delete;

  Verdict GetVerdict() const { return m_verdict; }
  bool IsHeld() const { return m_verdict == Verdict::kHeld; }
  DWORD Error() const { return m_dwError; }
  LONG Status() const { return m_status; }

  // Reads at `offset` (the handle's file pointer plays no part, though it moves). True with
  // `got` bytes, 0 at the end; false, with the last error set, on failure.
  bool ReadAt(uint64_t offset, void* buffer, DWORD size, DWORD& got) const;
  // Sequential reads: the file pointer set once, then read on from wherever the last read
  // ended. Only the extraction moves the pointer this way, one entry at a time and while no
  // other thread reads the file: a read by offset costs many times a plain one under Wine,
  // and an entry is read in many small pieces.
  bool Seek(uint64_t offset) const;
  bool Read(void* buffer, DWORD size, DWORD& got) const;
  uint64_t Length() const;
  // The held file's path as the system resolved it, in the Win32 form ("C:\...",
  // "\\server\share\..."); empty when it cannot be had (before Vista, among others).
  std::wstring FinalPath() const;

  // The launcher's one held file, built during static construction (app/main.cpp) and
  // registered there; null in programs that have none.
  static const CLauncherFile* Own() { return s_pOwn; }
  static void RegisterOwn(const CLauncherFile* file) { s_pOwn = file; }

 private:
  bool Open(const wchar_t* path);

  lumo::UniqueFile m_hFile;
  Verdict m_verdict = Verdict::kOpenFailed;
  DWORD m_dwError = 0;
  LONG m_status = 0;

  static const CLauncherFile* s_pOwn;
};
