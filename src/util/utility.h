// CUtility: the launcher's stateless operations on the system. Each subsystem implements
// its own group (log and paths, system queries, folder trees, processes and tokens, shared
// folders and version) in its own file; this header is the one list of them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "util/handles.h"

// Session id of the launcher's own process, or -1 (0xFFFFFFFF) when it cannot be queried.
DWORD GetOwnSessionId();

// The user's temp folder as GetTempPathW names it (ending in a backslash; empty when the
// system cannot name it), and the Windows temp folder, "%SystemRoot%\Temp\" (util/log.cpp).
std::wstring GetTempFolderPath();
std::wstring GetSystemTempFolderPath();

// A string of the launcher's string table; empty when missing (util/resources.cpp).
std::wstring LoadResString(UINT id);

class CUtility {
 public:
  // --- Log and paths (util/log.cpp) ---
  // printf-style; wide arguments are written "%ls", narrow ones "%s". Messages start with
  // "[%s] " and the reporting operation's name. The launcher's own formats and names are
  // plain ASCII, kept narrow (half the bytes of the download's many log texts) and widened as
  // they are used; the compiler holds every argument to its format.
  static void Log(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
  static void Log(const wchar_t* format, ...);
  static std::wstring GetLogFilePath();
  static void AppendLogLine(const std::wstring& line);
  // Reports a failed file operation the way the framework's file exception did: the
  // system's text for the error, with the file's name; nothing when the system has no text.
  static void FileException(DWORD error, const std::wstring& path);
  static std::wstring GetModulePath();
  static void StripPathComponents(std::wstring& path, int count);

  // --- System queries (util/system.cpp) ---
  static int GetOSClass(OSVERSIONINFOEXW* version = nullptr);
  static int GetOSClassLegacy(OSVERSIONINFOEXW* version = nullptr);
  static bool IsOSAtLeast(int minimumClass, DWORD minimumBuild);
  static bool IsPreVista();
  static bool IsUserInAdminGroup2(HANDLE token = nullptr);
  static bool IsProcessElevated();
  static bool IsWow64();
  static bool FileExists(const std::wstring& path);
  static void OSInfo();
  // Loads a library of Windows by its full path in the system folder (never by name, which
  // would look beside the program first); its own dependencies are looked for beside it.
  static HMODULE LoadSystemLibrary(const std::wstring& fileName);
  // Fills `buffer` with random bytes (RtlGenRandom); false when the system gives none.
  static bool GenRandom(void* buffer, ULONG size);

  // --- Folder trees (unpack/folder_tree.cpp) ---
  static bool DeleteFolderTree(const std::wstring& path);
  static bool RemoveFile(const std::wstring& path);
  static bool RemoveFolder(const std::wstring& path);
  static bool IsMountPoint(const std::wstring& path);

  // --- Shared temp folder and version (launch/backup.cpp) ---
  // The shared temp folder's path (no trailing backslash); the backup copy's road through
  // it is launch/backup.h's.
  static std::wstring GetSharedTempFolder();
  // The product version of the running module's own version resource.
  static BOOL GetProductVersion(DWORD& versionMS, DWORD& versionLS);

  // --- Session processes, tokens, copies, process creation (launch/session.cpp) ---
  static bool FindProcesses(const std::wstring& name, std::vector<DWORD>& ids, DWORD sessionId);
  static BOOL GetExplorerToken(lumo::UniqueHandle& token);
  static BOOL GetSessionUserToken(lumo::UniqueHandle& token);
  static int CopyFileAsUser(const std::wstring& source, const std::wstring& destination);
  static BOOL StartProcess(const std::wstring& program, PROCESS_INFORMATION& info,
                           const wchar_t* arguments, const wchar_t* currentDirectory,
                           WORD showCommand, bool programInCommandLine);

  // --- Waits that keep the thread's windows answering (util/message_wait.cpp) ---
  // Waits until `object` (null: none) is signalled or the time (INFINITE: no limit) has
  // passed, handling the thread's messages meanwhile; true when the object was signalled.
  static bool WaitTakingMessages(HANDLE object, DWORD milliseconds);
};
