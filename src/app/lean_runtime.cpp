// The launcher's own definitions of a few pieces of the C and C++ runtime: the failure hooks,
// `operator new` and the wide printf entry. Linked into the launcher program only (the test
// programs keep the library's).
//
// The launcher never throws or catches: its failures are results and log lines. When the
// standard library meets an impossible request (a string longer than max_size, an index past
// the end, an allocation that fails) it calls one of these hooks; the library's versions
// throw an exception that nothing catches, so the process ends in std::terminate and abort.
// These end the process at once too, but in order: one log line while the log can still be
// written, then exit code 3 (abort's) without the C runtime's modal "abnormal program
// termination" box, which would keep an unattended launcher (and its instance lock) alive
// until someone clicked it away. What they spare is what the library's versions drag along:
// the name demangler of the verbose terminate handler, a second (reference-counted) string
// implementation behind the exception classes, and the exception classes themselves, about
// a third of the downloaded file.
//
// Every hook the library's file defines is defined here: should a new library version add
// one that the launcher reaches, the link fails with duplicate definitions instead of
// silently pulling the whole set back in.
//
// The other two pieces are here for the same reason. The library's `operator new` throws
// std::bad_alloc when memory runs out, which nothing catches; its presence alone links the
// exception runtime, the unwinder and winpthread. MinGW's printf core, behind vswprintf,
// swprintf and std::to_wstring, brings floating-point and locale conversions the launcher
// never uses; lumo::FormatWideV (src/util/core/wide_format.cpp) writes what MinGW's writes for
// every conversion the launcher uses (tests/unit/wide_format_test.cpp holds it against the C
// library, tests/wine/wide_format_test.cpp against MinGW's own).
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include <windows.h>

#include "util/core/wide_format.h"
#include "util/utility.h"

namespace {

constexpr unsigned kAbortExitCode = 3;

// Ends the process where the library would have thrown. The log line needs memory of its
// own: when it is the memory that ran out, its allocation fails in turn and comes back here,
// and that second call (or one of another thread) ends the process without a line.
[[noreturn]] void EndRun(const char* what) {
  static volatile LONG ending = 0;
  if (::InterlockedExchange(&ending, 1) == 0)
    CUtility::Log("[%s] %s; the launcher ends", "CUnPackFileApp::EndRun", what);
  // Not ExitProcess: that would run the libraries' and the program's clean-up in a process
  // whose state is unknown, with the other thread possibly holding the locks it needs.
  ::TerminateProcess(::GetCurrentProcess(), kAbortExitCode);
  ::ExitProcess(kAbortExitCode);
}

constexpr const char* kOutOfMemory = "out of memory";
constexpr const char* kImpossibleRequest = "the C++ library met an impossible request";

// Any path of the C runtime's own that still ends in abort (or in its fatal-error exit)
// writes to the standard error stream, which a GUI program does not have, instead of
// showing its modal box.
[[maybe_unused]] const int kRuntimeErrorsToStandardError = _set_error_mode(_OUT_TO_STDERR);

}  // namespace

namespace __gnu_cxx {
void __verbose_terminate_handler() { EndRun("the C++ library terminated the program"); }
}  // namespace __gnu_cxx

namespace std {
void __throw_bad_exception() { EndRun(kImpossibleRequest); }
void __throw_bad_alloc() { EndRun(kOutOfMemory); }
void __throw_bad_array_new_length() { EndRun(kOutOfMemory); }
void __throw_bad_cast() { EndRun(kImpossibleRequest); }
void __throw_bad_typeid() { EndRun(kImpossibleRequest); }
void __throw_bad_function_call() { EndRun(kImpossibleRequest); }
void __throw_logic_error(const char*) { EndRun(kImpossibleRequest); }
void __throw_domain_error(const char*) { EndRun(kImpossibleRequest); }
void __throw_invalid_argument(const char*) { EndRun(kImpossibleRequest); }
void __throw_length_error(const char*) { EndRun(kImpossibleRequest); }
void __throw_out_of_range(const char*) { EndRun(kImpossibleRequest); }
void __throw_out_of_range_fmt(const char*, ...) { EndRun(kImpossibleRequest); }
void __throw_runtime_error(const char*) { EndRun(kImpossibleRequest); }
void __throw_range_error(const char*) { EndRun(kImpossibleRequest); }
void __throw_overflow_error(const char*) { EndRun(kImpossibleRequest); }
void __throw_underflow_error(const char*) { EndRun(kImpossibleRequest); }
}  // namespace std

// The library's versions, without the exception: a failed allocation asks the new-handler
// (the launcher installs none) and otherwise ends the process where the uncaught
// std::bad_alloc would have ended it; the nothrow form returns null instead, as the library's
// does once its bad_alloc is caught.
void* operator new(std::size_t size) {
  if (size == 0) size = 1;
  for (;;) {
    if (void* block = std::malloc(size)) return block;
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) EndRun(kOutOfMemory);
    handler();
  }
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (size == 0) size = 1;
  for (;;) {
    if (void* block = std::malloc(size)) return block;
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) return nullptr;
    handler();
  }
}

// MinGW's entry to its wide printf core: every wide formatting call of the launcher.
extern "C" int __mingw_vsnwprintf(wchar_t* buffer, std::size_t count, const wchar_t* format, va_list args) {
  return lumo::FormatWideV(buffer, count, format, args);
}
