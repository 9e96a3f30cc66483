// libFuzzer target over the container code: any bytes taken as a packed launcher, as a stub
// for the packer, and as an entry name. Besides what ASan and UBSan catch, it checks that
// every offset the reader hands out lies inside the input, and that packing a stub the
// packer accepts always reads back.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "unpack/core/container.h"
#include "unpack/core/container_writer.h"
#include "unpack/core/entry_name.h"
#include "tests/fuzz/harness.h"
#include "tests/unit/pe_image.h"

namespace {

void AsPackedFile(const uint8_t* data, std::size_t size) {
  lumo::MemorySource source(data, size);
  const lumo::TrailerLocation location = lumo::LocateTrailer(source);
  lumo::LooksLikePackedTrailer(location);
  if (location.status != lumo::TrailerStatus::kFound) return;
  REQUIRE(location.trailerOffset + lumo::kEntryHeaderSize <= size);
  if (location.atCertificateTable)
    REQUIRE(location.trailerOffset + lumo::kEntryHeaderSize == location.security.tableOffset);
  const lumo::WalkResult walk = lumo::WalkEntries(source, location.headerOffset, 4096);
  for (std::size_t i = 0; i < walk.entries.size(); ++i) {
    const lumo::EntryInfo& entry = walk.entries[i];
    REQUIRE(entry.headerOffset + lumo::kEntryHeaderSize <= size);
    REQUIRE(entry.dataOffset == entry.headerOffset + lumo::kEntryHeaderSize);
    const bool last = i + 1 == walk.entries.size();
    if (!(last && walk.truncated)) REQUIRE(entry.header.size <= size - entry.dataOffset);
    std::string name;
    lumo::CheckEntryNameField(entry.header.name, &name);
    REQUIRE(name.size() <= lumo::kEntryNameSize);
    uint64_t next = lumo::SkipTarget(entry.dataOffset, entry.header.size, size);
    REQUIRE(next >= entry.dataOffset && next <= (size > entry.dataOffset ? size : entry.dataOffset));
  }
}

void AsStub(const uint8_t* data, std::size_t size) {
  if (size > 16384) return;  // keep the round trip cheap
  lumo::MemorySource source(data, size);
  if (lumo::CheckStub(source) != lumo::StubProblem::kNone) return;
  const std::vector<uint8_t> stub(data, data + size);
  const std::vector<lumo::PackEntry> entries = {{"a.bin", {1, 2, 3}}, {"b.txt", {}}};
  const std::vector<uint8_t> packed = lumo::PackInMemory(stub, "stub.exe", entries);
  REQUIRE(packed.size() % 8 == 0);
  lumo::MemorySource packedSource(packed);
  const lumo::TrailerLocation location = lumo::LocateTrailer(packedSource);
  REQUIRE(location.status == lumo::TrailerStatus::kFound);
  REQUIRE(location.headerOffset == size);
  REQUIRE(lumo::LooksLikePackedTrailer(location));
  const lumo::WalkResult walk = lumo::WalkEntries(packedSource, location.headerOffset);
  REQUIRE(walk.entries.size() == 2 && !walk.truncated);
  REQUIRE(walk.entries[0].header.size == 3 && walk.entries[1].header.size == 0);
}

void AsName(const uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size < 300 ? size : 300);
  const lumo::NameProblem problem = lumo::CheckPackName(text);
  lumo::DescribeNameProblem(problem);
  std::wstring wide;
  for (unsigned char c : text) wide.push_back(static_cast<wchar_t>(c));
  // The launcher's check of the 8-bit name and of its widened form agree.
  REQUIRE(lumo::CheckBareName(text) == lumo::CheckBareName(wide));
  // A name the packer accepts is one the launcher accepts.
  if (problem == lumo::NameProblem::kNone) REQUIRE(lumo::CheckBareName(text) == lumo::NameProblem::kNone);
}

}  // namespace

void fuzz::Check(Input& input) {
  AsPackedFile(input.Here(), input.Left());
  AsStub(input.Here(), input.Left());
  AsName(input.Here(), input.Left());
}

// Small PE32 and PE32+ images: bare, packed, with a different filler, signed, and with a
// name that climbs out of the work folder.
std::vector<fuzz::Bytes> fuzz::Seeds() {
  const std::vector<lumo::PackEntry> entries = {
      {"a.cab", std::vector<uint8_t>(40, 'x')}, {".init_setting.ini", {'[', 'S', ']', '\r', '\n'}}, {"e", {}}};
  std::vector<Bytes> seeds;
  for (bool plus : {false, true}) {
    const std::vector<uint8_t> stub = petest::MakeImage(plus, 1024);
    seeds.push_back(stub);
    seeds.push_back(lumo::PackInMemory(stub, "L.exe", entries));
    seeds.push_back(lumo::PackInMemory(stub, "L.exe", entries, 12));
    std::vector<uint8_t> signedFile = lumo::PackInMemory(stub, "L.exe", entries);
    petest::Sign(signedFile, plus, 64);
    seeds.push_back(signedFile);
    seeds.push_back(lumo::PackInMemory(stub, "L.exe", {{"..\\x", {'1'}}, {"ok", {'2'}}}));
  }
  return seeds;
}
