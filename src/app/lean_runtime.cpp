// The launcher's own definitions of the C++ runtime's failure hooks, linked into the
// launcher program only (the test programs keep the library's).
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
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

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
