// CUnPackFileApp: the launcher's application object. Its constructor hardens the library
// search path; InitInstance runs the whole start-up sequence once.
#pragma once

#include <windows.h>

#include <string>

class CLoadingWnd;

class CUnPackFileApp {
 public:
  CUnPackFileApp();  // library search-path hardening (app/hardening.cpp)
  CUnPackFileApp(const CUnPackFileApp&) = delete;
  CUnPackFileApp& operator=(const CUnPackFileApp&) = delete;

  // The start-up sequence. True only after the unsupported-system message; false on every
  // other path. The process ends when it returns.
  bool InitInstance();

  // The session code handed to the agent, and the session instruction.
  std::wstring m_strSessionCode;
  std::wstring m_strInstruction;
  // The loading window while it is shown (the application's main window), else null.
  CLoadingWnd* m_pMainWnd = nullptr;
};

// Loads a string of the launcher's string table (empty when missing).
std::wstring LoadResString(UINT id);
