// What lumo-pack reads in a PE file's headers beyond what the launcher needs: the machine,
// where the image's own bytes end, its version resource, and the PE checksum.
// Portable and free of system calls: it reads through lumo::ByteSource.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "unpack/core/container.h"

namespace lumopack {

struct PeFacts {
  bool pe32Plus = false;
  uint16_t machine = 0;
  uint16_t characteristics = 0;
  uint16_t subsystem = 0;
  uint64_t checksumOffset = 0;     // file offset of the optional header's CheckSum field
  uint32_t checksum = 0;           // as stored
  uint64_t securityEntryOffset = 0;  // file offset of the certificate table's data directory entry (0: none)
  uint64_t imageEnd = 0;           // end of the headers and of every section's raw data
  std::string fileVersion;         // "a.b.c.d" from the version resource; empty without one
};

// False when the file has no PE headers that can be read (no MZ or PE signature, headers
// cut short, an unknown optional header).
bool ReadPeFacts(lumo::ByteSource& file, PeFacts& facts);

// "i386", "amd64", or "0x" and the machine number in hex for any other.
std::string MachineName(uint16_t machine);

// The PE checksum as Windows computes it (CheckSumMappedFile): the 16-bit little-endian
// words of the whole file added with end-around carry, the checksum field counted as zero,
// then the file's length added. Fed with the file's bytes in order, in pieces of any size.
class PeChecksum {
 public:
  explicit PeChecksum(uint64_t checksumOffset) : field_(checksumOffset) {}
  void Add(const uint8_t* data, std::size_t size);
  uint32_t Value() const;

 private:
  uint64_t field_;
  uint64_t position_ = 0;
  uint64_t sum_ = 0;
};

// The checksum of a whole file; `complete` false when it could not be read to its end.
uint32_t ComputePeChecksum(lumo::ByteSource& file, uint64_t checksumOffset, bool* complete = nullptr);

}  // namespace lumopack
