// Writing the payload container: what the packing tool writes behind a launcher image, and
// what the Windows-side tests use to pack launchers of their own. The reader's rules live
// in container.h; this side only produces files that follow them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "unpack/core/container.h"

namespace lumo {

// Filler bytes the packer writes before the trailer.
constexpr uint8_t kFillerByte = 0xFF;

// Length of the filler that makes the packed file (filler and trailer included) a multiple
// of 8 bytes long: an Authenticode signer then appends its certificate table without
// padding in front of it, so the trailer stays the 284 bytes before the table.
uint64_t FillerLength(uint64_t lengthBeforeFiller);

// Why a stub cannot take a payload.
enum class StubProblem {
  kNone,
  kNotPe,             // no MZ/PE signature, headers cut short, or an unknown optional header
  kNotProgram,        // a DLL, or an image not marked executable
  kNotGui,            // a console program or another subsystem: the launcher is a GUI program
  kSigned,            // it already carries a certificate table
  kHasPayload,        // it already ends in a packed trailer
};
const char* DescribeStubProblem(StubProblem problem);
StubProblem CheckStub(ByteSource& stub);

// The launcher hands every entry named "*.cab" to the system's expand.exe, which fails on
// anything else: such an entry must be a whole cabinet. `head` holds the entry's first
// `got` bytes (12 are enough), `size` is its length.
enum class CabinetProblem {
  kNone,
  kNoSignature,   // does not start with "MSCF" (an empty file included)
  kWrongLength,   // the cabinet header gives another length than the entry has
};
constexpr std::size_t kCabinetHeadSize = 12;
bool IsCabinetName(const std::string& name);
CabinetProblem CheckCabinetHead(const uint8_t* head, std::size_t got, uint64_t size);
const char* DescribeCabinetProblem(CabinetProblem problem);

// One payload entry: its name (8-bit text) and its data.
struct PackEntry {
  std::string name;
  std::vector<uint8_t> data;
};

// The header of payload entry `position` (0-based) of `count`, with `total` the running sum
// of sizes up to and including this entry.
EntryHeader MakeEntryHeader(uint32_t count, uint32_t position, uint64_t size, uint64_t total,
                            const std::string& name);
// The trailer for a program image of `imageLength` bytes packed under `imageName`.
EntryHeader MakeTrailer(uint64_t imageLength, const std::string& imageName);

// Builds a packed file in memory: stub, entries, filler, trailer. The names are written as
// given (tests use this to build malformed payloads too); the packing tool checks them
// before it gets here. `filler` overrides the computed filler length when not negative.
std::vector<uint8_t> PackInMemory(const std::vector<uint8_t>& stub, const std::string& stubName,
                                  const std::vector<PackEntry>& entries, int64_t filler = -1);

// Appends one encoded header to `out`.
void AppendHeader(std::vector<uint8_t>& out, const EntryHeader& header);

}  // namespace lumo
