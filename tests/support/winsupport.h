// Shared helpers of the Windows-side tests: a private sandbox (temp folder, registry),
// child processes, files and message boxes. Real system objects only; no fakes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// Wine's ntdll exports wine_get_version; Windows' has no such export (tests/support/platform.h
// classes the tests by it).
inline bool UnderWine() {
  static const bool wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

// The folder of the running test program; the launcher and the helpers are built beside it.
inline std::wstring ExeDir() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path);
  return dir.substr(0, dir.rfind(L'\\'));
}

// The two builds of the launcher: the release launcher (i686, out/win32), the one users
// download, and the x86_64 build of the same sources (out/win64). scripts/build puts the two
// folders side by side.
enum class LauncherBuild { kRelease, kX64 };

inline LauncherBuild OwnBuild() { return sizeof(void*) == 4 ? LauncherBuild::kRelease : LauncherBuild::kX64; }

// The folder of a build: this program's own, or the other one beside it.
inline std::wstring BuildFolder(LauncherBuild build) {
  if (build == OwnBuild()) return ExeDir();
  const std::wstring other = ExeDir() + (build == LauncherBuild::kRelease ? L"\\..\\win32" : L"\\..\\win64");
  wchar_t full[MAX_PATH] = {};
  const DWORD length = ::GetFullPathNameW(other.c_str(), MAX_PATH, full, nullptr);
  return length != 0 && length < MAX_PATH ? std::wstring(full) : other;
}

// The build whose launcher a test runs: the one beside the test program unless the program
// chooses another (the end-to-end program runs the release launcher).
inline LauncherBuild& LauncherUnderTest() {
  static LauncherBuild build = OwnBuild();
  return build;
}

// The folder of the launcher under test, which also holds the helpers built with it.
inline std::wstring LauncherFolder() { return BuildFolder(LauncherUnderTest()); }
inline std::wstring LauncherPath() { return LauncherFolder() + L"\\OXUnPackLUMO.exe"; }

// The 64-bit system folder, where Windows keeps its own programs and the project's prefix its
// stand-ins. The i686 build of a test program reaches it through sysnative, as the release
// launcher does: its own system32 is syswow64, which holds Wine's 32-bit programs.
inline std::wstring NativeSystemFolder() {
  wchar_t folder[MAX_PATH + 1] = {};
  if (sizeof(void*) == 8) {
    ::GetSystemDirectoryW(folder, MAX_PATH);
    return folder;
  }
  ::GetSystemWindowsDirectoryW(folder, MAX_PATH);
  return std::wstring(folder) + L"\\sysnative";
}

// The 64-bit interpreter, by full path.
inline std::wstring NativeInterpreter() { return L"\"" + NativeSystemFolder() + L"\\cmd.exe\""; }

inline bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline void DeleteTree(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = path + L"\\" + name;
      ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        DeleteTree(child);
      else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        ::RemoveDirectoryW(child.c_str());
      else
        ::DeleteFileW(child.c_str());
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
  }
  ::RemoveDirectoryW(path.c_str());
}

// A private temp folder for one test: TMP and TEMP point into it for this process and every
// child it starts, so logs and work folders of a test never meet another test's. Wiped at
// the start; restored at the end.
class Sandbox {
 public:
  explicit Sandbox(const std::wstring& name) {
    wchar_t base[MAX_PATH] = {};
    ::GetEnvironmentVariableW(L"TMP", oldTmp_, MAX_PATH);
    ::GetEnvironmentVariableW(L"TEMP", oldTemp_, MAX_PATH);
    ::GetTempPathW(MAX_PATH, base);
    root_ = std::wstring(base) + L"lumo-tests\\" + name;
    DeleteTree(root_);
    ::CreateDirectoryW((std::wstring(base) + L"lumo-tests").c_str(), nullptr);
    ::CreateDirectoryW(root_.c_str(), nullptr);
    temp_ = root_ + L"\\temp";
    ::CreateDirectoryW(temp_.c_str(), nullptr);
    ::SetEnvironmentVariableW(L"TMP", temp_.c_str());
    ::SetEnvironmentVariableW(L"TEMP", temp_.c_str());
  }
  ~Sandbox() {
    ::SetEnvironmentVariableW(L"TMP", oldTmp_[0] ? oldTmp_ : nullptr);
    ::SetEnvironmentVariableW(L"TEMP", oldTemp_[0] ? oldTemp_ : nullptr);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // The sandbox root (for the test's own files) and the temp folder (with a trailing
  // backslash, as GetTempPathW gives it).
  const std::wstring& Root() const { return root_; }
  std::wstring Temp() const { return temp_ + L"\\"; }

 private:
  std::wstring root_, temp_;
  wchar_t oldTmp_[MAX_PATH] = {};
  wchar_t oldTemp_[MAX_PATH] = {};
};

inline DWORD SessionId() {
  DWORD session = 0xFFFFFFFF;
  ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
  return session;
}

inline std::vector<uint8_t> ReadBytes(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  LARGE_INTEGER size{};
  ::GetFileSizeEx(file, &size);
  bytes.resize(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  if (!bytes.empty()) ::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  bytes.resize(read);
  ::CloseHandle(file);
  return bytes;
}

inline bool WriteBytes(const std::wstring& path, const void* data, size_t size) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = size == 0 || ::WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr);
  ::CloseHandle(file);
  return ok && written == size;
}

