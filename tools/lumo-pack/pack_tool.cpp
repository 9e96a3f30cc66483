#include "pack_tool.h"

#include <algorithm>
#include <cctype>

#include "command_line.h"
#include "report.h"
#include "res/resource.h"

namespace lumopack {

namespace {

// ---- Help ----

const char kOverview[] =
    "usage: lumo-pack COMMAND [OPTION]... [--] ARGUMENT...\n"
    "Packs the payload (the agent's cabinet and settings file) behind a built Ondrix LUMO\n"
    "launcher before it is signed, and checks, lists or extracts the payload of a packed one.\n"
    "\n"
    "Commands:\n"
    "  pack --stub STUB.exe --out OUT.exe FILE...  write STUB.exe and the FILEs into OUT.exe\n"
    "  list [--json] FILE                          show the stub, signature and entries of FILE\n"
    "  verify [--expect NAME=SHA256]... FILE       check a packed, signed launcher before it ships\n"
    "  extract [--force] FILE DIR                  write every entry of FILE into DIR\n"
    "  help [COMMAND]                              show this text, or a command's\n"
    "\n"
    "Every command takes -h or --help (its own help) and -- (the end of the options).\n"
    "lumo-pack --version shows the version.\n"
    "\n"
    "Exit status:\n"
    "  0  done (verify: the file is fit to ship)\n"
    "  1  a file is bad or an operation failed; each error line names the path and the reason\n"
    "  2  usage error: an unknown command or option, a missing operand, an option repeated\n"
    "\n"
    "A release: scripts/build win32, lumo-pack pack, osslsigncode sign (with a time stamp),\n"
    "osslsigncode verify, lumo-pack verify (the README shows the commands).\n";

const char kPackHelp[] =
    "usage: lumo-pack pack --stub STUB.exe --out OUT.exe [--] FILE...\n"
    "Writes OUT.exe: the program image STUB.exe, every FILE as a payload entry, and the trailer\n"
    "by which the launcher finds them. Pack before signing: the signature covers the payload.\n"
    "\n"
    "A FILE is PATH (the entry takes the file's name) or NAME=PATH, split at the first '='\n"
    "when the text before it holds no '/' (write ./PATH for a file whose name holds a '=').\n"
    "\n"
    "Refused before anything is written (exit 1):\n"
    "  - a stub that is not a PE32 or PE32+ Windows GUI program (a DLL, a console program),\n"
    "    is signed, or already carries a payload;\n"
    "  - an entry name the launcher cannot create: empty, over 259 bytes, not printable ASCII,\n"
    "    holding \\ / : < > \" | ? *, ending in a dot or a blank, \".\", \"..\", a device name\n"
    "    (CON, NUL, COM1, ...), or another entry's name in any case;\n"
    "  - a *.cab entry that is not a whole cabinet (it must start with \"MSCF\");\n"
    "  - an OUT.exe that is the stub or a FILE (by any name or link), that exists but is not a\n"
    "    regular file, or that is read-only;\n"
    "  - a result of 4 GiB or more: Authenticode cannot sign it.\n"
    "A warning is given for a name whose path in the launcher's work folder,\n"
    "%TEMP%\\unpacklumo\\<session>\\NAME, would pass Windows' 259 characters with a temp folder\n"
    "of typical length, taken as 49 characters (C:\\Users\\, a 20-character user name,\n"
    "\\AppData\\Local\\Temp\\).\n"
    "\n"
    "OUT.exe is written to a new temporary file beside it and renamed into place once complete\n"
    "and flushed (an interrupted pack leaves nothing). It gets the stub's permissions and a\n"
    "PE checksum recomputed over the whole file.\n";

const char kListHelp[] =
    "usage: lumo-pack list [--json] [--] FILE\n"
    "Shows the stub (name, size, machine, file version, SHA-256), the header offset, the\n"
    "certificate table and every entry (size, SHA-256, name) of a packed launcher, signed or not.\n"
    "Entries the launcher would skip are marked. A warning is given for bytes after the\n"
    "certificate table, which the signature does not cover.\n"
    "\n"
    "--json  one JSON object: file, size, stub {name, size, sha256, machine, file_version},\n"
    "        header_offset, certificate_table {offset, size} or null,\n"
    "        bytes_after_certificate_table, complete, entries [{name, offset (of the data),\n"
    "        size, sha256, skipped_by_launcher (null or the reason)}]. A name byte outside ASCII\n"
    "        is written as the character of that number (\\u0080 to \\u00ff).\n"
    "The stub's SHA-256 counts its PE checksum and certificate-table entry as zeros, so packing\n"
    "and signing leave it unchanged.\n"
    "\n"
    "Exit 1 for a file that holds no payload, or whose payload is cut short (the entries found\n"
    "are still shown).\n";

const char kVerifyHelp[] =
    "usage: lumo-pack verify [--expect NAME=SHA256]... [--] FILE\n"
    "Checks a packed launcher, after signing, before it ships:\n"
    "  - the trailer lies directly before the certificate table (at the end when unsigned), and\n"
    "    nothing follows the table;\n"
    "  - the payload lies inside the part of the file that the signature covers;\n"
    "  - the entries' sizes, positions and running totals add up, the payload starts after the\n"
    "    program image, and the PE checksum is right;\n"
    "  - every entry name passes the launcher's rules, no two names differ only in case, and\n"
    "    every *.cab entry is a whole cabinet;\n"
    "  - each --expect NAME=SHA256 names an entry with that SHA-256 (64 hex digits).\n"
    "Exit 0 when all holds; 1 with one line per finding otherwise. The signature itself is\n"
    "osslsigncode verify's to check.\n";

const char kExtractHelp[] =
    "usage: lumo-pack extract [--force] [--] FILE DIR\n"
    "Writes every entry of FILE into DIR (created if missing) under the launcher's name rules:\n"
    "an entry the launcher would skip is not written and reported, and of entries whose names\n"
    "differ only in case the last one is written, as on Windows. Nothing is written outside\n"
    "DIR, and no existing file is replaced unless --force is given. Each file is written\n"
    "under a temporary name and renamed when complete.\n"
    "\n"
    "Exit 1, with nothing written, for a file without a payload, a payload cut short, a name\n"
    "that exists in DIR (a folder, even with --force) or that DIR cannot hold (too long for its\n"
    "file system); exit 1 after writing the rest when an entry was skipped.\n";

// ---- list ----

int List(const CommandLine& line, std::ostream& out, std::ostream& err) {
  if (line.operands.size() != 1) return UsageError("list", "takes one FILE", err);
  const std::string& file = line.operands[0];
  OpenedPayload opened;
  if (!InspectFile(file, opened, err)) return kExitFailed;
  const Inspection& r = opened.inspection;
  if (line.Has("--json"))
    PrintJson(r, file, out);
  else
    PrintListing(r, out);
  if (r.bytesAfterTable > 0)
    err << "lumo-pack: warning: " << file << ": " << r.bytesAfterTable
        << " bytes follow the certificate table; the signature does not cover them\n";
  if (r.state == PayloadState::kCutShort) return Failed(file + ": " + CutShortText(r), err);
  return kExitOk;
}

// ---- verify ----

bool IsSha256(const std::string& text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

int Verify(const CommandLine& line, std::ostream& out, std::ostream& err) {
  std::vector<Expectation> expected;
  if (line.Has("--expect")) {
    for (const std::string& value : line.options.at("--expect")) {
      const std::size_t equals = value.rfind('=');
      Expectation x;
      if (equals != std::string::npos) x = {value.substr(0, equals), value.substr(equals + 1)};
      if (x.name.empty() || !IsSha256(x.sha256))
        return UsageError("verify", "--expect takes NAME=SHA256 (64 hex digits), not '" + value + "'", err);
      std::transform(x.sha256.begin(), x.sha256.end(), x.sha256.begin(), [](char c) { return std::tolower(static_cast<unsigned char>(c)); });
      expected.push_back(x);
    }
  }
  if (line.operands.size() != 1) return UsageError("verify", "takes one FILE", err);
  const std::string& file = line.operands[0];
  OpenedPayload opened;
  if (!InspectFile(file, opened, err)) return kExitFailed;
  const Inspection& r = opened.inspection;
  const std::vector<std::string> findings = Findings(r, expected);
  for (const std::string& finding : findings) err << "lumo-pack: " << file << ": " << finding << "\n";
  if (!findings.empty()) return kExitFailed;
  out << file << ": ok, " << Entries(r.entries.size()) << ", ";
  if (r.signedFile)
    out << "signed (certificate table of " << r.tableSize << " bytes at " << r.tableOffset << ")\n";
  else
    out << "not signed\n";
  return kExitOk;
}

struct Command {
  const char* name;
  const char* help;
  std::vector<OptionRule> options;
  int (*run)(const CommandLine& line, std::ostream& out, std::ostream& err);
};

const Command* FindCommand(const std::string& name) {
  static const Command kCommands[] = {
      {"pack", kPackHelp, {{"--stub", true, false}, {"--out", true, false}}, Pack},
      {"list", kListHelp, {{"--json", false, false}}, List},
      {"verify", kVerifyHelp, {{"--expect", true, true}}, Verify},
      {"extract", kExtractHelp, {{"--force", false, false}}, Extract},
  };
  for (const Command& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << "usage: lumo-pack COMMAND [OPTION]... [--] ARGUMENT...\nTry 'lumo-pack --help'.\n";
    return kExitUsage;
  }
  const std::string& command = args[0];
  if (command == "--version") {
    out << "lumo-pack (Ondrix LUMO launcher) " << LUMO_VERSION_TEXT << "\n";
    return kExitOk;
  }
  if (command == "--help" || command == "-h" || (command == "help" && args.size() == 1)) {
    out << kOverview;
    return kExitOk;
  }
  if (command == "help") {
    const Command* topic = args.size() == 2 ? FindCommand(args[1]) : nullptr;
    if (topic == nullptr) {
      err << "lumo-pack help: no help on '" << args.back() << "'\nTry 'lumo-pack --help'.\n";
      return kExitUsage;
    }
    out << topic->help;
    return kExitOk;
  }
  const Command* found = FindCommand(command);
  if (found == nullptr) {
    err << "lumo-pack: unknown command '" << command << "'\nTry 'lumo-pack --help'.\n";
    return kExitUsage;
  }
  CommandLine line;
  if (!Parse(args, found->name, found->options, line, err)) return kExitUsage;
  if (line.help) {
    out << found->help;
    return kExitOk;
  }
  return found->run(line, out, err);
}

}  // namespace lumopack
