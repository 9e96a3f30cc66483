// lumo-pack pack: the stub, the entries, the filler and the trailer into a new file,
// after every check that could refuse them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "command_line.h"
#include "files.h"
#include "pe_file.h"
#include "unpack/core/container_writer.h"
#include "unpack/core/entry_name.h"
#include "unpack/core/work_folder.h"

namespace lumopack {

namespace {

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

// What one pack works with; each step below fills in its part, or writes its error line
// and returns false.
struct PackJob {
  std::string stubPath, outPath, stubName;
  InputFile stub;
  PeFacts pe;
  std::vector<PackEntryFile> entries;
  uint64_t packedSize = 0;
};

// The entry names as the command line gives them: names the launcher can create, none
// twice in any case.
bool TakeEntryNames(const std::vector<std::string>& operands, PackJob& job, std::ostream& err) {
  job.entries.resize(operands.size());
  for (std::size_t i = 0; i < operands.size(); ++i) {
    PackEntryFile& e = job.entries[i];
    e.argument = operands[i];
    SplitEntry(e.argument, e.name, e.path);
    const lumo::NameProblem problem = lumo::CheckPackName(e.name);
    if (problem != lumo::NameProblem::kNone) {
      Failed("refusing " + Shown(e.argument) + ": the entry name \"" + Shown(e.name) + "\" is " +
                 lumo::DescribeNameProblem(problem),
             err);
      return false;
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (lumo::SameNameIgnoringCase(job.entries[j].name, e.name)) {
        Failed("refusing " + e.argument + ": the entry name \"" + e.name + "\" is already taken by " +
                   job.entries[j].argument + " (Windows compares names without regard to case)",
               err);
        return false;
      }
    }
  }
  return true;
}

// The stub: a GUI program without signature or payload, under a name the trailer can hold.
bool OpenStub(PackJob& job, std::ostream& err) {
  job.stub = OpenInput(job.stubPath);
  if (job.stub.error != 0) {
    Failed("cannot read the stub " + job.stubPath + ": " + Reason(job.stub.error), err);
    return false;
  }
  FdSource source(job.stub.fd.get(), static_cast<uint64_t>(job.stub.status.st_size));
  const lumo::StubProblem problem = lumo::CheckStub(source);
  const bool peRead = ReadPeFacts(source, job.pe);
  if (source.error() != 0) {
    Failed("cannot read the stub " + job.stubPath + ": " + Reason(source.error()), err);
    return false;
  }
  if (problem != lumo::StubProblem::kNone || !peRead) {
    Failed("refusing the stub " + job.stubPath + ": " + lumo::DescribeStubProblem(problem), err);
    return false;
  }
  job.stubName = BaseName(job.stubPath);
  const lumo::NameProblem nameProblem = lumo::CheckPackName(job.stubName);
  if (nameProblem != lumo::NameProblem::kNone) {
    Failed("refusing the stub " + job.stubPath + ": the trailer records its name, and \"" + Shown(job.stubName) +
               "\" is " + lumo::DescribeNameProblem(nameProblem),
           err);
    return false;
  }
  job.packedSize = static_cast<uint64_t>(job.stub.status.st_size);
  return true;
}

// The entries' files: readable, every *.cab a whole cabinet, all of it signable.
bool OpenEntries(PackJob& job, std::ostream& err) {
  for (PackEntryFile& e : job.entries) {
    e.input = OpenInput(e.path);
    if (e.input.error != 0) {
      Failed("cannot read " + e.path + ": " + Reason(e.input.error), err);
      return false;
    }
    const uint64_t size = static_cast<uint64_t>(e.input.status.st_size);
    if (lumo::IsCabinetName(e.name)) {
      uint8_t head[lumo::kCabinetHeadSize] = {};
      FdSource source(e.input.fd.get(), size);
      const std::size_t got = source.ReadAt(0, head, sizeof head);
      const lumo::CabinetProblem problem = lumo::CheckCabinetHead(head, got, size);
      if (source.error() != 0) {
        Failed("cannot read " + e.path + ": " + Reason(source.error()), err);
        return false;
      }
      if (problem != lumo::CabinetProblem::kNone) {
        Failed("refusing " + e.path + ": the launcher expands every *.cab entry, and this is " +
                   lumo::DescribeCabinetProblem(problem),
               err);
        return false;
      }
    }
    job.packedSize += lumo::kEntryHeaderSize + size;
  }
  job.packedSize += lumo::FillerLength(job.packedSize) + lumo::kEntryHeaderSize;
  if (job.packedSize >= (uint64_t{1} << 32)) {
    Failed("refusing to write " + job.outPath + ": it would be " + std::to_string(job.packedSize) +
               " bytes, and a file of 4 GiB or more cannot be signed (Authenticode)",
           err);
    return false;
  }
  return true;
}

// The output: never the stub or an input under another name, never anything but a
// writable regular file.
bool CheckOutput(const PackJob& job, std::ostream& err) {
  const std::string& out = job.outPath;
  struct stat target {};
  if (::stat(out.c_str(), &target) == 0) {
    if (SameFile(target, job.stub.status)) {
      Failed("refusing --out " + out + ": it is the stub " + job.stubPath, err);
      return false;
    }
    for (const PackEntryFile& e : job.entries) {
      if (SameFile(target, e.input.status)) {
        Failed("refusing --out " + out + ": it is the input " + e.path, err);
        return false;
      }
    }
  }
  if (::lstat(out.c_str(), &target) != 0) {
    if (errno == ENOENT) return true;
    Failed("cannot write " + out + ": " + Reason(errno), err);
    return false;
  }
  if (!S_ISREG(target.st_mode)) {
    Failed("refusing --out " + out + ": it exists and is not a regular file", err);
    return false;
  }
  if ((target.st_mode & S_IWUSR) == 0) {
    Failed("refusing --out " + out + ": it is read-only (make it writable to replace it)", err);
    return false;
  }
  return true;
}

void WarnAboutLongPaths(const PackJob& job, std::ostream& err) {
  for (const PackEntryFile& e : job.entries) {
    const std::size_t length = lumo::TypicalEntryPathLength(e.name.size());
    if (length > lumo::kMaxPathCharacters)
      err << "lumo-pack: warning: the entry \"" << e.name << "\" makes a path of " << length
          << " characters in the launcher's work folder, over Windows' 259, for a temp folder of "
          << lumo::kTypicalTempFolderLength << " characters; the launcher may fail to write it\n";
  }
}

// Stub, entries, filler and trailer into a temporary file beside the output, the PE
// checksum of the whole, then the rename.
bool WritePacked(const PackJob& job, std::ostream& err) {
  const std::string& out = job.outPath;
  const UniqueFd folder(::open(FolderOf(out).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  TempFile temp;
  if (!folder || !temp.Create(folder.get(), BaseName(out), job.stub.status.st_mode & 0777)) {
    Failed("cannot write " + out + ": " + Reason(errno), err);
    return false;
  }
  PackWriter writer(temp, job.pe.checksumOffset, out, err);
  const uint64_t stubSize = static_cast<uint64_t>(job.stub.status.st_size);
  if (!writer.File(job.stub, job.stubPath, stubSize)) return false;
  const auto count = static_cast<uint32_t>(job.entries.size());
  uint64_t total = 0, written = stubSize;
  for (uint32_t i = 0; i < count; ++i) {
    const PackEntryFile& e = job.entries[i];
    const uint64_t size = static_cast<uint64_t>(e.input.status.st_size);
    total += size;
    uint8_t header[lumo::kEntryHeaderSize];
    lumo::EncodeEntryHeader(lumo::MakeEntryHeader(count, i, size, total, e.name), header);
    if (!writer.Bytes(header, sizeof header) || !writer.File(e.input, e.path, size)) return false;
    written += lumo::kEntryHeaderSize + size;
  }
  const std::vector<uint8_t> filler(static_cast<std::size_t>(lumo::FillerLength(written)), lumo::kFillerByte);
  uint8_t trailer[lumo::kEntryHeaderSize];
  lumo::EncodeEntryHeader(lumo::MakeTrailer(stubSize, job.stubName), trailer);
  if (!writer.Bytes(filler.data(), filler.size()) || !writer.Bytes(trailer, sizeof trailer)) return false;
  uint8_t checksum[4];
  for (int i = 0; i < 4; ++i) checksum[i] = static_cast<uint8_t>(writer.Checksum() >> (8 * i));
  if (::pwrite(temp.fd(), checksum, sizeof checksum, static_cast<off_t>(job.pe.checksumOffset)) != sizeof checksum ||
      !temp.Commit(BaseName(out), true)) {
    Failed("cannot write " + out + ": " + Reason(errno), err);
    return false;
  }
  return true;
}

}  // namespace

int Pack(const CommandLine& line, std::ostream& out, std::ostream& err) {
  if (!line.Has("--stub")) return UsageError("pack", "--stub STUB.exe is missing", err);
  if (!line.Has("--out")) return UsageError("pack", "--out OUT.exe is missing", err);
  if (line.operands.empty()) return UsageError("pack", "no FILE to pack", err);
  for (const std::string& operand : line.operands) {
    std::string name, path;
    SplitEntry(operand, name, path);
    if (path.empty()) return UsageError("pack", "'" + operand + "' names no file after its '='", err);
  }
  PackJob job;
  job.stubPath = line.One("--stub");
  job.outPath = line.One("--out");
  // Every refusal comes before anything is written.
  if (!TakeEntryNames(line.operands, job, err) || !OpenStub(job, err) || !OpenEntries(job, err) ||
      !CheckOutput(job, err))
    return kExitFailed;
  WarnAboutLongPaths(job, err);
  if (!WritePacked(job, err)) return kExitFailed;
  out << job.outPath << ": " << Entries(job.entries.size()) << " behind " << job.stubName << " ("
      << job.stub.status.st_size << " bytes), " << job.packedSize << " bytes\n";
  return kExitOk;
}

}  // namespace lumopack