// The text of a UTF-16 LE file without a byte-order mark (as the launcher's log is written).
inline std::wstring ReadUtf16(const std::wstring& path) {
  std::vector<uint8_t> bytes = ReadBytes(path);
  std::wstring text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    text.push_back(static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8)));
  return text;
}

// The launcher's log of this session in the given temp folder (with its trailing backslash).
inline std::wstring LogPath(const std::wstring& temp) {
  return temp + L"unpack" + std::to_wstring(static_cast<int>(SessionId())) + L".log";
}

inline std::vector<std::wstring> Lines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

inline bool Contains(const std::wstring& text, const std::wstring& part) {
  return text.find(part) != std::wstring::npos;
}

// Starts a process; the caller owns the returned handle (null on failure).
inline HANDLE Start(const std::wstring& commandLine, const wchar_t* currentDirectory = nullptr) {
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  std::wstring mutableLine = commandLine;
  if (!::CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, FALSE, 0, nullptr, currentDirectory, &si, &pi))
    return nullptr;
  ::CloseHandle(pi.hThread);
  return pi.hProcess;
}

// Waits for a process; returns its exit code, or -1 on timeout (the process is then killed).
inline long WaitExit(HANDLE process, DWORD timeoutMs) {
  if (process == nullptr) return -2;
  if (::WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) {
    ::TerminateProcess(process, 99);
    ::WaitForSingleObject(process, 5000);
    ::CloseHandle(process);
    return -1;
  }
  DWORD code = 0;
  ::GetExitCodeProcess(process, &code);
  ::CloseHandle(process);
  return static_cast<long>(code);
}

inline long RunWait(const std::wstring& commandLine, DWORD timeoutMs = 60000,
                const wchar_t* currentDirectory = nullptr) {
  return WaitExit(Start(commandLine, currentDirectory), timeoutMs);
}

inline std::wstring Quote(const std::wstring& s) { return L"\"" + s + L"\""; }

// Sets Wine's Windows version for one program name ("win10", "win81", "vista", ...), or
// removes the setting with an empty version.
inline void SetWineVersion(const std::wstring& exeName, const std::wstring& version) {
  if (!UnderWine()) return;
  std::wstring key = L"Software\\Wine\\AppDefaults\\" + exeName;
  if (version.empty()) {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    return;
  }
  HKEY k = nullptr;
  if (::RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) == 0) {
    ::RegSetValueExW(k, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                     static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(k);
  }
}

// Waits until a helper's UTF-16 report file has at least `lines` lines; empty on timeout.
inline std::vector<std::wstring> WaitForLines(const std::wstring& path, size_t lines, DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  while (::GetTickCount() - start < timeoutMs) {
    std::vector<std::wstring> found = Lines(ReadUtf16(path));
    if (found.size() >= lines) return found;
    ::Sleep(50);
  }
  return {};
}

// Waits for a message box with the given caption, returns its text and answers it with
// the given button (IDOK, IDCANCEL). Returns false when no box appeared in time.
inline bool AnswerMessageBox(const std::wstring& caption, int button, DWORD timeoutMs, std::wstring* text) {
  const DWORD start = ::GetTickCount();
  HWND box = nullptr;
  while ((box = ::FindWindowW(L"#32770", caption.c_str())) == nullptr) {
    if (::GetTickCount() - start > timeoutMs) return false;
    ::Sleep(50);
  }
  // The box exists before its text does: it is shown once its dialog is complete.
  while (!::IsWindowVisible(box) && ::IsWindow(box) && ::GetTickCount() - start <= timeoutMs) ::Sleep(20);
  // Read until the text is there too (or a short while has passed, for a box without any).
  if (text != nullptr) {
    const DWORD textStart = ::GetTickCount();
    do {
      text->clear();
      for (HWND child = ::GetWindow(box, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[64] = {};
        ::GetClassNameW(child, cls, 64);
        if (lstrcmpiW(cls, L"Static") != 0) continue;
        wchar_t buffer[2048] = {};
        ::GetWindowTextW(child, buffer, 2048);
        if (wcslen(buffer) > text->size()) *text = buffer;
      }
      if (!text->empty()) break;
      ::Sleep(50);
    } while (::GetTickCount() - textStart < 3000);
  }
  ::PostMessageW(box, WM_COMMAND, button, 0);
  return true;
}

// Copies the launcher (or any program) under another name, so that a Wine setting can be
// given to that name alone.
inline std::wstring CopyAs(const std::wstring& source, const std::wstring& folder, const std::wstring& name) {
  std::wstring target = folder + L"\\" + name;
  ::CopyFileW(source.c_str(), target.c_str(), FALSE);
  return target;
}

}  // namespace testsupport
