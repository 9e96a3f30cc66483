// The payload container: trailer location for signed and unsigned, PE32 and PE32+ files,
// the walk over the entries, and the names the launcher accepts.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pe_image.h"
#include "unpack/core/container.h"
#include "unpack/core/container_writer.h"
#include "unpack/core/entry_name.h"
#include "unpack/core/folder_walk.h"

namespace {

using namespace lumo;

std::vector<uint8_t> Bytes(std::size_t n, uint8_t seed) {
  std::vector<uint8_t> b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
  return b;
}

std::vector<PackEntry> ThreeEntries() {
  return {{"setup.cab", Bytes(3000, 1)}, {".init_setting.ini", Bytes(0, 0)}, {"a.bin", Bytes(1024, 9)}};
}

std::string NameOf(const EntryHeader& h) { return std::string(h.name.data()); }

// Checks that the walk from `location` yields exactly `entries`, data included.
void ExpectPayload(const std::vector<uint8_t>& file, const TrailerLocation& location,
                   const std::vector<PackEntry>& entries) {
  MemorySource source(file);
  const WalkResult walk = WalkEntries(source, location.headerOffset);
  EXPECT_FALSE(walk.truncated);
  ASSERT_EQ(walk.entries.size(), entries.size());
  uint64_t total = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const EntryInfo& e = walk.entries[i];
    total += entries[i].data.size();
    EXPECT_EQ(NameOf(e.header), entries[i].name);
    EXPECT_EQ(e.header.count, entries.size());
    EXPECT_EQ(e.header.index, i + 2);
    EXPECT_EQ(e.header.total, total);
    ASSERT_EQ(e.header.size, entries[i].data.size());
    EXPECT_TRUE(std::equal(entries[i].data.begin(), entries[i].data.end(), file.begin() + e.dataOffset))
        << "data of " << entries[i].name;
  }
}

class ContainerLayout : public ::testing::TestWithParam<bool> {};

TEST_P(ContainerLayout, UnsignedTrailerIsTheLast284Bytes) {
  const bool pe32Plus = GetParam();
  const std::vector<uint8_t> stub = petest::MakeImage(pe32Plus);
  const std::vector<uint8_t> file = PackInMemory(stub, "OXUnPackLUMO.exe", ThreeEntries());
  MemorySource source(file);
  const TrailerLocation location = LocateTrailer(source);
  ASSERT_EQ(location.status, TrailerStatus::kFound);
  EXPECT_EQ(location.security.pe32Plus, pe32Plus);
  EXPECT_EQ(location.security.signSize, 0) << "the resource directory was read as the certificate table";
  EXPECT_FALSE(location.atCertificateTable);
  EXPECT_EQ(location.trailerOffset, file.size() - kEntryHeaderSize);
  EXPECT_EQ(location.headerOffset, stub.size());
  EXPECT_EQ(location.trailer.index, 1u);
  EXPECT_EQ(location.trailer.count, 0u);
  EXPECT_EQ(location.trailer.total, stub.size());
  EXPECT_EQ(NameOf(location.trailer), "OXUnPackLUMO.exe");
  EXPECT_TRUE(LooksLikePackedTrailer(location));
  EXPECT_EQ(file.size() % 8, 0u);
  ExpectPayload(file, location, ThreeEntries());
}

TEST_P(ContainerLayout, SignedTrailerSitsBeforeTheCertificateTable) {
  const bool pe32Plus = GetParam();
  const std::vector<uint8_t> stub = petest::MakeImage(pe32Plus);
  std::vector<uint8_t> file = PackInMemory(stub, "OXUnPackLUMO.exe", ThreeEntries());
  const std::size_t unsignedLength = file.size();
  petest::Sign(file, pe32Plus, 1832);
  MemorySource source(file);
  const TrailerLocation location = LocateTrailer(source);
  ASSERT_EQ(location.status, TrailerStatus::kFound);
  EXPECT_EQ(location.security.signSize, 1832);
  EXPECT_EQ(location.security.tableOffset, unsignedLength);
  EXPECT_TRUE(location.atCertificateTable);
  EXPECT_EQ(location.trailerOffset, file.size() - 1832 - kEntryHeaderSize);
  EXPECT_EQ(location.headerOffset, stub.size());
  ExpectPayload(file, location, ThreeEntries());
}

