#include "pack_tool.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "unpack/core/container.h"
#include "unpack/core/container_writer.h"
#include "unpack/core/entry_name.h"

namespace lumopack {

namespace fs = std::filesystem;

namespace {

const char* const kUsage =
    "usage: lumo-pack pack --stub STUB.exe --out OUT.exe FILE...\n"
    "       lumo-pack list FILE\n";

class StreamSource : public lumo::ByteSource {
 public:
  StreamSource(std::ifstream& in, uint64_t length) : in_(in), length_(length) {}
  uint64_t Length() const override { return length_; }
  std::size_t ReadAt(uint64_t offset, void* buffer, std::size_t size) override {
    if (offset >= length_) return 0;
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    if (!in_) return 0;
    in_.read(static_cast<char*>(buffer), static_cast<std::streamsize>(size));
    return static_cast<std::size_t>(in_.gcount());
  }

 private:
  std::ifstream& in_;
  uint64_t length_;
};

bool ReadWhole(const fs::path& path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// A name as a terminal shows it: bytes outside printable ASCII are escaped.
std::string Shown(const std::string& name) {
  std::string shown;
  for (unsigned char c : name) {
    if (c >= 0x20 && c < 0x7F) {
      shown.push_back(static_cast<char>(c));
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      shown += escaped;
    }
  }
  return shown;
}

struct PackArgs {
  std::string stub, out;
  std::vector<std::string> files;
};

bool ParsePack(const std::vector<std::string>& args, PackArgs& parsed, std::ostream& err) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--stub" || arg == "--out") {
      if (i + 1 >= args.size()) {
        err << "lumo-pack: " << arg << " needs a file name\n";
        return false;
      }
      (arg == "--stub" ? parsed.stub : parsed.out) = args[++i];
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
      err << "lumo-pack: unknown option " << arg << "\n";
      return false;
    } else {
      parsed.files.push_back(arg);
    }
  }
  if (parsed.stub.empty() || parsed.out.empty() || parsed.files.empty()) {
    err << "lumo-pack: pack needs --stub, --out and at least one FILE\n" << kUsage;
    return false;
  }
  return true;
}

int Pack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  PackArgs parsed;
  if (!ParsePack(args, parsed, err)) return kExitRefused;

  std::vector<uint8_t> stub;
  if (!ReadWhole(parsed.stub, stub)) {
    err << "lumo-pack: cannot read the stub " << parsed.stub << "\n";
    return kExitFailed;
  }
  lumo::MemorySource stubSource(stub);
  const lumo::StubProblem stubProblem = lumo::CheckStub(stubSource);
  if (stubProblem != lumo::StubProblem::kNone) {
    err << "lumo-pack: refusing the stub " << parsed.stub << ": " << lumo::DescribeStubProblem(stubProblem)
        << "\n";
    return kExitRefused;
  }
  const std::string stubName = fs::path(parsed.stub).filename().string();
  if (lumo::CheckPackName(stubName) != lumo::NameProblem::kNone) {
    err << "lumo-pack: refusing the stub's file name \"" << Shown(stubName)
        << "\": " << lumo::DescribeNameProblem(lumo::CheckPackName(stubName)) << "\n";
    return kExitRefused;
  }

  // Every entry is checked before anything is written.
  struct Entry {
    fs::path path;
    std::string name;
    uint64_t size;
  };
  std::vector<Entry> entries;
  for (const std::string& file : parsed.files) {
    const fs::path path(file);
    const std::string name = path.filename().string();
    const lumo::NameProblem problem = lumo::CheckPackName(name);
    if (problem != lumo::NameProblem::kNone) {
      err << "lumo-pack: refusing " << Shown(file) << ": the entry name \"" << Shown(name) << "\" is "
          << lumo::DescribeNameProblem(problem) << "; entries need a bare file name\n";
      return kExitRefused;
    }
    for (const Entry& earlier : entries) {
      if (lumo::SameNameIgnoringCase(earlier.name, name)) {
        err << "lumo-pack: refusing " << file << ": its name \"" << name << "\" is already taken by "
            << earlier.path.string() << " (names are compared without regard to case)\n";
        return kExitRefused;
      }
    }
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
      err << "lumo-pack: " << file << " is not a readable file\n";
      return kExitFailed;
    }
    const uint64_t size = fs::file_size(path, ec);
    if (ec) {
      err << "lumo-pack: cannot size " << file << ": " << ec.message() << "\n";
      return kExitFailed;
    }
    entries.push_back({path, name, size});
  }
  if (entries.size() > 0xFFFFFFFEu) {
    err << "lumo-pack: too many entries\n";
    return kExitRefused;
  }

  // Written beside the target and renamed at the end, so a failure never leaves half a
  // launcher under the final name.
  const fs::path target(parsed.out);
  fs::path partial = target;
  partial += ".lumo-pack-partial";
  auto fail = [&](const std::string& message) {
    err << "lumo-pack: " << message << "\n";
    std::error_code ignored;
    fs::remove(partial, ignored);
    return kExitFailed;
  };
  {
    std::ofstream o(partial, std::ios::binary | std::ios::trunc);
    if (!o) return fail("cannot write " + partial.string());
    o.write(reinterpret_cast<const char*>(stub.data()), static_cast<std::streamsize>(stub.size()));
    uint64_t total = 0;
    uint64_t written = stub.size();
    std::vector<char> buffer(1 << 16);
    const auto count = static_cast<uint32_t>(entries.size());
    for (uint32_t i = 0; i < count; ++i) {
      const Entry& entry = entries[i];
      total += entry.size;
      uint8_t header[lumo::kEntryHeaderSize];
      lumo::EncodeEntryHeader(lumo::MakeEntryHeader(count, i, entry.size, total, entry.name), header);
      o.write(reinterpret_cast<const char*>(header), sizeof header);
      std::ifstream in(entry.path, std::ios::binary);
      if (!in) return fail("cannot read " + entry.path.string());
      uint64_t left = entry.size;
      while (left > 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<uint64_t>(left, buffer.size()));
        in.read(buffer.data(), static_cast<std::streamsize>(chunk));
        if (static_cast<std::size_t>(in.gcount()) != chunk)
          return fail(entry.path.string() + " changed its length while it was packed");
        o.write(buffer.data(), static_cast<std::streamsize>(chunk));
        left -= chunk;
      }
      written += lumo::kEntryHeaderSize + entry.size;
    }
    const uint64_t filler = lumo::FillerLength(written);
    const std::string fill(static_cast<std::size_t>(filler), static_cast<char>(lumo::kFillerByte));
    o.write(fill.data(), static_cast<std::streamsize>(fill.size()));
    uint8_t trailer[lumo::kEntryHeaderSize];
    lumo::EncodeEntryHeader(lumo::MakeTrailer(stub.size(), stubName), trailer);
    o.write(reinterpret_cast<const char*>(trailer), sizeof trailer);
    o.flush();
    if (!o) return fail("cannot write " + partial.string());
  }
  std::error_code ec;
  fs::rename(partial, target, ec);
  if (ec) return fail("cannot rename " + partial.string() + " to " + target.string() + ": " + ec.message());
  out << "packed " << entries.size() << " entries behind " << stub.size() << " bytes of " << stubName
      << " into " << target.string() << "\n";
  return kExitOk;
}

