#include "unpack/core/container_writer.h"

#include <algorithm>

namespace lumo {

uint64_t FillerLength(uint64_t lengthBeforeFiller) {
  const uint64_t withTrailer = lengthBeforeFiller + kEntryHeaderSize;
  return (8 - withTrailer % 8) % 8;
}

const char* DescribeStubProblem(StubProblem problem) {
  switch (problem) {
    case StubProblem::kNone: return "a program image ready to take a payload";
    case StubProblem::kNotPe: return "not a PE program image";
    case StubProblem::kSigned: return "already signed (it has a certificate table); pack before signing";
    case StubProblem::kHasPayload: return "already carries a payload";
  }
  return "unusable";
}

StubProblem CheckStub(ByteSource& stub) {
  uint8_t dos[kDosHeaderSize];
  if (stub.ReadAt(0, dos, sizeof dos) != sizeof dos || dos[0] != 'M' || dos[1] != 'Z')
    return StubProblem::kNotPe;
  PeSecurity security;
  if (!ReadPeSecurity(stub, security)) return StubProblem::kNotPe;
  const uint32_t lfanew = static_cast<uint32_t>(dos[60]) | (static_cast<uint32_t>(dos[61]) << 8) |
                          (static_cast<uint32_t>(dos[62]) << 16) | (static_cast<uint32_t>(dos[63]) << 24);
  uint8_t pe[26] = {};
  if (stub.ReadAt(lfanew, pe, sizeof pe) != sizeof pe) return StubProblem::kNotPe;
  const uint16_t magic = static_cast<uint16_t>(pe[24] | (pe[25] << 8));
  if (pe[0] != 'P' || pe[1] != 'E' || pe[2] != 0 || pe[3] != 0 ||
      (magic != kPe32Magic && magic != kPe32PlusMagic))
    return StubProblem::kNotPe;
  if (security.tableOffset != 0 || security.signSize != 0) return StubProblem::kSigned;
  if (LooksLikePackedTrailer(LocateTrailer(stub))) return StubProblem::kHasPayload;
  return StubProblem::kNone;
}

EntryHeader MakeEntryHeader(uint32_t count, uint32_t position, uint64_t size, uint64_t total,
                            const std::string& name) {
  EntryHeader header;
  header.count = count;
  header.index = position + 2;
  header.size = size;
  header.total = total;
  // Written as given, up to the field's 260 bytes: tests build nameless and unterminated
  // entries this way. The packing tool has checked its names before.
  std::copy_n(name.begin(), std::min(name.size(), kEntryNameSize), header.name.begin());
  return header;
}

EntryHeader MakeTrailer(uint64_t imageLength, const std::string& imageName) {
  EntryHeader header;
  header.count = 0;
  header.index = 1;
  header.size = imageLength;
  header.total = imageLength;
  SetEntryName(header, imageName);
  return header;
}

void AppendHeader(std::vector<uint8_t>& out, const EntryHeader& header) {
  const std::size_t at = out.size();
  out.resize(at + kEntryHeaderSize);
  EncodeEntryHeader(header, out.data() + at);
}

std::vector<uint8_t> PackInMemory(const std::vector<uint8_t>& stub, const std::string& stubName,
                                  const std::vector<PackEntry>& entries, int64_t filler) {
  std::vector<uint8_t> out(stub);
  uint64_t total = 0;
  const auto count = static_cast<uint32_t>(entries.size());
  for (uint32_t i = 0; i < count; ++i) {
    const PackEntry& entry = entries[i];
    total += entry.data.size();
    AppendHeader(out, MakeEntryHeader(count, i, entry.data.size(), total, entry.name));
    out.insert(out.end(), entry.data.begin(), entry.data.end());
  }
  const uint64_t fill = filler >= 0 ? static_cast<uint64_t>(filler) : FillerLength(out.size());
  out.insert(out.end(), static_cast<std::size_t>(fill), kFillerByte);
  AppendHeader(out, MakeTrailer(stub.size(), stubName));
  return out;
}

}  // namespace lumo