TEST_P(ContainerLayout, BytesAppendedAfterTheSignatureDoNotRedirectThePayload) {
  const bool pe32Plus = GetParam();
  const std::vector<uint8_t> stub = petest::MakeImage(pe32Plus);
  std::vector<uint8_t> file = PackInMemory(stub, "OXUnPackLUMO.exe", ThreeEntries());
  petest::Sign(file, pe32Plus, 1000);
  // A forged entry and trailer appended behind the table, placed so that the rule "the
  // table's size back from the end" lands on the forged trailer.
  const uint64_t evilAt = file.size();
  std::vector<uint8_t> tail;
  AppendHeader(tail, MakeEntryHeader(1, 0, 4, 4, "evil.exe"));
  tail.insert(tail.end(), {'E', 'V', 'I', 'L'});
  AppendHeader(tail, MakeTrailer(evilAt, "x.exe"));
  tail.resize(tail.size() + 1000, 0xEE);
  file.insert(file.end(), tail.begin(), tail.end());
  ASSERT_EQ(DecodeEntryHeader(&file[file.size() - 1000 - kEntryHeaderSize]).size, evilAt)
      << "the forged trailer is where the size-from-the-end rule looks";
  MemorySource source(file);
  const TrailerLocation location = LocateTrailer(source);
  ASSERT_EQ(location.status, TrailerStatus::kFound);
  EXPECT_TRUE(location.atCertificateTable);
  EXPECT_EQ(location.headerOffset, stub.size());
  ExpectPayload(file, location, ThreeEntries());
}

TEST_P(ContainerLayout, FillerBeforeTheTrailerHasNoEffect) {
  const bool pe32Plus = GetParam();
  const std::vector<uint8_t> stub = petest::MakeImage(pe32Plus);
  for (int64_t filler : {0, 1, 7, 12, 4096}) {
    std::vector<uint8_t> file = PackInMemory(stub, "OXUnPackLUMO.exe", ThreeEntries(), filler);
    for (bool sign : {false, true}) {
      if (sign) petest::Sign(file, pe32Plus, 512);
      MemorySource source(file);
      const TrailerLocation location = LocateTrailer(source);
      ASSERT_EQ(location.status, TrailerStatus::kFound) << filler;
      EXPECT_EQ(location.headerOffset, stub.size()) << filler;
      ExpectPayload(file, location, ThreeEntries());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Pe32AndPe32Plus, ContainerLayout, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Pe32Plus") : std::string("Pe32");
                         });

TEST(ContainerTrailer, SecurityDirectoryOutsideTheFileFallsBackToTheSizeFromTheEnd) {
  const std::vector<uint8_t> stub = petest::MakeImage(false);
  std::vector<uint8_t> file = PackInMemory(stub, "L.exe", ThreeEntries());
  petest::Sign(file, false, 600);
  // The offset points past the end: the table is taken to end the file.
  petest::Put32(file, petest::DirectoryAt(false, 4), static_cast<uint32_t>(file.size() + 100));
  MemorySource source(file);
  TrailerLocation location = LocateTrailer(source);
  ASSERT_EQ(location.status, TrailerStatus::kFound);
  EXPECT_FALSE(location.atCertificateTable);
  EXPECT_EQ(location.headerOffset, stub.size());
  // A table that would run past the end: the same fallback.
  petest::Put32(file, petest::DirectoryAt(false, 4), static_cast<uint32_t>(file.size() - 100));
  location = LocateTrailer(source);
  ASSERT_EQ(location.status, TrailerStatus::kFound);
  EXPECT_FALSE(location.atCertificateTable);
  EXPECT_EQ(location.headerOffset, stub.size());
}

// The launchers this tree built, PE32 and PE32+, read as data: packed and signed the way the
// Windows-side and end-to-end tests do it, each is found at its own certificate table. (Where
// 32-bit programs do not run, this is what shows the release launcher's layout read right.)
TEST(ContainerTrailer, BothBuiltLaunchersSignedAreReadAtTheirOwnDirectory) {
  for (const char* flavor : {"win32", "win64"}) {
    SCOPED_TRACE(flavor);
    const std::string path = std::string(LUMO_OUT_DIR) + "/" + flavor + "/OXUnPackLUMO.exe";
    std::vector<uint8_t> stub;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
      for (int c; (c = std::fgetc(f)) != EOF;) stub.push_back(static_cast<uint8_t>(c));
      std::fclose(f);
    }
    if (stub.empty()) GTEST_SKIP() << path << " is not built (scripts/build " << flavor << ")";
    PeSecurity security;
    MemorySource stubSource(stub);
    ASSERT_TRUE(ReadPeSecurity(stubSource, security));
    EXPECT_EQ(security.pe32Plus, std::string(flavor) == "win64");

    std::vector<uint8_t> file = PackInMemory(stub, "OXUnPackLUMO.exe", ThreeEntries());
    const uint64_t packed = file.size();
    petest::AppendCertificateTable(file, 2048, 0x30);
    MemorySource source(file);
    const TrailerLocation location = LocateTrailer(source);
    ASSERT_EQ(location.status, TrailerStatus::kFound);
    EXPECT_EQ(location.security.signSize, 2048);
    EXPECT_TRUE(location.atCertificateTable);
    EXPECT_EQ(location.trailerOffset, packed - kEntryHeaderSize);
    EXPECT_EQ(location.headerOffset, stub.size());
  }
}

