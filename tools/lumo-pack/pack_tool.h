// lumo-pack: writes and lists the payload container of a launcher.
//   lumo-pack pack --stub STUB.exe --out OUT.exe FILE...
//   lumo-pack list FILE
// Exit codes: 0 done; 1 a file could not be read or written, or `list` found no payload
// (or a payload cut short); 2 a refusal (bad command line, unusable stub, bad or duplicate
// entry name). Messages go to `err`, listings to `out`.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace lumopack {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace lumopack
