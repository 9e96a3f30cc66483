#include "unpack/core/container_writer.h"

#include <algorithm>

#include "unpack/core/entry_name.h"

namespace lumo {

uint64_t FillerLength(uint64_t lengthBeforeFiller) {
  const uint64_t withTrailer = lengthBeforeFiller + kEntryHeaderSize;
  return (8 - withTrailer % 8) % 8;
}

const char* DescribeStubProblem(StubProblem problem) {
  switch (problem) {
    case StubProblem::kNone: return "a program image ready to take a payload";
    case StubProblem::kNotPe: return "not a PE program image";
    case StubProblem::kNotProgram: return "a DLL or an image that is not executable, not a program";
    case StubProblem::kNotGui: return "not a Windows GUI program (a console program or another subsystem)";
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
  // Signature, file header (characteristics at 22) and the optional header as far as its
  // subsystem (at 68, the same for PE32 and PE32+).
  uint8_t pe[24 + 70] = {};
  if (stub.ReadAt(lfanew, pe, sizeof pe) != sizeof pe) return StubProblem::kNotPe;
  const auto le16 = [&](std::size_t at) { return static_cast<uint16_t>(pe[at] | (pe[at + 1] << 8)); };
  const uint16_t magic = le16(24);
  if (pe[0] != 'P' || pe[1] != 'E' || pe[2] != 0 || pe[3] != 0 ||
      (magic != kPe32Magic && magic != kPe32PlusMagic))
    return StubProblem::kNotPe;
  constexpr uint16_t kExecutableImage = 0x0002, kDll = 0x2000, kGuiSubsystem = 2;
  const uint16_t characteristics = le16(22);
  if ((characteristics & kExecutableImage) == 0 || (characteristics & kDll) != 0) return StubProblem::kNotProgram;
  if (le16(24 + 68) != kGuiSubsystem) return StubProblem::kNotGui;
  if (security.tableOffset != 0 || security.signSize != 0) return StubProblem::kSigned;
  if (LooksLikePackedTrailer(LocateTrailer(stub))) return StubProblem::kHasPayload;
  return StubProblem::kNone;
}

bool IsCabinetName(const std::string& name) {
  static const char kSuffix[] = ".cab";
  const std::size_t n = sizeof kSuffix - 1;
  return name.size() >= n && SameNameIgnoringCase(name.substr(name.size() - n), kSuffix);
}

CabinetProblem CheckCabinetHead(const uint8_t* head, std::size_t got, uint64_t size) {
  if (got < 4 || head[0] != 'M' || head[1] != 'S' || head[2] != 'C' || head[3] != 'F')
    return CabinetProblem::kNoSignature;
  // cbCabinet, the cabinet's total length, follows four reserved bytes.
  if (got < kCabinetHeadSize) return CabinetProblem::kWrongLength;
  const uint32_t length = static_cast<uint32_t>(head[8]) | (static_cast<uint32_t>(head[9]) << 8) |
                          (static_cast<uint32_t>(head[10]) << 16) | (static_cast<uint32_t>(head[11]) << 24);
  return length == size ? CabinetProblem::kNone : CabinetProblem::kWrongLength;
}

const char* DescribeCabinetProblem(CabinetProblem problem) {
  switch (problem) {
    case CabinetProblem::kNone: return "a cabinet";
    case CabinetProblem::kNoSignature: return "not a cabinet (it does not start with \"MSCF\")";
    case CabinetProblem::kWrongLength: return "a cabinet whose header gives another length than the file has";
  }
  return "not a usable cabinet";
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