TEST(ContainerTrailer, ZeroTrailerMeansNoPayload) {
  std::vector<uint8_t> file = petest::MakeImage(false);
  file.resize(file.size() + kEntryHeaderSize, 0);
  MemorySource source(file);
  const TrailerLocation location = LocateTrailer(source);
  ASSERT_EQ(location.status, TrailerStatus::kFound);
  EXPECT_EQ(location.headerOffset, 0u);
  EXPECT_FALSE(LooksLikePackedTrailer(location));
}

TEST(ContainerTrailer, LfanewBeyondTheEndOrNegativeHasNoPeHeaders) {
  std::vector<uint8_t> file = PackInMemory(petest::MakeImage(false), "L.exe", ThreeEntries());
  petest::Put32(file, 60, static_cast<uint32_t>(file.size() + 1));
  MemorySource source(file);
  EXPECT_EQ(LocateTrailer(source).status, TrailerStatus::kNoPeHeaders);
  petest::Put32(file, 60, 0x80000000u);
  EXPECT_EQ(LocateTrailer(source).status, TrailerStatus::kNoPeHeaders);
  // Exactly at the end is not beyond it, but the headers cannot be read there.
  petest::Put32(file, 60, static_cast<uint32_t>(file.size()));
  EXPECT_EQ(LocateTrailer(source).status, TrailerStatus::kHeadersShort);
}

TEST(ContainerTrailer, ShortFilesEndInNoPayload) {
  std::vector<uint8_t> tiny(40, 'M');
  MemorySource tinySource(tiny);
  EXPECT_EQ(LocateTrailer(tinySource).status, TrailerStatus::kHeadersShort);

  // Headers complete, but the signature size claims more than the whole file.
  std::vector<uint8_t> file = petest::MakeImage(false, 600);
  petest::Put32(file, petest::DirectoryAt(false, 4), 0);
  petest::Put32(file, petest::DirectoryAt(false, 4) + 4, 400);
  MemorySource source(file);
  EXPECT_EQ(LocateTrailer(source).status, TrailerStatus::kFileTooShort);

  // A PE32+ image cut inside its longer optional header.
  std::vector<uint8_t> cut = petest::MakeImage(true, 600);
  cut.resize(petest::kLfanew + kPe32HeadersSize + 4);
  MemorySource cutSource(cut);
  EXPECT_EQ(LocateTrailer(cutSource).status, TrailerStatus::kHeadersShort);

  // A certificate table that starts before a whole trailer would fit.
  std::vector<uint8_t> early = petest::MakeImage(false, 600);
  petest::Put32(early, petest::DirectoryAt(false, 4), 100);
  petest::Put32(early, petest::DirectoryAt(false, 4) + 4, 50);
  MemorySource earlySource(early);
  EXPECT_EQ(LocateTrailer(earlySource).status, TrailerStatus::kFileTooShort);
}

