// The launcher's own definitions of a few pieces of the C and C++ runtime: the failure hooks,
// `operator new` and the wide printf entry. Linked into the launcher program only (the test
// programs keep the library's).
//
// The launcher never throws or catches: its failures are results and log lines. When the
// standard library meets an impossible request (a string longer than max_size, an index past
// the end, an allocation that fails) it calls one of these hooks; the library's versions
// throw an exception that nothing catches, so the process ends in std::terminate and abort.
// These end the process the same way, at once. What they spare is what the library's
// versions drag along: the name demangler of the verbose terminate handler, a second
// (reference-counted) string implementation behind the exception classes, and the
// exception classes themselves, about a third of the downloaded file.
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

#include "util/core/wide_format.h"

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

namespace std {
void __throw_bad_exception() { std::abort(); }
void __throw_bad_alloc() { std::abort(); }
void __throw_bad_array_new_length() { std::abort(); }
void __throw_bad_cast() { std::abort(); }
void __throw_bad_typeid() { std::abort(); }
void __throw_bad_function_call() { std::abort(); }
void __throw_logic_error(const char*) { std::abort(); }
void __throw_domain_error(const char*) { std::abort(); }
void __throw_invalid_argument(const char*) { std::abort(); }
void __throw_length_error(const char*) { std::abort(); }
void __throw_out_of_range(const char*) { std::abort(); }
void __throw_out_of_range_fmt(const char*, ...) { std::abort(); }
void __throw_runtime_error(const char*) { std::abort(); }
void __throw_range_error(const char*) { std::abort(); }
void __throw_overflow_error(const char*) { std::abort(); }
void __throw_underflow_error(const char*) { std::abort(); }
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
    if (handler == nullptr) std::abort();
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
