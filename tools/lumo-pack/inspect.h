// Reading a packed launcher: what lumo-pack list, verify and extract know about a file.
// Portable and free of system calls (it reads through lumo::ByteSource), so that a fuzz
// target can run it on any bytes; the writing side lives in files.h and pack_tool.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pe_file.h"
#include "unpack/core/container.h"
#include "unpack/core/container_writer.h"
#include "unpack/core/entry_name.h"

namespace lumopack {

// SHA-256 of `size` bytes at `offset`, in lowercase hex; `complete` false when the file
// ended (or a read failed) before them.
std::string Sha256Of(lumo::ByteSource& file, uint64_t offset, uint64_t size, bool* complete = nullptr);

struct EntryReport {
  lumo::EntryHeader header;
  uint64_t headerOffset = 0;
  uint64_t dataOffset = 0;
  std::string name;              // the bytes before the NUL
  bool ascii = true;             // the name reads the same in every code page
  lumo::NameProblem nameProblem = lumo::NameProblem::kNone;  // why the launcher would skip it
  bool cabinet = false;          // named "*.cab": the launcher expands it
  lumo::CabinetProblem cabinetProblem = lumo::CabinetProblem::kNone;
  bool complete = true;          // the file holds all its data
  std::string sha256;            // of its data (as far as the file holds them)
};

enum class PayloadState {
  kNotPe,      // no PE headers
  kNotPacked,  // a program image without a payload
  kCutShort,   // a payload whose end is missing
  kPacked,     // a trailer, and every entry it leads to is whole
};

struct Inspection {
  uint64_t length = 0;
  PeFacts pe;
  PayloadState state = PayloadState::kNotPe;
  lumo::TrailerLocation location;  // where the launcher looks for the trailer
  uint64_t headerOffset = 0;       // entry 1: from the trailer, or found behind the image when cut short
  uint32_t announced = 0;          // entries the first entry header announces
  std::vector<EntryReport> entries;
  uint64_t payloadEnd = 0;         // end of the last entry's data
  std::string stubName;            // the trailer's name
  std::string stubSha256;          // the bytes before the payload, checksum and certificate entry as zeros
  // The certificate table named by the security directory.
  bool signedFile = false;
  uint64_t tableOffset = 0, tableSize = 0;
  bool tableInside = false;        // starts and ends inside the file
  uint64_t bytesAfterTable = 0;
  uint32_t computedChecksum = 0;
};

Inspection Inspect(lumo::ByteSource& file);

// An expected entry for verify: its name and the SHA-256 of its data (lowercase hex).
struct Expectation {
  std::string name;
  std::string sha256;
};

// One line per fault that verify reports; none for a file fit to ship.
std::vector<std::string> Findings(const Inspection& inspection, const std::vector<Expectation>& expected);

// What is wrong with a file without a whole payload: never packed, its program image cut
// short, or its payload cut short ("the payload is cut short: N of M entries").
std::string NoPayloadText(const Inspection& inspection);
std::string CutShortText(const Inspection& inspection);

// Text of a name for messages: bytes outside printable ASCII as \xHH.
std::string Shown(const std::string& name);

}  // namespace lumopack
