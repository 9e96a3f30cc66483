#include "pe_file.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace lumopack {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

bool ReadExact(lumo::ByteSource& file, uint64_t offset, void* buffer, std::size_t size) {
  return file.ReadAt(offset, buffer, size) == size;
}

struct Section {
  uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

// Windows loads at most 96 sections.
constexpr uint16_t kMaxSections = 96;
constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kSecurityDirectory = 4;
constexpr uint32_t kVersionType = 16;
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

// The file offset of a relative virtual address, if a section's raw data hold it.
bool RvaToOffset(const std::vector<Section>& sections, uint32_t rva, uint64_t& offset) {
  for (const Section& s : sections) {
    const uint32_t span = std::max(s.virtualSize, s.rawSize);
    if (rva >= s.virtualAddress && rva - s.virtualAddress < span && rva - s.virtualAddress < s.rawSize) {
      offset = static_cast<uint64_t>(s.rawOffset) + (rva - s.virtualAddress);
      return true;
    }
  }
  return false;
}

// The first entry of a resource directory (at `dir`, relative to the resource section's
// start), or the entry with the numeric id `id` when one is asked for. Returns its
// OffsetToData field.
bool ResourceEntry(lumo::ByteSource& file, uint64_t base, uint32_t dir, const uint32_t* id, uint32_t& target) {
  uint8_t head[16];
  if (!ReadExact(file, base + dir, head, sizeof head)) return false;
  const uint32_t named = Le16(head + 12), ids = Le16(head + 14);
  const uint32_t count = std::min<uint32_t>(named + ids, 4096);
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t entry[8];
    if (!ReadExact(file, base + dir + 16 + 8ull * i, entry, sizeof entry)) return false;
    if (id == nullptr || (i >= named && Le32(entry) == *id)) {
      target = Le32(entry + 4);
      return true;
    }
  }
  return false;
}

// The file version of the version resource: type 16, its first name, its first language.
std::string ReadFileVersion(lumo::ByteSource& file, const std::vector<Section>& sections, uint32_t resourceRva) {
  uint64_t base = 0;
  if (resourceRva == 0 || !RvaToOffset(sections, resourceRva, base)) return std::string();
  constexpr uint32_t kSubdirectory = 0x80000000u;
  uint32_t at = 0;
  if (!ResourceEntry(file, base, 0, &kVersionType, at) || !(at & kSubdirectory)) return std::string();
  if (!ResourceEntry(file, base, at & ~kSubdirectory, nullptr, at) || !(at & kSubdirectory)) return std::string();
  if (!ResourceEntry(file, base, at & ~kSubdirectory, nullptr, at) || (at & kSubdirectory)) return std::string();
  uint8_t dataEntry[16];
  uint64_t data = 0;
  if (!ReadExact(file, base + at, dataEntry, sizeof dataEntry) || !RvaToOffset(sections, Le32(dataEntry), data))
    return std::string();
  // VS_VERSIONINFO: three 16-bit fields and the key "VS_VERSION_INFO" in UTF-16, then
  // VS_FIXEDFILEINFO on a 4-byte boundary, which begins with its signature.
  uint8_t block[96] = {};
  const std::size_t got = file.ReadAt(data, block, std::min<std::size_t>(sizeof block, Le32(dataEntry + 4)));
  for (std::size_t i = 0; i + 16 <= got; i += 4) {
    if (Le32(block + i) != kFixedFileInfoSignature) continue;
    const uint32_t ms = Le32(block + i + 8), ls = Le32(block + i + 12);
    char text[48];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
    return text;
  }
  return std::string();
}

}  // namespace

bool ReadPeFacts(lumo::ByteSource& file, PeFacts& facts) {
  facts = PeFacts{};
  uint8_t dos[lumo::kDosHeaderSize];
  if (!ReadExact(file, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return false;
  const uint32_t lfanew = Le32(dos + lumo::kLfanewOffset);
  // Signature, file header, and the PE32+ optional header up to its data directories.
  uint8_t pe[24 + 112] = {};
  if (!ReadExact(file, lfanew, pe, sizeof pe) || pe[0] != 'P' || pe[1] != 'E' || pe[2] != 0 || pe[3] != 0)
    return false;
  const uint16_t magic = Le16(pe + 24);
  if (magic != lumo::kPe32Magic && magic != lumo::kPe32PlusMagic) return false;
  facts.pe32Plus = magic == lumo::kPe32PlusMagic;
  facts.machine = Le16(pe + 4);
  facts.characteristics = Le16(pe + 22);
  facts.subsystem = Le16(pe + 24 + 68);
  facts.checksumOffset = static_cast<uint64_t>(lfanew) + 24 + 64;
  facts.checksum = Le32(pe + 24 + 64);
  const uint64_t headersEnd = Le32(pe + 24 + 60);
  const uint32_t directories = Le32(pe + 24 + (facts.pe32Plus ? 108 : 92));
  const uint64_t directoriesAt = static_cast<uint64_t>(lfanew) + 24 + (facts.pe32Plus ? 112 : 96);
  uint32_t resourceRva = 0;
  if (directories > kResourceDirectory) {
    uint8_t entry[8];
    if (ReadExact(file, directoriesAt + 8 * kResourceDirectory, entry, sizeof entry)) resourceRva = Le32(entry);
  }
  if (directories > kSecurityDirectory) facts.securityEntryOffset = directoriesAt + 8 * kSecurityDirectory;

  std::vector<Section> sections;
  const uint64_t table = static_cast<uint64_t>(lfanew) + 24 + Le16(pe + 20);
  const uint16_t count = std::min(Le16(pe + 6), kMaxSections);
  facts.imageEnd = headersEnd;
  for (uint16_t i = 0; i < count; ++i) {
    uint8_t header[40];
    if (!ReadExact(file, table + 40ull * i, header, sizeof header)) return false;
    const Section s{Le32(header + 12), Le32(header + 8), Le32(header + 20), Le32(header + 16)};
    sections.push_back(s);
    if (s.rawSize > 0) facts.imageEnd = std::max<uint64_t>(facts.imageEnd, static_cast<uint64_t>(s.rawOffset) + s.rawSize);
  }
  facts.fileVersion = ReadFileVersion(file, sections, resourceRva);
  return true;
}

std::string MachineName(uint16_t machine) {
  if (machine == 0x14C) return "i386";
  if (machine == 0x8664) return "amd64";
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", machine);
  return text;
}

void PeChecksum::Add(const uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i, ++position_) {
    if (position_ - field_ < 4) continue;  // the checksum field counts as zero
    sum_ += static_cast<uint64_t>(data[i]) << (8 * (position_ & 1));
  }
}

uint32_t PeChecksum::Value() const {
  // Folding the carries of the whole sum at the end gives what folding after every word does.
  uint64_t sum = sum_;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + position_);
}

uint32_t ComputePeChecksum(lumo::ByteSource& file, uint64_t checksumOffset, bool* complete) {
  PeChecksum checksum(checksumOffset);
  std::vector<uint8_t> buffer(1 << 16);
  const uint64_t length = file.Length();
  uint64_t at = 0;
  while (at < length) {
    const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), length - at));
    const std::size_t got = file.ReadAt(at, buffer.data(), want);
    checksum.Add(buffer.data(), got);
    at += got;
    if (got < want) break;
  }
  if (complete != nullptr) *complete = at == length;
  return checksum.Value();
}

}  // namespace lumopack