TEST(ContainerTrailer, FewerThanFiveDirectoriesMeanNoCertificateTable) {
  std::vector<uint8_t> stub = petest::MakeImage(false);
  petest::Put32(stub, petest::kLfanew + 24 + 92, 4);
  petest::Put32(stub, petest::DirectoryAt(false, 4), 0x100);
  petest::Put32(stub, petest::DirectoryAt(false, 4) + 4, 0x200);
  const std::vector<uint8_t> file = PackInMemory(stub, "L.exe", ThreeEntries());
  MemorySource source(file);
  const TrailerLocation location = LocateTrailer(source);
  ASSERT_EQ(location.status, TrailerStatus::kFound);
  EXPECT_EQ(location.security.signSize, 0);
  EXPECT_EQ(location.headerOffset, stub.size());
}

TEST(ContainerWalk, HeaderOffsetAtOrBeyondTheEndIsAnEmptyWalk) {
  const std::vector<uint8_t> file = PackInMemory(petest::MakeImage(false), "L.exe", ThreeEntries());
  MemorySource source(file);
  EXPECT_TRUE(WalkEntries(source, file.size()).entries.empty());
  EXPECT_TRUE(WalkEntries(source, file.size() + 12345).entries.empty());
  EXPECT_TRUE(WalkEntries(source, UINT64_MAX).entries.empty());
  // Less than a header left: also nothing.
  EXPECT_TRUE(WalkEntries(source, file.size() - 100).entries.empty());
}

TEST(ContainerWalk, StopsAfterCountEntriesAndNeverReadsFillerOrTrailer) {
  const std::vector<uint8_t> stub = petest::MakeImage(false);
  const std::vector<uint8_t> file = PackInMemory(stub, "L.exe", {{"only.txt", Bytes(10, 1)}}, 300);
  MemorySource source(file);
  const WalkResult walk = WalkEntries(source, stub.size());
  ASSERT_EQ(walk.entries.size(), 1u);
  EXPECT_FALSE(walk.truncated);
}

TEST(ContainerWalk, LyingSizesAreReportedAsTruncated) {
  const std::vector<uint8_t> stub = petest::MakeImage(false);
  for (uint64_t lie : {uint64_t{1} << 63, UINT64_MAX, uint64_t{5000}}) {
    std::vector<uint8_t> file = PackInMemory(stub, "L.exe", {{"a.txt", Bytes(10, 1)}, {"b.txt", Bytes(10, 2)}});
    // The first entry claims far more than the file holds.
    petest::Put32(file, stub.size() + 8, static_cast<uint32_t>(lie));
    petest::Put32(file, stub.size() + 12, static_cast<uint32_t>(lie >> 32));
    MemorySource source(file);
    const WalkResult walk = WalkEntries(source, stub.size());
    ASSERT_EQ(walk.entries.size(), 1u) << lie;
    EXPECT_TRUE(walk.truncated) << lie;
    EXPECT_EQ(walk.entries[0].header.size, lie);
  }
}

TEST(ContainerWalk, CountIsComparedAsASignedNumber) {
  const std::vector<uint8_t> stub = petest::MakeImage(false);
  std::vector<uint8_t> file = PackInMemory(stub, "L.exe", {{"a.txt", Bytes(10, 1)}});
  petest::Put32(file, stub.size(), 0x80000000u);
  MemorySource source(file);
  EXPECT_TRUE(WalkEntries(source, stub.size()).entries.empty());
}

TEST(ContainerWalk, SkipTargetSaturatesAtTheEnd) {
  EXPECT_EQ(SkipTarget(100, 50, 1000), 150u);
  EXPECT_EQ(SkipTarget(100, 900, 1000), 1000u);
  EXPECT_EQ(SkipTarget(100, 901, 1000), 1000u);
  EXPECT_EQ(SkipTarget(100, UINT64_MAX, 1000), 1000u);
  EXPECT_EQ(SkipTarget(1000, 5, 1000), 1000u);
}

