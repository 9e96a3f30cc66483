#include <cerrno>
#include <cstring>
#include <iostream>

#include "pack_tool.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const int code = lumopack::Run(args, std::cout, std::cerr);
  // A listing that could not be written (a full disk, a closed pipe) is a failure too.
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "lumo-pack: cannot write the standard output: " << std::strerror(errno) << "\n";
    return code == lumopack::kExitOk ? lumopack::kExitFailed : code;
  }
  return code;
}
