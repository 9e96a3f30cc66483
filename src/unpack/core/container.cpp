#include "unpack/core/container.h"

#include <algorithm>
#include <cstring>

namespace lumo {

namespace {

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t Le64(const uint8_t* p) { return Le32(p) | (static_cast<uint64_t>(Le32(p + 4)) << 32); }

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool ReadExact(ByteSource& file, uint64_t offset, void* buffer, std::size_t size) {
  return file.ReadAt(offset, buffer, size) == size;
}

// Offsets inside the block read at e_lfanew: signature (4), file header (20), optional
// header. The security directory is data directory 4 of 8-byte entries.
constexpr std::size_t kMagicAt = 24;
constexpr std::size_t kPe32DirectoryCountAt = 24 + 92;
constexpr std::size_t kPe32PlusDirectoryCountAt = 24 + 108;
constexpr std::size_t kPe32SecurityAt = 24 + 96 + 4 * 8;
constexpr std::size_t kPe32PlusSecurityAt = 24 + 112 + 4 * 8;
constexpr uint32_t kSecurityDirectory = 4;

}  // namespace

EntryHeader DecodeEntryHeader(const uint8_t* bytes) {
  EntryHeader header;
  header.count = Le32(bytes);
  header.index = Le32(bytes + 4);
  header.size = Le64(bytes + 8);
  header.total = Le64(bytes + 16);
  std::memcpy(header.name.data(), bytes + 24, kEntryNameSize);
  return header;
}

void EncodeEntryHeader(const EntryHeader& header, uint8_t* bytes) {
  Put32(bytes, header.count);
  Put32(bytes + 4, header.index);
  Put64(bytes + 8, header.size);
  Put64(bytes + 16, header.total);
  std::memcpy(bytes + 24, header.name.data(), kEntryNameSize);
}

bool SetEntryName(EntryHeader& header, const std::string& name) {
  header.name.fill('\0');
  if (name.size() >= kEntryNameSize || name.find('\0') != std::string::npos) return false;
  std::memcpy(header.name.data(), name.data(), name.size());
  return true;
}

std::size_t MemorySource::ReadAt(uint64_t offset, void* buffer, std::size_t size) {
  if (offset >= size_) return 0;
  const std::size_t available = static_cast<std::size_t>(size_ - offset);
  const std::size_t count = std::min(size, available);
  std::memcpy(buffer, data_ + offset, count);
  return count;
}

bool ReadPeSecurity(ByteSource& file, PeSecurity& security, bool* beyond) {
  security = PeSecurity{};
  if (beyond != nullptr) *beyond = false;
  uint8_t dos[kDosHeaderSize];
  if (!ReadExact(file, 0, dos, sizeof dos)) return false;
  // e_lfanew is signed; a negative value, sign-extended, is beyond any file.
  const int32_t lfanew = static_cast<int32_t>(Le32(dos + kLfanewOffset));
  const uint64_t peOffset = static_cast<uint64_t>(static_cast<int64_t>(lfanew));
  if (peOffset > file.Length()) {
    if (beyond != nullptr) *beyond = true;
    return false;
  }
  uint8_t pe[kPe32PlusHeadersSize] = {};
  const std::size_t got = file.ReadAt(peOffset, pe, sizeof pe);
  if (got < kPe32HeadersSize) return false;
  const uint16_t magic = static_cast<uint16_t>(pe[kMagicAt] | (pe[kMagicAt + 1] << 8));
  security.pe32Plus = magic == kPe32PlusMagic;
  if (security.pe32Plus && got < kPe32PlusHeadersSize) return false;
  // An optional header with fewer than five data directories has no certificate table;
  // the bytes at that position belong to something else.
  const uint32_t directories =
      Le32(pe + (security.pe32Plus ? kPe32PlusDirectoryCountAt : kPe32DirectoryCountAt));
  if (directories <= kSecurityDirectory) return true;
  const std::size_t at = security.pe32Plus ? kPe32PlusSecurityAt : kPe32SecurityAt;
  security.tableOffset = Le32(pe + at);
  security.signSize = static_cast<int32_t>(Le32(pe + at + 4));
  return true;
}

TrailerLocation LocateTrailer(ByteSource& file) {
  TrailerLocation location;
  bool beyond = false;
  if (!ReadPeSecurity(file, location.security, &beyond)) {
    location.status = beyond ? TrailerStatus::kNoPeHeaders : TrailerStatus::kHeadersShort;
    return location;
  }
  const uint64_t length = file.Length();
  const PeSecurity& security = location.security;
  const uint64_t tableEnd = static_cast<uint64_t>(security.tableOffset) +
                            static_cast<uint32_t>(security.signSize);
  if (security.signSize > 0 && security.tableOffset != 0 && security.tableOffset < length &&
      tableEnd <= length) {
    // The signer put the table right behind the trailer: whatever follows the table
    // (bytes appended after signing) plays no part.
    if (security.tableOffset < kEntryHeaderSize) {
      location.status = TrailerStatus::kFileTooShort;
      return location;
    }
    location.atCertificateTable = true;
    location.trailerOffset = security.tableOffset - kEntryHeaderSize;
  } else {
    uint64_t distance = kEntryHeaderSize;
    if (security.signSize > 0) distance += static_cast<uint32_t>(security.signSize);
    if (length < distance) {
      location.status = TrailerStatus::kFileTooShort;
      return location;
    }
    location.trailerOffset = length - distance;
  }
  uint8_t bytes[kEntryHeaderSize] = {};
  if (!ReadExact(file, location.trailerOffset, bytes, sizeof bytes)) {
    location.status = TrailerStatus::kReadFailed;
    return location;
  }
  location.trailer = DecodeEntryHeader(bytes);
  location.headerOffset = location.trailer.size;
  location.status = TrailerStatus::kFound;
  return location;
}

bool LooksLikePackedTrailer(const TrailerLocation& location) {
  if (location.status != TrailerStatus::kFound) return false;
  const EntryHeader& t = location.trailer;
  const bool terminated =
      std::find(t.name.begin(), t.name.end(), '\0') != t.name.end();
  return t.index == 1 && t.count == 0 && t.size == t.total && t.size != 0 &&
         t.size <= location.trailerOffset && terminated;
}

uint64_t SkipTarget(uint64_t position, uint64_t size, uint64_t length) {
  if (position >= length) return position;
  return size > length - position ? length : position + size;
}

WalkResult WalkEntries(ByteSource& file, uint64_t headerOffset, std::size_t limit) {
  WalkResult result;
  const uint64_t length = file.Length();
  uint64_t position = headerOffset;
  int32_t handled = 0;
  while (result.entries.size() < limit) {
    uint8_t bytes[kEntryHeaderSize];
    if (!ReadExact(file, position, bytes, sizeof bytes)) break;
    EntryInfo info;
    info.header = DecodeEntryHeader(bytes);
    // The launcher compares its counter with each header's count as signed numbers.
    if (handled >= static_cast<int32_t>(info.header.count)) break;
    info.headerOffset = position;
    info.dataOffset = position + kEntryHeaderSize;
    ++handled;
    result.entries.push_back(info);
    if (info.header.size > length - info.dataOffset) {
      result.truncated = true;
      break;
    }
    position = info.dataOffset + info.header.size;
    if (handled == static_cast<int32_t>(info.header.count)) break;
  }
  return result;
}

}  // namespace lumo