TEST(ContainerHeader, FieldsAreLittleEndianAtTheirOffsets) {
  EntryHeader h;
  h.count = 0x04030201u;
  h.index = 0x08070605u;
  h.size = 0x100F0E0D0C0B0A09ull;
  h.total = 0x1817161514131211ull;
  ASSERT_TRUE(SetEntryName(h, "agent.cab"));
  uint8_t raw[kEntryHeaderSize];
  EncodeEntryHeader(h, raw);
  for (int i = 0; i < 24; ++i) EXPECT_EQ(raw[i], i + 1) << "byte " << i;
  EXPECT_EQ(std::string(reinterpret_cast<char*>(raw + 24)), "agent.cab");
  for (std::size_t i = 24 + 9; i < kEntryHeaderSize; ++i) EXPECT_EQ(raw[i], 0) << "padding byte " << i;
  const EntryHeader back = DecodeEntryHeader(raw);
  EXPECT_EQ(back.count, h.count);
  EXPECT_EQ(back.index, h.index);
  EXPECT_EQ(back.size, h.size);
  EXPECT_EQ(back.total, h.total);
  EXPECT_EQ(back.name, h.name);
  EXPECT_TRUE(SetEntryName(h, std::string(259, 'n')));
  EXPECT_FALSE(SetEntryName(h, std::string(260, 'n'))) << "no room for the NUL";
}

TEST(ContainerWriter, FillerMakesThePackedLengthAMultipleOfEight) {
  for (uint64_t before = 1000; before < 1016; ++before) {
    const uint64_t filler = FillerLength(before);
    EXPECT_LT(filler, 8u);
    EXPECT_EQ((before + filler + kEntryHeaderSize) % 8, 0u) << before;
  }
}

TEST(ContainerWriter, StubChecks) {
  const std::vector<uint8_t> good = petest::MakeImage(false);
  MemorySource goodSource(good);
  EXPECT_EQ(CheckStub(goodSource), StubProblem::kNone);
  const std::vector<uint8_t> good64 = petest::MakeImage(true);
  MemorySource good64Source(good64);
  EXPECT_EQ(CheckStub(good64Source), StubProblem::kNone);

  std::vector<uint8_t> text(2000, 'x');
  MemorySource textSource(text);
  EXPECT_EQ(CheckStub(textSource), StubProblem::kNotPe);
  std::vector<uint8_t> noPe = good;
  noPe[petest::kLfanew] = 'X';
  MemorySource noPeSource(noPe);
  EXPECT_EQ(CheckStub(noPeSource), StubProblem::kNotPe);
  std::vector<uint8_t> badMagic = good;
  petest::Put16(badMagic, petest::kLfanew + 24, 0x107);
  MemorySource badMagicSource(badMagic);
  EXPECT_EQ(CheckStub(badMagicSource), StubProblem::kNotPe);

  std::vector<uint8_t> dll = good;
  petest::Put16(dll, petest::kCharacteristicsAt, 0x2102);
  MemorySource dllSource(dll);
  EXPECT_EQ(CheckStub(dllSource), StubProblem::kNotProgram);
  std::vector<uint8_t> console = good;
  petest::Put16(console, petest::kSubsystemAt, 3);
  MemorySource consoleSource(console);
  EXPECT_EQ(CheckStub(consoleSource), StubProblem::kNotGui);

  std::vector<uint8_t> signedStub = good;
  petest::Sign(signedStub, false, 64);
  MemorySource signedSource(signedStub);
  EXPECT_EQ(CheckStub(signedSource), StubProblem::kSigned);

  const std::vector<uint8_t> packed = PackInMemory(good, "L.exe", ThreeEntries());
  MemorySource packedSource(packed);
  EXPECT_EQ(CheckStub(packedSource), StubProblem::kHasPayload);
}

TEST(ContainerWriter, CabinetEntriesMustBeWholeCabinets) {
  EXPECT_TRUE(IsCabinetName("Setup.CAB"));
  EXPECT_FALSE(IsCabinetName("setup.cab.txt"));
  EXPECT_FALSE(IsCabinetName("cab"));
  const struct {
    std::string head;
    uint64_t size;
    CabinetProblem problem;
  } cases[] = {
      {std::string("MSCF\0\0\0\0\x64\0\0\0", 12), 100, CabinetProblem::kNone},
      {std::string("MSCF\0\0\0\0\x64\0\0\0", 12), 99, CabinetProblem::kWrongLength},
      {"MSCF", 4, CabinetProblem::kWrongLength},
      {"", 0, CabinetProblem::kNoSignature},
      {"[Settings]\r\n", 12, CabinetProblem::kNoSignature},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CheckCabinetHead(reinterpret_cast<const uint8_t*>(c.head.data()), c.head.size(), c.size), c.problem)
        << c.head.size() << " bytes, size " << c.size;
  }
}

