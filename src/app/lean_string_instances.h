// Forced into every translation unit of the launcher (CMakeLists.txt, `-include`): the
// launcher's std::string and std::wstring members are compiled with the launcher's own code,
// as ordinary implicit template instances, instead of being taken from libstdc++'s prebuilt
// instances.
//
// libstdc++ declares both classes `extern template`, so their members come from its archive,
// compiled with exceptions: each brings unwind tables, and with them the unwinder and the
// exception runtime, whether the launcher uses a member or not. Compiled here, with
// -fno-exceptions, a member costs only its code and is dropped when unused, and a failure
// inside one still ends in the library's failure hooks (src/app/lean_runtime.cpp).
//
// The value -1 is libstdc++'s own switch for exactly this: it lifts the `extern template`
// declarations of the string classes only (it is what _GLIBCXX_ASSERTIONS sets), leaving
// every other prebuilt instance as it is. c++config.h defines the macro unconditionally and
// is guarded against a second inclusion, so it is included first and the value changed after.
#include <bits/c++config.h>
#undef _GLIBCXX_EXTERN_TEMPLATE
#define _GLIBCXX_EXTERN_TEMPLATE -1
