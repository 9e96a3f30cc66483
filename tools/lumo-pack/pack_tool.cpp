#include "pack_tool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <map>
#include <vector>

#include "files.h"
#include "inspect.h"
#include "report.h"
#include "res/resource.h"
#include "unpack/core/work_folder.h"

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
    "Exit 1, with nothing written, for a file without a payload, a payload cut short, or a name\n"
    "that exists in DIR; exit 1 after writing the rest when an entry was skipped.\n";

// ---- Command line ----

struct OptionSpec {
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

int UsageError(const std::string& command, const std::string& message, std::ostream& err) {
  err << "lumo-pack " << command << ": " << message << "\nTry 'lumo-pack " << command << " --help'.\n";
  return kExitUsage;
}

// Parses args[1..] of `command`: --NAME VALUE or --NAME=VALUE, -h/--help, and -- before
// operands. False after a usage error has been written.
bool Parse(const std::vector<std::string>& args, const std::string& command, const std::vector<OptionSpec>& specs,
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
    const auto spec = std::find_if(specs.begin(), specs.end(), [&](const OptionSpec& s) { return name == s.name; });
    if (spec == specs.end()) {
      UsageError(command, "unknown option " + name, err);
      return false;
    }
    std::string value;
    if (spec->takesValue) {
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
    if (line.Has(name) && !spec->repeatable) {
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

// Opens FILE of list, verify or extract and inspects it; false after an error line.
struct OpenedPayload {
  InputFile input;
  Inspection inspection;
};
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

// ---- pack ----

struct PackEntryFile {
  std::string argument, name, path;
  InputFile input;
};

// NAME=PATH when the text before the first '=' holds no '/'; otherwise the whole is a path.
void SplitEntry(const std::string& argument, std::string& name, std::string& path) {
  const std::size_t equals = argument.find('=');
  if (equals != std::string::npos && argument.find('/') > equals) {
    name = argument.substr(0, equals);
    path = argument.substr(equals + 1);
  } else {
    name = BaseName(argument);
    path = argument;
  }
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Streams the packed file into `temp`, feeding the checksum on the way; false after an
// error line.
class PackWriter {
 public:
  PackWriter(TempFile& temp, uint64_t checksumOffset, const std::string& out, std::ostream& err)
      : temp_(temp), checksum_(checksumOffset), out_(out), err_(err) {}

  bool Bytes(const void* data, std::size_t size) {
    checksum_.Add(static_cast<const uint8_t*>(data), size);
    if (temp_.Write(data, size)) return true;
    Failed("cannot write " + out_ + ": " + Reason(errno), err_);
    return false;
  }

  // Copies the whole of a file that was `size` bytes long when it was checked.
  bool File(const InputFile& input, const std::string& path, uint64_t size) {
    std::vector<char> buffer(1 << 16);
    uint64_t done = 0;
    FdSource source(input.fd.get(), size);
    while (done < size) {
      const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), size - done));
      const std::size_t got = source.ReadAt(done, buffer.data(), want);
      if (source.error() != 0) {
        Failed("cannot read " + path + ": " + Reason(source.error()), err_);
        return false;
      }
      if (got < want) break;
      if (!Bytes(buffer.data(), got)) return false;
      done += got;
    }
    struct stat now {};
    if (done != size || ::fstat(input.fd.get(), &now) != 0 || static_cast<uint64_t>(now.st_size) != size) {
      Failed(path + " changed its length while it was packed", err_);
      return false;
    }
    return true;
  }

  uint32_t Checksum() const { return checksum_.Value(); }

 private:
  TempFile& temp_;
  PeChecksum checksum_;
  const std::string& out_;
  std::ostream& err_;
};

int Pack(const CommandLine& line, std::ostream& out, std::ostream& err) {
  if (!line.Has("--stub")) return UsageError("pack", "--stub STUB.exe is missing", err);
  if (!line.Has("--out")) return UsageError("pack", "--out OUT.exe is missing", err);
  if (line.operands.empty()) return UsageError("pack", "no FILE to pack", err);
  const std::string stubPath = line.One("--stub"), outPath = line.One("--out");

  // The names, as the command line gives them.
  std::vector<PackEntryFile> entries(line.operands.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    PackEntryFile& e = entries[i];
    e.argument = line.operands[i];
    SplitEntry(e.argument, e.name, e.path);
    if (e.path.empty()) return UsageError("pack", "'" + e.argument + "' names no file after its '='", err);
    const lumo::NameProblem problem = lumo::CheckPackName(e.name);
    if (problem != lumo::NameProblem::kNone)
      return Failed("refusing " + Shown(e.argument) + ": the entry name \"" + Shown(e.name) + "\" is " +
                        lumo::DescribeNameProblem(problem),
                    err);
    for (std::size_t j = 0; j < i; ++j) {
      if (lumo::SameNameIgnoringCase(entries[j].name, e.name))
        return Failed("refusing " + e.argument + ": the entry name \"" + e.name + "\" is already taken by " +
                          entries[j].argument + " (Windows compares names without regard to case)",
                      err);
    }
  }

  // The stub.
  InputFile stub = OpenInput(stubPath);
  if (stub.error != 0) return Failed("cannot read the stub " + stubPath + ": " + Reason(stub.error), err);
  const uint64_t stubSize = static_cast<uint64_t>(stub.status.st_size);
  FdSource stubSource(stub.fd.get(), stubSize);
  const lumo::StubProblem stubProblem = lumo::CheckStub(stubSource);
  PeFacts pe;
  const bool peRead = ReadPeFacts(stubSource, pe);
  if (stubSource.error() != 0) return Failed("cannot read the stub " + stubPath + ": " + Reason(stubSource.error()), err);
  if (stubProblem != lumo::StubProblem::kNone || !peRead)
    return Failed("refusing the stub " + stubPath + ": " + lumo::DescribeStubProblem(stubProblem), err);
  const std::string stubName = BaseName(stubPath);
  const lumo::NameProblem stubNameProblem = lumo::CheckPackName(stubName);
  if (stubNameProblem != lumo::NameProblem::kNone)
    return Failed("refusing the stub " + stubPath + ": the trailer records its name, and \"" + Shown(stubName) +
                      "\" is " + lumo::DescribeNameProblem(stubNameProblem),
                  err);

  // The entries' files.
  uint64_t packedSize = stubSize;
  for (PackEntryFile& e : entries) {
    e.input = OpenInput(e.path);
    if (e.input.error != 0) return Failed("cannot read " + e.path + ": " + Reason(e.input.error), err);
    const uint64_t size = static_cast<uint64_t>(e.input.status.st_size);
    if (lumo::IsCabinetName(e.name)) {
      uint8_t head[lumo::kCabinetHeadSize] = {};
      FdSource source(e.input.fd.get(), size);
      const std::size_t got = source.ReadAt(0, head, sizeof head);
      if (source.error() != 0) return Failed("cannot read " + e.path + ": " + Reason(source.error()), err);
      const lumo::CabinetProblem problem = lumo::CheckCabinetHead(head, got, size);
      if (problem != lumo::CabinetProblem::kNone)
        return Failed("refusing " + e.path + ": the launcher expands every *.cab entry, and this is " +
                          lumo::DescribeCabinetProblem(problem),
                      err);
    }
    packedSize += lumo::kEntryHeaderSize + size;
  }
  packedSize += lumo::FillerLength(packedSize) + lumo::kEntryHeaderSize;
  if (packedSize >= (uint64_t{1} << 32))
    return Failed("refusing to write " + outPath + ": it would be " + std::to_string(packedSize) +
                      " bytes, and a file of 4 GiB or more cannot be signed (Authenticode)",
                  err);

  // The output: never one of the inputs, never anything but a writable regular file.
  struct stat target {};
  if (::stat(outPath.c_str(), &target) == 0) {
    if (SameFile(target, stub.status)) return Failed("refusing --out " + outPath + ": it is the stub " + stubPath, err);
    for (const PackEntryFile& e : entries) {
      if (SameFile(target, e.input.status))
        return Failed("refusing --out " + outPath + ": it is the input " + e.path, err);
    }
  }
  if (::lstat(outPath.c_str(), &target) == 0) {
    if (!S_ISREG(target.st_mode))
      return Failed("refusing --out " + outPath + ": it exists and is not a regular file", err);
    if ((target.st_mode & S_IWUSR) == 0)
      return Failed("refusing --out " + outPath + ": it is read-only (make it writable to replace it)", err);
  } else if (errno != ENOENT) {
    return Failed("cannot write " + outPath + ": " + Reason(errno), err);
  }

  for (const PackEntryFile& e : entries) {
    const std::size_t length = lumo::TypicalEntryPathLength(e.name.size());
    if (length > lumo::kMaxPathCharacters)
      err << "lumo-pack: warning: the entry \"" << e.name << "\" makes a path of " << length
          << " characters in the launcher's work folder, over Windows' 259, for a temp folder of "
          << lumo::kTypicalTempFolderLength << " characters; the launcher may fail to write it\n";
  }

  // Written under a temporary name beside OUT.exe, renamed once complete.
  const UniqueFd folder(::open(FolderOf(outPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return Failed("cannot write " + outPath + ": " + Reason(errno), err);
  TempFile temp;
  if (!temp.Create(folder.get(), BaseName(outPath), stub.status.st_mode & 0777))
    return Failed("cannot write " + outPath + ": " + Reason(errno), err);
  PackWriter writer(temp, pe.checksumOffset, outPath, err);
  if (!writer.File(stub, stubPath, stubSize)) return kExitFailed;
  const auto count = static_cast<uint32_t>(entries.size());
  uint64_t total = 0, written = stubSize;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t size = static_cast<uint64_t>(entries[i].input.status.st_size);
    total += size;
    uint8_t header[lumo::kEntryHeaderSize];
    lumo::EncodeEntryHeader(lumo::MakeEntryHeader(count, i, size, total, entries[i].name), header);
    if (!writer.Bytes(header, sizeof header) || !writer.File(entries[i].input, entries[i].path, size))
      return kExitFailed;
    written += lumo::kEntryHeaderSize + size;
  }
  const std::vector<uint8_t> filler(static_cast<std::size_t>(lumo::FillerLength(written)), lumo::kFillerByte);
  uint8_t trailer[lumo::kEntryHeaderSize];
  lumo::EncodeEntryHeader(lumo::MakeTrailer(stubSize, stubName), trailer);
  if (!writer.Bytes(filler.data(), filler.size()) || !writer.Bytes(trailer, sizeof trailer)) return kExitFailed;
  uint8_t checksum[4];
  for (int i = 0; i < 4; ++i) checksum[i] = static_cast<uint8_t>(writer.Checksum() >> (8 * i));
  if (::pwrite(temp.fd(), checksum, sizeof checksum, static_cast<off_t>(pe.checksumOffset)) != sizeof checksum)
    return Failed("cannot write " + outPath + ": " + Reason(errno), err);
  if (!temp.Commit(BaseName(outPath), true)) return Failed("cannot write " + outPath + ": " + Reason(errno), err);
  out << outPath << ": " << Entries(count) << " behind " << stubName << " (" << stubSize << " bytes), "
      << packedSize << " bytes\n";
  return kExitOk;
}

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

// ---- extract ----

int Extract(const CommandLine& line, std::ostream& out, std::ostream& err) {
  if (line.operands.size() != 2) return UsageError("extract", "takes FILE and DIR", err);
  const std::string& file = line.operands[0];
  const std::string& dir = line.operands[1];
  const bool force = line.Has("--force");
  OpenedPayload opened;
  if (!InspectFile(file, opened, err)) return kExitFailed;
  const Inspection& r = opened.inspection;
  if (r.state == PayloadState::kCutShort) return Failed(file + ": " + CutShortText(r) + "; nothing extracted", err);

  // Which entries are written: not those the launcher skips, and of names equal but for
  // case only the last, which the launcher writes over the others.
  std::vector<std::size_t> chosen;
  bool skipped = false;
  for (std::size_t i = 0; i < r.entries.size(); ++i) {
    const EntryReport& e = r.entries[i];
    const std::string which = file + ": entry " + std::to_string(i + 1) + " (" + Shown(e.name) + ") not extracted: ";
    const auto later = std::find_if(r.entries.begin() + static_cast<std::ptrdiff_t>(i) + 1, r.entries.end(),
                                    [&](const EntryReport& o) { return lumo::SameNameIgnoringCase(o.name, e.name); });
    if (e.nameProblem != lumo::NameProblem::kNone) {
      err << "lumo-pack: " << which << "the launcher skips it: " << lumo::DescribeNameProblem(e.nameProblem) << "\n";
      skipped = true;
    } else if (later != r.entries.end()) {
      err << "lumo-pack: " << which << "entry " << (later - r.entries.begin() + 1)
          << " has the same name, and the launcher writes it over this one\n";
      skipped = true;
    } else {
      chosen.push_back(i);
    }
  }

  if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) return Failed("cannot create " + dir + ": " + Reason(errno), err);
  const UniqueFd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return Failed("cannot open " + dir + ": " + Reason(errno), err);
  if (!force) {
    for (std::size_t i : chosen) {
      struct stat existing {};
      if (::fstatat(folder.get(), r.entries[i].name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
        return Failed("refusing to extract into " + dir + ": " + Shown(r.entries[i].name) +
                          " exists there (--force replaces it)",
                      err);
    }
  }

  const mode_t mask = ::umask(0);
  ::umask(mask);
  FdSource source(opened.input.fd.get(), r.length);
  std::vector<char> buffer(1 << 16);
  for (std::size_t i : chosen) {
    const EntryReport& e = r.entries[i];
    const std::string target = dir + "/" + Shown(e.name);
    TempFile temp;
    if (!temp.Create(folder.get(), e.name, 0666 & ~mask)) return Failed("cannot write " + target + ": " + Reason(errno), err);
    for (uint64_t done = 0; done < e.header.size;) {
      const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), e.header.size - done));
      const std::size_t got = source.ReadAt(e.dataOffset + done, buffer.data(), want);
      if (got < want)
        return Failed("cannot read " + file + ": " + (source.error() != 0 ? Reason(source.error()) : "it changed while it was read"), err);
      if (!temp.Write(buffer.data(), got)) return Failed("cannot write " + target + ": " + Reason(errno), err);
      done += got;
    }
    if (!temp.Commit(e.name, force)) return Failed("cannot write " + target + ": " + Reason(errno), err);
  }
  out << dir << ": " << Entries(chosen.size()) << " extracted from " << file << "\n";
  return skipped ? kExitFailed : kExitOk;
}

struct Command {
  const char* name;
  const char* help;
  std::vector<OptionSpec> options;
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
