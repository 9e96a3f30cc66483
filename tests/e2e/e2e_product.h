// What the end-to-end tests of the start-up gates share: the agent's window standing in a
// thread of the test, programs named like the agent's, and the code-sign mode that sends a
// run down the standard route.
#pragma once

#include <windows.h>

#include <cwctype>
#include <string>
#include <thread>
#include <vector>

#include "launch/product.h"
#include "settings/product_key.h"
#include "settings/registry.h"
#include "support/standin_settings.h"
#include "support/winsupport.h"

namespace e2e {

// A top-level window of the agent's class, hidden at first, on a thread of its own that
// answers messages (another process showing it sends messages to that thread).
class ProductWindowThread {
 public:
  ProductWindowThread() {
    ready_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = std::thread([this] { Run(); });
    ::WaitForSingleObject(ready_, 10000);
  }
  ~ProductWindowThread() {
    if (threadId_ != 0) ::PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    if (thread_.joinable()) thread_.join();
    ::CloseHandle(ready_);
  }
  HWND get() const { return window_; }

 private:
  void Run() {
    threadId_ = ::GetCurrentThreadId();
    WNDCLASSW cls{};
    cls.lpfnWndProc = ::DefWindowProcW;
    cls.hInstance = ::GetModuleHandleW(nullptr);
    cls.lpszClassName = lumo::kProductWindowClass;
    ::RegisterClassW(&cls);
    window_ = ::CreateWindowExW(0, lumo::kProductWindowClass, L"agent", WS_OVERLAPPEDWINDOW, 20, 20, 240, 120,
                                nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    MSG msg;
    ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue exists from here
    ::SetEvent(ready_);
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    if (window_ != nullptr) ::DestroyWindow(window_);
  }

  HANDLE ready_ = nullptr;
  std::thread thread_;
  DWORD threadId_ = 0;
  HWND window_ = nullptr;
};

// Programs named like the agent's, copied from a helper that sleeps; ended with the test.
class AgentNamedProcesses {
 public:
  explicit AgentNamedProcesses(const std::wstring& folder) : folder_(folder) {}
  ~AgentNamedProcesses() {
    for (HANDLE process : processes_) {
      ::TerminateProcess(process, 99);
      ::WaitForSingleObject(process, 5000);
      ::CloseHandle(process);
    }
  }
  HANDLE Start(const std::wstring& name, DWORD lifetimeMs = 90000) {
    const std::wstring program = testsupport::CopyAs(testsupport::ExeDir() + L"\\exit_after.exe", folder_, name);
    HANDLE process = testsupport::Start(testsupport::Quote(program) + L" " + std::to_wstring(lifetimeMs));
    if (process != nullptr) processes_.push_back(process);
    return process;
  }

 private:
  std::wstring folder_;
  std::vector<HANDLE> processes_;
};

// Both code-sign values in this session's product key: the launcher then neither asks for
// elevation nor takes the SYSTEM route. Removed again at the end of the scope.
class CodeSignMode {
 public:
  CodeSignMode() {
    CRegistry registry;
    if (!OpenSessionProductKey(registry)) return;
    registry.WriteString(L"CodeSignTheme", L"test-theme", REG_SZ);
    registry.WriteString(L"CodeSignOutput", L"test-output", REG_SZ);
  }
  ~CodeSignMode() {
    CRegistry registry;
    if (!OpenSessionProductKey(registry)) return;
    registry.DeleteValue(L"CodeSignTheme");
    registry.DeleteValue(L"CodeSignOutput");
  }
  CodeSignMode(const CodeSignMode&) = delete;
  CodeSignMode& operator=(const CodeSignMode&) = delete;
};

// The system stand-ins' own account of each start (standins/common/trace.h), asked for through
// their settings for the scope; `variables` (";"-separated names) are shown with each start.
class StandinTrace {
 public:
  explicit StandinTrace(const std::wstring& file, const std::wstring& variables = std::wstring()) : file_(file) {
    ::DeleteFileW(file_.c_str());
    settings_.Set(L"Trace", file_);
    if (!variables.empty()) settings_.Set(L"TraceVariables", variables);
  }
  StandinTrace(const StandinTrace&) = delete;
  StandinTrace& operator=(const StandinTrace&) = delete;

  // The lines of one stand-in ("expand.exe", "schtasks.exe").
  std::vector<std::wstring> Starts(const std::wstring& program) const {
    std::vector<std::wstring> found;
    for (const std::wstring& line : testsupport::Lines(testsupport::ReadUtf16(file_)))
      if (line.compare(0, program.size() + 1, program + L" ") == 0) found.push_back(line);
    return found;
  }

 private:
  std::wstring file_;
  testsupport::StandinSettings settings_;
};

// A stand-in started as Windows' own program is for a launcher of either width: the 64-bit
// program of the 64-bit system folder, started by the 64-bit interpreter. A 32-bit launcher
// that started the interpreter of its own width would have reached Wine's 32-bit program of
// that name in syswow64 instead, which writes no line.
inline bool IsNativeStart(const std::wstring& line, const std::wstring& program) {
  std::wstring lower = line;
  for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
  return testsupport::Contains(lower, L" bits=64 path=c:\\windows\\system32\\" + program + L" parent_bits=64 ") &&
         testsupport::Contains(lower, L"\\cmd.exe") && !testsupport::Contains(lower, L"syswow64");
}

// The seconds of a log line's local time "[pid]YYYY-MM-DD hh:mm:ss  ...", counted from
// midnight; -1 when the line has none.
inline int LogSeconds(const std::wstring& line) {
  const size_t close = line.find(L']');
  if (close == std::wstring::npos || line.size() < close + 20) return -1;
  const std::wstring clock = line.substr(close + 12, 8);
  int hours = 0, minutes = 0, seconds = 0;
  if (swscanf(clock.c_str(), L"%d:%d:%d", &hours, &minutes, &seconds) != 3) return -1;
  return hours * 3600 + minutes * 60 + seconds;
}

}  // namespace e2e
