#include <iostream>

#include "pack_tool.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return lumopack::Run(args, std::cout, std::cerr);
}
