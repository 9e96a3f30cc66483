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
  kSigned,            // it already carries a certificate table
  kHasPayload,        // it already ends in a packed trailer
};
const char* DescribeStubProblem(StubProblem problem);
StubProblem CheckStub(ByteSource& stub);

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
