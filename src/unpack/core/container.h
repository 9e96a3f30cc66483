// The payload container appended behind the launcher's program image:
//   program image | entry 1 .. entry N | filler | trailer (284 bytes) | certificate table
// Each entry is a 284-byte header followed by its data. There is no magic number: the
// trailer is found by its position alone, right before the certificate table (or at the
// very end of an unsigned file), and its `size` is the offset of entry 1.
//
// Portable: the launcher, the packing tool and the fuzz target share this code, so the
// layout is decided in one place. No system call; file access goes through ByteSource.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lumo {

constexpr std::size_t kEntryHeaderSize = 284;
constexpr std::size_t kEntryNameSize = 260;
constexpr std::size_t kDosHeaderSize = 64;
constexpr std::size_t kLfanewOffset = 60;
// Signature, file header and the PE32 optional header with its 16 data directories.
constexpr std::size_t kPe32HeadersSize = 248;
// The same for PE32+, whose optional header is 16 bytes longer.
constexpr std::size_t kPe32PlusHeadersSize = 264;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;

struct EntryHeader {
  uint32_t count = 0;   // N in every payload entry, 0 in the trailer
  uint32_t index = 0;   // 2..N+1 for payload entries, 1 for the trailer
  uint64_t size = 0;    // data length; in the trailer the program image's length
  uint64_t total = 0;   // running sum of sizes; in the trailer equal to size
  std::array<char, kEntryNameSize> name{};  // 8-bit text, NUL-terminated and NUL-padded
};

// Little-endian decode/encode of exactly kEntryHeaderSize bytes.
EntryHeader DecodeEntryHeader(const uint8_t* bytes);
void EncodeEntryHeader(const EntryHeader& header, uint8_t* bytes);
// Sets the name field from text; false (field left empty) when it does not fit with its NUL.
bool SetEntryName(EntryHeader& header, const std::string& name);

// Random access to the bytes of one file. The launcher backs it with its own executable,
// the packing tool with a host file, the tests and the fuzz target with memory.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t Length() const = 0;
  // Reads up to `size` bytes at `offset`; returns how many were read (fewer at the end of
  // the file or on a read failure, 0 at or beyond the end).
  virtual std::size_t ReadAt(uint64_t offset, void* buffer, std::size_t size) = 0;
};

class MemorySource : public ByteSource {
 public:
  MemorySource(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  explicit MemorySource(const std::vector<uint8_t>& bytes) : MemorySource(bytes.data(), bytes.size()) {}
  uint64_t Length() const override { return size_; }
  std::size_t ReadAt(uint64_t offset, void* buffer, std::size_t size) override;

 private:
  const uint8_t* data_;
  std::size_t size_;
};

// What the PE headers say about the certificate table.
struct PeSecurity {
  bool pe32Plus = false;      // read at the PE32+ position (optional header magic 0x20B)
  uint32_t tableOffset = 0;   // file offset of the certificate table (0: none)
  int32_t signSize = 0;       // its size, as the signed figure the launcher logs
};

enum class TrailerStatus {
  kFound,          // trailer read; headerOffset is its `size` (0 still means no payload)
  kNoPeHeaders,    // e_lfanew lies beyond the end of the file
  kHeadersShort,   // the file is too short for its DOS or PE headers
  kFileTooShort,   // the trailer would start before the beginning of the file
  kReadFailed,     // the trailer could not be read in full
};

struct TrailerLocation {
  TrailerStatus status = TrailerStatus::kHeadersShort;
  // Valid from kFileTooShort on (the PE headers were read).
  PeSecurity security;
  // Valid when kFound.
  bool atCertificateTable = false;  // placed by the security directory's offset
  uint64_t trailerOffset = 0;
  EntryHeader trailer;
  uint64_t headerOffset = 0;
};

// Reads the security data directory at the PE32 or PE32+ position according to the
// optional header's magic (any other magic is read as PE32, the launcher's own format).
// False when the file is too short for the headers or e_lfanew points beyond it; `beyond`
// then tells the second case apart.
bool ReadPeSecurity(ByteSource& file, PeSecurity& security, bool* beyond = nullptr);

// Finds the trailer. When the security directory names a certificate table that starts
// inside the file and ends within it, the trailer is the 284 bytes before that table, so
// bytes appended behind a signature cannot redirect the payload. Otherwise it is the 284
// bytes before the last `signSize` bytes (or the last 284 bytes of an unsigned file).
TrailerLocation LocateTrailer(ByteSource& file);

// True for a trailer as the packing tool writes it: index 1, count 0, total equal to size,
// a NUL-terminated name and an image length that leaves room before the trailer. The
// launcher itself does not ask this; the packing tool and `list` do.
bool LooksLikePackedTrailer(const TrailerLocation& location);

// One payload entry as the walk meets it.
struct EntryInfo {
  EntryHeader header;
  uint64_t headerOffset = 0;  // file offset of its 284-byte header
  uint64_t dataOffset = 0;    // file offset of its first data byte
};

struct WalkResult {
  std::vector<EntryInfo> entries;
  bool truncated = false;  // an entry claims more data than the file holds
};

// Walks the entries from `headerOffset` as the launcher does: stop when a header read
// yields nothing (or less than a header), after `count` of the first header entries, or
// when an entry's data run past the end of the file. At most `limit` entries are listed.
WalkResult WalkEntries(ByteSource& file, uint64_t headerOffset, std::size_t limit = 100000);

// Where passing over `size` bytes from `position` lands: saturated at the end of the file,
// so a lying size can never wrap around or move backwards.
uint64_t SkipTarget(uint64_t position, uint64_t size, uint64_t length);

}  // namespace lumo
