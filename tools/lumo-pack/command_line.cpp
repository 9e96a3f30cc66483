#include "command_line.h"

#include <algorithm>

namespace lumopack {

int UsageError(const std::string& command, const std::string& message, std::ostream& err) {
  err << "lumo-pack " << command << ": " << message << "\nTry 'lumo-pack " << command << " --help'.\n";
  return kExitUsage;
}

bool Parse(const std::vector<std::string>& args, const std::string& command, const std::vector<OptionRule>& rules,
           CommandLine& line, std::ostream& err) {
  bool optionsEnded = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      line.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      line.help = true;
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const auto rule = std::find_if(rules.begin(), rules.end(), [&](const OptionRule& r) { return name == r.name; });
    if (rule == rules.end()) {
      UsageError(command, "unknown option " + name, err);
      return false;
    }
    std::string value;
    if (rule->takesValue) {
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        UsageError(command, name + " needs a value", err);
        return false;
      }
    } else if (equals != std::string::npos) {
      UsageError(command, name + " takes no value", err);
      return false;
    }
    if (line.Has(name) && !rule->repeatable) {
      UsageError(command, name + " given twice", err);
      return false;
    }
    line.options[name].push_back(value);
  }
  return true;
}

std::string Entries(std::size_t count) { return std::to_string(count) + (count == 1 ? " entry" : " entries"); }

int Failed(const std::string& message, std::ostream& err) {
  err << "lumo-pack: " << message << "\n";
  return kExitFailed;
}

bool InspectFile(const std::string& file, OpenedPayload& opened, std::ostream& err) {
  opened.input = OpenInput(file);
  if (opened.input.error != 0) {
    Failed("cannot read " + file + ": " + Reason(opened.input.error), err);
    return false;
  }
  FdSource source(opened.input.fd.get(), static_cast<uint64_t>(opened.input.status.st_size));
  opened.inspection = Inspect(source);
  if (source.error() != 0) {
    Failed("cannot read " + file + ": " + Reason(source.error()), err);
    return false;
  }
  if (opened.inspection.state == PayloadState::kNotPe) {
    Failed(file + ": not a PE file, so no packed launcher", err);
    return false;
  }
  if (opened.inspection.state == PayloadState::kNotPacked) {
    Failed(file + ": " + NoPayloadText(opened.inspection), err);
    return false;
  }
  return true;
}

}  // namespace lumopack