TEST(EntryNames, WhatTheLauncherRefuses) {
  const struct {
    const char* name;
    NameProblem problem;
  } cases[] = {
      {"setup.cab", NameProblem::kNone},
      {".init_setting.ini", NameProblem::kNone},
      {"a..b", NameProblem::kNone},
      {" leading blank", NameProblem::kNone},
      {"console.txt", NameProblem::kNone},
      {"COM10", NameProblem::kNone},
      {"", NameProblem::kEmpty},
      {".", NameProblem::kDotName},
      {"..", NameProblem::kDotName},
      {"..\\evil.exe", NameProblem::kSeparator},
      {"../evil.exe", NameProblem::kSeparator},
      {"sub\\file", NameProblem::kSeparator},
      {"C:evil.exe", NameProblem::kSeparator},
      {"file.txt:stream", NameProblem::kSeparator},
      {"CON", NameProblem::kDeviceName},
      {"nul.txt", NameProblem::kDeviceName},
      {"Aux .cab", NameProblem::kDeviceName},
      {"com1", NameProblem::kDeviceName},
      {"LPT9.log", NameProblem::kDeviceName},
      {"CONOUT$", NameProblem::kDeviceName},
      {"x*.txt", NameProblem::kForbidden},
      {"what?.txt", NameProblem::kForbidden},
      {"a<b>.txt", NameProblem::kForbidden},
      {"say\"hi\".txt", NameProblem::kForbidden},
      {"pipe|name", NameProblem::kForbidden},
      {"tab\tname", NameProblem::kForbidden},
      {"setup.cab.", NameProblem::kTrailingDot},
      {"setup.cab ", NameProblem::kTrailingDot},
      {"...", NameProblem::kTrailingDot},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CheckBareName(std::string(c.name)), c.problem) << c.name;
    const std::string s(c.name);
    EXPECT_EQ(CheckBareName(std::wstring(s.begin(), s.end())), c.problem) << c.name;
  }
  // Superscript digits name devices too (one code unit in UTF-16, one byte in code page 1252).
  EXPECT_EQ(CheckBareName(std::wstring(L"COM\u00B9")), NameProblem::kDeviceName);
  EXPECT_EQ(CheckBareName(std::string("LPT\xB2")), NameProblem::kDeviceName);
}

TEST(EntryNames, TheFieldMustHoldItsNul) {
  std::array<char, kEntryNameSize> field{};
  std::string text;
  EXPECT_EQ(CheckEntryNameField(field, &text), NameProblem::kEmpty);
  field.fill('a');
  EXPECT_EQ(CheckEntryNameField(field, &text), NameProblem::kNotTerminated);
  EXPECT_EQ(text.size(), kEntryNameSize) << "the log names the whole field";
  field[259] = '\0';
  EXPECT_EQ(CheckEntryNameField(field, &text), NameProblem::kNone);
  EXPECT_EQ(text, std::string(259, 'a'));
  // Bytes after the NUL are not part of the name.
  field.fill('\0');
  std::memcpy(field.data(), "ok.txt\0..\\x", 11);
  EXPECT_EQ(CheckEntryNameField(field, &text), NameProblem::kNone);
  EXPECT_EQ(text, "ok.txt");
}