int List(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() != 2) {
    err << "lumo-pack: list takes one FILE\n" << kUsage;
    return kExitRefused;
  }
  const std::string& file = args[1];
  std::ifstream in(file, std::ios::binary);
  std::error_code ec;
  const uint64_t length = fs::file_size(file, ec);
  if (!in || ec) {
    err << "lumo-pack: cannot read " << file << "\n";
    return kExitFailed;
  }
  StreamSource source(in, length);
  const lumo::TrailerLocation location = lumo::LocateTrailer(source);
  if (!lumo::LooksLikePackedTrailer(location)) {
    err << "lumo-pack: " << file << " holds no payload\n";
    return kExitFailed;
  }
  out << "header offset: " << location.headerOffset << "\n";
  if (location.security.signSize > 0) {
    out << "signed: certificate table of " << location.security.signSize << " bytes at "
        << location.security.tableOffset << "\n";
  } else {
    out << "signed: no\n";
  }
  const lumo::WalkResult walk = lumo::WalkEntries(source, location.headerOffset);
  out << "entries: " << walk.entries.size() << "\n";
  for (const lumo::EntryInfo& entry : walk.entries) {
    std::string name;
    lumo::NameProblem problem = lumo::CheckEntryNameField(entry.header.name, &name);
    // The field check leaves a backslash byte to the converted name; in an ASCII name it
    // is a backslash in every code page.
    if (problem == lumo::NameProblem::kNone &&
        std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
      problem = lumo::CheckBareName(name);
    out << entry.header.size << "  " << Shown(name);
    if (problem != lumo::NameProblem::kNone)
      out << "  (skipped by the launcher: " << lumo::DescribeNameProblem(problem) << ")";
    out << "\n";
  }
  if (walk.truncated) {
    err << "lumo-pack: " << file << ": the payload is cut short (the last entry claims more data than the file holds)\n";
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << kUsage;
    return kExitRefused;
  }
  if (args[0] == "pack") return Pack(args, out, err);
  if (args[0] == "list") return List(args, out, err);
  if (args[0] == "--help" || args[0] == "-h") {
    out << kUsage;
    return kExitOk;
  }
  err << "lumo-pack: unknown command " << args[0] << "\n" << kUsage;
  return kExitRefused;
}

}  // namespace lumopack
