// CUnPackFileApp: the launcher's application object. Its constructor hardens the library
// search path; InitInstance runs the whole start-up sequence once. The operations that the
// launch steps need are members too, each implemented in its subsystem's folder.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class CLoadingWnd;

class CUnPackFileApp {
 public:
  CUnPackFileApp();  // library search-path hardening (app/hardening.cpp)
  CUnPackFileApp(const CUnPackFileApp&) = delete;
  CUnPackFileApp& operator=(const CUnPackFileApp&) = delete;

  // The start-up sequence (app/app.cpp). True only after the unsupported-system message;
  // false on every other path. The process ends when it returns.
  bool InitInstance();

  // Runs "cmd.exe PARAMETERS" hidden in the work folder and waits for it; returns its exit
  // code or the Win32 error of a failed start (launch/command.cpp). With a limit, a command
  // still running after `limitMs` is ended with all it started, and ERROR_TIMEOUT returned.
  int ExecuteCommand(const std::wstring& workFolder, const std::wstring& parameters, bool backup,
                     DWORD limitMs = INFINITE);
  // Expands every cabinet of the work folder with the system's expand.exe (unpack/cabinet.cpp).
  void ExpandCabinet(const std::wstring& workFolder);
  // Starts the agent's manager in the user's context and waits for it (launch/standard.cpp).
  void RunAsStandard(const std::wstring& workFolder);
  // Starts the agent's manager as SYSTEM through a one-shot scheduled task (launch/service.cpp).
  void RunAsService(const std::wstring& workFolder);
  // Waits for the first process of that name in that session to end (launch/wait.cpp).
  bool WaitProcessExit(const std::wstring& name, DWORD sessionId);
  // Turns a session instruction into the product key's values (launch/wait.cpp).
  void HandleInstruction(const std::wstring& instruction);
  // Sets the code from the launcher's own file name, if it carries one (app/arguments.cpp).
  void DeriveCodeFromFileName(std::wstring& code);
  // The second pass over the arguments: debug markers in the work folder, "/T" replaces the
  // session code, "/I" collects an instruction and applies it at once (app/arguments.cpp).
  void ApplySwitches(const std::wstring& workFolder, const std::vector<std::wstring>& arguments);

  // The session code handed to the agent, and the session instruction.
  std::wstring m_strSessionCode;
  std::wstring m_strInstruction;
  // The loading window while it is shown (the application's main window), else null.
  CLoadingWnd* m_pMainWnd = nullptr;
};

// True when the product key carries both code-sign values (launch/wait.cpp).
bool IsCodeSignConfigured();

// The process's arguments as the runtime split them, the program name first (app/arguments.cpp).
std::vector<std::wstring> GetCommandLineArguments();