TEST(EntryNames, ABackslashByteIsLeftToTheConvertedName) {
  // In code page 932 "\x83\x5C" is one character (U+30BD), its second byte 0x5C.
  // The host tools, knowing no code page, judge every '\' and '|' that cannot be a second
  // byte: one that follows no byte of 0x81 or above.
  const struct {
    const char* bytes;
    NameProblem field, anyCodePage;
  } cases[] = {
      {"\x83\x5C.txt", NameProblem::kNone, NameProblem::kNone},
      {"\x95\x5C\x8E\xA6.cab", NameProblem::kNone, NameProblem::kNone},
      {"..\\evil.exe", NameProblem::kNone, NameProblem::kSeparator},  // caught once converted, below
      {"..\\up\xCEtxt", NameProblem::kNone, NameProblem::kSeparator},
      {"\x81|.txt", NameProblem::kNone, NameProblem::kNone},      // '|' is a second byte in code pages 936 and 950
      {"\x81x|.txt", NameProblem::kNone, NameProblem::kForbidden},
      {"a?b", NameProblem::kForbidden, NameProblem::kForbidden},  // '?' and the others lie below every second byte
      {"name.", NameProblem::kTrailingDot, NameProblem::kTrailingDot},
      {"a/b", NameProblem::kSeparator, NameProblem::kSeparator},  // '/' and ':' are never second bytes
      {"\x83:x", NameProblem::kSeparator, NameProblem::kSeparator},
      {"..", NameProblem::kDotName, NameProblem::kDotName},
      {"CON.txt", NameProblem::kDeviceName, NameProblem::kDeviceName},
      // 256 bytes: one character too many in a single-byte code page, 128 in a double-byte one.
      {"mmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm"
       "mmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm"
       "mmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm"
       "mmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm+",
       NameProblem::kNone, NameProblem::kTooLong},
  };
  for (const auto& c : cases) {
    std::array<char, kEntryNameSize> field{};
    std::memcpy(field.data(), c.bytes, std::strlen(c.bytes));
    EXPECT_EQ(CheckEntryNameField(field, nullptr), c.field) << c.bytes;
    EXPECT_EQ(CheckEntryNameAnyCodePage(field, nullptr, nullptr), c.anyCodePage) << c.bytes;
  }
  EXPECT_EQ(CheckBareName(std::wstring(L"\u30BD.txt")), NameProblem::kNone);
  EXPECT_EQ(CheckBareName(std::wstring(L"..\\evil.exe")), NameProblem::kSeparator);
  EXPECT_EQ(CheckBareName(std::wstring(L"a|b")), NameProblem::kForbidden);
  EXPECT_EQ(CheckBareName(std::wstring(255, L'\u30BD')), NameProblem::kNone);
  EXPECT_EQ(CheckBareName(std::wstring(256, L'\u30BD')), NameProblem::kTooLong) << "no file system takes it";
}

TEST(EntryNames, ThePackerAlsoWantsShortPrintableAscii) {
  EXPECT_EQ(CheckPackName("agent setup.cab"), NameProblem::kNone);
  EXPECT_EQ(CheckPackName(std::string(255, 'x')), NameProblem::kNone);
  EXPECT_EQ(CheckPackName(std::string(256, 'x')), NameProblem::kTooLong);
  EXPECT_EQ(CheckPackName("caf\xC3\xA9.txt"), NameProblem::kNotPrintable);
  EXPECT_EQ(CheckPackName("tab\there"), NameProblem::kNotPrintable);
  EXPECT_EQ(CheckPackName("del\x7F"), NameProblem::kNotPrintable);
  EXPECT_EQ(CheckPackName("a/b"), NameProblem::kSeparator);
  EXPECT_TRUE(SameNameIgnoringCase("Setup.CAB", "setup.cab"));
  EXPECT_FALSE(SameNameIgnoringCase("setup.cab", "setup.cab2"));
}

TEST(FolderWalk, ReparsePointsAreRemovedAsLinksAndNeverEntered) {
  EXPECT_EQ(DecideTreeStep(L".", kAttributeDirectory), TreeStep::kSkip);
  EXPECT_EQ(DecideTreeStep(L"..", kAttributeDirectory), TreeStep::kSkip);
  EXPECT_EQ(DecideTreeStep(L"log", kAttributeDirectory), TreeStep::kDescend);
  EXPECT_EQ(DecideTreeStep(L"junction", kAttributeDirectory | kAttributeReparsePoint), TreeStep::kRemoveLink);
  EXPECT_EQ(DecideTreeStep(L"file.txt", 0x20), TreeStep::kRemoveFile);
  EXPECT_EQ(DecideTreeStep(L"filelink", 0x20 | kAttributeReparsePoint), TreeStep::kRemoveFile);
  EXPECT_EQ(FolderPrefix(L"C:\\t\\w"), L"C:\\t\\w\\");
  EXPECT_EQ(FolderPrefix(L"C:\\t\\w\\"), L"C:\\t\\w\\");
  EXPECT_TRUE(IsProtectedMountArea(L"C:\\ProgramData\\Ondrix\\x"));
  EXPECT_FALSE(IsProtectedMountArea(L"C:\\programdata\\Ondrix\\x")) << "the match is case-sensitive";
  EXPECT_FALSE(IsProtectedMountArea(L"C:\\users\\a\\Temp\\unpacklumo\\1\\"));
}

}  // namespace
