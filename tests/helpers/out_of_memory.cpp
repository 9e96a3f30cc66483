// A GUI program with the launcher's own runtime hooks (src/app/lean_runtime.cpp) that asks
// for more memory than any process can have, the way the launcher's code would: through
// operator new. Ends as the launcher would end then.
#include <windows.h>

#include <cstddef>
#include <new>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  volatile std::size_t size = static_cast<std::size_t>(-1) / 2;
  void* block = ::operator new(size);
  ::operator delete(block);
  return 1;
}
