// lumo-pack: packs the payload container behind a built launcher, and lists, verifies and
// extracts the payload of a packed one (`lumo-pack --help` tells how).
// Exit codes: 0 done; 1 a file is bad or an operation failed; 2 a usage error. Messages go
// to `err`, listings to `out`.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace lumopack {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// `args` are the command line after the program's name.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace lumopack
