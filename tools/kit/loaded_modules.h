// The libraries Windows maps into the launcher before its entry point: while it binds the
// import table (and each forwarder it meets there), before any code of the launcher could
// protect it. Anything there that is not ntdll, the WOW64 layer, the program itself or a known
// DLL was found by a search, which looks beside the program first.
#pragma once

#include <string>
#include <vector>

namespace kit {

// Starts `program` under this process as its debugger, lists every module mapped up to its
// first breakpoint (for a 32-bit program on 64-bit Windows, the WOW64 breakpoint that the
// 32-bit loader raises once the program's imports are bound), and ends it there: none of its
// code runs. The first module is the program. False, with the reason in `error`, when it could
// not be started or did not reach the breakpoint.
bool ModulesBeforeEntry(const std::wstring& program, std::vector<std::wstring>& modules, std::wstring& error);

// The modules of that list that are none of those the loader maps for any program (ntdll,
// the WOW64 layer, the program itself, an entry of \KnownDlls or \KnownDlls32 from its system
// folder); empty when all are.
std::vector<std::wstring> UnexpectedModules(const std::vector<std::wstring>& modules);

// Does that for each program and writes the outcomes in GoogleTest's XML form, one test per
// program named by its width, answering release check 1 and naming the modules and whether
// kernel32 has the loader update. The assertion is Windows' alone (Wine's loader and its known
// DLLs differ): under Wine the list is recorded and the assertion counted as skipped. A 32-bit
// program is skipped with the reason where LUMO_NO_I686 says 32-bit programs do not run.
// Returns the number of programs that failed.
int WriteModulesReport(const std::wstring& xmlPath, const std::vector<std::wstring>& programs);

}  // namespace kit
