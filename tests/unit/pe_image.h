// Minimal PE images for the container and packer tests: just enough headers for the reader
// (DOS header, PE signature, file header, optional header with its data directories, one
// section holding everything after the headers), padded to a given length. They are never
// run; the headers say "a GUI program" as the packer wants. With them, what a signer does to
// a file and a cabinet as far as the packer looks.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace petest {

constexpr uint32_t kLfanew = 0x80;

inline void Put16(std::vector<uint8_t>& b, std::size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(std::vector<uint8_t>& b, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Where data directory `index` lies in the file for either optional header.
inline std::size_t DirectoryAt(bool pe32Plus, int index) {
  return kLfanew + 24 + (pe32Plus ? 112 : 96) + 8 * index;
}

constexpr std::size_t kCharacteristicsAt = kLfanew + 22;
constexpr std::size_t kSubsystemAt = kLfanew + 24 + 68;
constexpr std::size_t kChecksumAt = kLfanew + 24 + 64;
constexpr std::size_t kHeadersSize = 512;

// An image of `length` bytes (at least 512) with a recognisable byte pattern after the
// headers, so misplaced reads show up as wrong values rather than zeros.
inline std::vector<uint8_t> MakeImage(bool pe32Plus, std::size_t length = 1536) {
  std::vector<uint8_t> b(length, 0);
  for (std::size_t i = 512; i < length; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 60, kLfanew);
  std::memcpy(&b[kLfanew], "PE\0\0", 4);
  Put16(b, kLfanew + 4, pe32Plus ? 0x8664 : 0x14C);
  Put16(b, kLfanew + 6, 1);                       // one section
  Put16(b, kLfanew + 20, pe32Plus ? 240 : 224);
  Put16(b, kCharacteristicsAt, 0x0102);           // an executable image for a 32-bit machine
  Put16(b, kLfanew + 24, pe32Plus ? 0x20B : 0x10B);
  Put32(b, kLfanew + 24 + 60, kHeadersSize);      // SizeOfHeaders
  Put16(b, kSubsystemAt, 2);                      // Windows GUI
  const std::size_t section = kLfanew + 24 + (pe32Plus ? 240 : 224);
  Put32(b, section + 8, static_cast<uint32_t>(length - kHeadersSize));   // VirtualSize
  Put32(b, section + 12, 0x1000);                                         // VirtualAddress
  Put32(b, section + 16, static_cast<uint32_t>(length - kHeadersSize));  // SizeOfRawData
  Put32(b, section + 20, kHeadersSize);                                   // PointerToRawData
  Put32(b, kLfanew + 24 + (pe32Plus ? 108 : 92), 16);
  // A resource directory that a reader of the wrong header width would take for the
  // certificate table (PE32+ directory 2 sits where PE32 keeps directory 4).
  Put32(b, DirectoryAt(pe32Plus, 2), 0x3000);
  Put32(b, DirectoryAt(pe32Plus, 2) + 4, 0x777);
  return b;
}

// What a signer does: point the security directory at the old end of the file and append
// the certificate table there.
inline void Sign(std::vector<uint8_t>& file, bool pe32Plus, uint32_t tableSize) {
  const uint32_t offset = static_cast<uint32_t>(file.size());
  Put32(file, DirectoryAt(pe32Plus, 4), offset);
  Put32(file, DirectoryAt(pe32Plus, 4) + 4, tableSize);
  for (uint32_t i = 0; i < tableSize; ++i) file.push_back(static_cast<uint8_t>(0xC0 + i % 61));
}

// Where the security data directory lies in any PE file, by its own e_lfanew and its
// optional header's magic: PE32 (the release launcher) keeps it 16 bytes earlier than PE32+
// (the x86_64 build), where PE32's debug directory would be.
inline std::size_t SecurityDirectoryOf(const std::vector<uint8_t>& image) {
  const uint32_t lfanew = image[60] | image[61] << 8 | image[62] << 16 | static_cast<uint32_t>(image[63]) << 24;
  const bool pe32Plus = image[lfanew + 24] == 0x0B && image[lfanew + 25] == 0x02;
  return lfanew + 24 + (pe32Plus ? 112 : 96) + 8 * 4;
}

// What a signer does to a built program packed by the tests: a certificate table of
// `tableSize` bytes of `fill`, named by its security directory, at the old end of the file.
inline void AppendCertificateTable(std::vector<uint8_t>& file, uint32_t tableSize, uint8_t fill) {
  const std::size_t at = SecurityDirectoryOf(file);
  Put32(file, at, static_cast<uint32_t>(file.size()));
  Put32(file, at + 4, tableSize);
  file.resize(file.size() + tableSize, fill);
}

// The PE checksum as Windows' image help library computes it, word by word with the carry
// folded at once: written here apart from the packing tool's own.
inline uint32_t ChecksumOf(const std::vector<uint8_t>& file) {
  uint32_t sum = 0;
  for (std::size_t i = 0; i < file.size(); i += 2) {
    if (i == kChecksumAt || i == kChecksumAt + 2) continue;
    sum += file[i] | (i + 1 < file.size() ? file[i + 1] << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return sum + static_cast<uint32_t>(file.size());
}

// What a signer does to a packed file: the certificate table behind it, the checksum set.
inline void SignLikeASigner(std::vector<uint8_t>& file, bool pe32Plus) {
  Sign(file, pe32Plus, 1600);
  Put32(file, kChecksumAt, ChecksumOf(file));
}

// A cabinet as far as the packer looks: the signature and the length in its header.
inline std::vector<uint8_t> Cabinet(std::size_t size) {
  std::vector<uint8_t> b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(i % 251);
  std::memcpy(b.data(), "MSCF\0\0\0\0", 8);
  Put32(b, 8, static_cast<uint32_t>(size));
  return b;
}

}  // namespace petest
