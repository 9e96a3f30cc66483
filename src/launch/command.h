// The hidden command run beneath CUnPackFileApp::ExecuteCommand, with the program given,
// so a test can ask for a program that does not exist. `environment`: the block the command
// gets; empty: the launcher's own. `limitMs`: as for ExecuteCommand.
#pragma once

#include <windows.h>

#include <string>

class CLoadingWnd;

namespace lumo {

int ExecuteProgram(const std::wstring& program, const std::wstring& workFolder,
                   const std::wstring& parameters, bool backup, CLoadingWnd** loadingWindow,
                   std::wstring environment = std::wstring(), DWORD limitMs = INFINITE);

}  // namespace lumo
