// The command line of lumo-pack's commands, and what every command says alike: usage
// errors, failures, and the opening of a packed file to read.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "files.h"
#include "inspect.h"
#include "pack_tool.h"

namespace lumopack {

// What an option takes: a value or none, once or again.
struct OptionRule {
  const char* name;
  bool takesValue;
  bool repeatable;
};

struct CommandLine {
  std::map<std::string, std::vector<std::string>> options;
  std::vector<std::string> operands;
  bool help = false;
  bool Has(const std::string& name) const { return options.count(name) != 0; }
  std::string One(const std::string& name) const { return Has(name) ? options.at(name).front() : std::string(); }
};

// Parses args[1..] of `command`: --NAME VALUE or --NAME=VALUE, -h/--help, and -- before
// operands. False after a usage error has been written.
bool Parse(const std::vector<std::string>& args, const std::string& command, const std::vector<OptionRule>& rules,
           CommandLine& line, std::ostream& err);

// Write their line and return the exit code: 2 with a pointer to the command's help, or 1.
int UsageError(const std::string& command, const std::string& message, std::ostream& err);
int Failed(const std::string& message, std::ostream& err);

// "1 entry", "3 entries".
std::string Entries(std::size_t count);

// FILE of list, verify or extract, opened and inspected; false after an error line when it
// cannot be read or holds no payload at all.
struct OpenedPayload {
  InputFile input;
  Inspection inspection;
};
bool InspectFile(const std::string& file, OpenedPayload& opened, std::ostream& err);

// The commands that write files.
int Pack(const CommandLine& line, std::ostream& out, std::ostream& err);
int Extract(const CommandLine& line, std::ostream& out, std::ostream& err);

}  // namespace lumopack
