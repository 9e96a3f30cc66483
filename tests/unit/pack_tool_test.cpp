// lumo-pack on real files: pack → list round trip, the layout it writes, and its refusals.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "pack_tool.h"
#include "pe_image.h"
#include "unpack/core/container.h"
#include "unpack/core/container_writer.h"

namespace {

namespace fs = std::filesystem;
using namespace lumo;

class PackTool : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("lumo-pack-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const fs::path path = dir_ / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }
  std::string Write(const std::string& name, const std::string& text) {
    return Write(name, std::vector<uint8_t>(text.begin(), text.end()));
  }
  static std::vector<uint8_t> Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  int Run(std::vector<std::string> args) {
    std::ostringstream out, err;
    const int code = lumopack::Run(args, out, err);
    out_ = out.str();
    err_ = err.str();
    return code;
  }
  std::string Out(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
  std::string out_, err_;
};

TEST_F(PackTool, PackThenListRoundTrip) {
  const std::vector<uint8_t> stubBytes = petest::MakeImage(false, 1531);
  const std::string stub = Write("OXUnPackLUMO.exe", stubBytes);
  std::vector<uint8_t> big(70000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i % 251);
  const std::string cab = Write("in/agent.cab", big);
  const std::string ini = Write("in/.init_setting.ini", std::string("[Settings]\r\ntoken=ABC\r\n"));
  const std::string empty = Write("other/empty.dat", std::vector<uint8_t>());
  const std::string packed = Out("packed.exe");

  ASSERT_EQ(Run({"pack", "--stub", stub, "--out", packed, cab, ini, empty}), 0) << err_;
  const std::vector<uint8_t> file = Read(packed);
  EXPECT_EQ(file.size() % 8, 0u) << "a signer must not pad in front of its table";
  EXPECT_TRUE(std::equal(stubBytes.begin(), stubBytes.end(), file.begin())) << "the stub is copied unchanged";

  MemorySource source(file);
  const TrailerLocation location = LocateTrailer(source);
  ASSERT_EQ(location.status, TrailerStatus::kFound);
  EXPECT_EQ(location.headerOffset, stubBytes.size());
  EXPECT_EQ(location.trailer.index, 1u);
  EXPECT_EQ(location.trailer.total, stubBytes.size());
  EXPECT_STREQ(location.trailer.name.data(), "OXUnPackLUMO.exe");
  const WalkResult walk = WalkEntries(source, location.headerOffset);
  ASSERT_EQ(walk.entries.size(), 3u);
  const std::vector<std::pair<std::string, std::vector<uint8_t>>> expected = {
      {"agent.cab", big}, {".init_setting.ini", Read(ini)}, {"empty.dat", {}}};
  uint64_t total = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    const EntryInfo& e = walk.entries[i];
    total += expected[i].second.size();
    EXPECT_STREQ(e.header.name.data(), expected[i].first.c_str());
    EXPECT_EQ(e.header.count, 3u);
    EXPECT_EQ(e.header.index, i + 2);
    EXPECT_EQ(e.header.total, total);
    ASSERT_EQ(e.header.size, expected[i].second.size());
    EXPECT_TRUE(std::equal(expected[i].second.begin(), expected[i].second.end(), file.begin() + e.dataOffset));
  }
  // Filler: whatever lies between the last entry's data and the trailer is 0xFF.
  const uint64_t lastEnd = walk.entries[2].dataOffset;
  for (uint64_t at = lastEnd; at < location.trailerOffset; ++at) EXPECT_EQ(file[at], kFillerByte);

  ASSERT_EQ(Run({"list", packed}), 0) << err_;
  EXPECT_NE(out_.find("header offset: 1531\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("signed: no\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("entries: 3\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("70000  agent.cab\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("0  empty.dat\n"), std::string::npos) << out_;
  EXPECT_LT(out_.find("agent.cab"), out_.find(".init_setting.ini")) << "listed in packing order";
}

TEST_F(PackTool, ListReadsASignedFileAndRefusesAFileWithoutPayload) {
  const std::string stub = Write("L.exe", petest::MakeImage(true));
  const std::string a = Write("a.txt", std::string("hello"));
  const std::string packed = Out("p.exe");
  ASSERT_EQ(Run({"pack", "--stub", stub, "--out", packed, a}), 0) << err_;
  std::vector<uint8_t> file = Read(packed);
  petest::Sign(file, true, 1600);
  const std::string signedFile = Write("signed.exe", file);
  ASSERT_EQ(Run({"list", signedFile}), 0) << err_;
  EXPECT_NE(out_.find("signed: certificate table of 1600 bytes"), std::string::npos) << out_;
  EXPECT_NE(out_.find("5  a.txt\n"), std::string::npos) << out_;

  EXPECT_EQ(Run({"list", stub}), 1);
  EXPECT_NE(err_.find("holds no payload"), std::string::npos) << err_;
  EXPECT_EQ(Run({"list", Out("missing.exe")}), 1);

  // A payload cut short: listed as far as it goes, and reported.
  std::vector<uint8_t> cut = Read(packed);
  petest::Put32(cut, petest::MakeImage(true).size() + 8, 999999);
  const std::string cutFile = Write("cut.exe", cut);
  EXPECT_EQ(Run({"list", cutFile}), 1);
  EXPECT_NE(err_.find("cut short"), std::string::npos) << err_;
}

TEST_F(PackTool, RefusesUnusableStubs) {
  const std::string a = Write("a.txt", std::string("x"));
  const std::string text = Write("notes.exe", std::string(3000, 'n'));
  EXPECT_EQ(Run({"pack", "--stub", text, "--out", Out("o1.exe"), a}), 2);
  EXPECT_NE(err_.find("not a PE program image"), std::string::npos) << err_;

  std::vector<uint8_t> signedStub = petest::MakeImage(false);
  petest::Sign(signedStub, false, 256);
  EXPECT_EQ(Run({"pack", "--stub", Write("s.exe", signedStub), "--out", Out("o2.exe"), a}), 2);
  EXPECT_NE(err_.find("already signed"), std::string::npos) << err_;

  const std::string stub = Write("L.exe", petest::MakeImage(false));
  ASSERT_EQ(Run({"pack", "--stub", stub, "--out", Out("once.exe"), a}), 0) << err_;
  EXPECT_EQ(Run({"pack", "--stub", Out("once.exe"), "--out", Out("twice.exe"), a}), 2);
  EXPECT_NE(err_.find("already carries a payload"), std::string::npos) << err_;

  EXPECT_FALSE(fs::exists(Out("o1.exe")) || fs::exists(Out("o2.exe")) || fs::exists(Out("twice.exe")))
      << "a refusal writes nothing";
}

TEST_F(PackTool, RefusesBadAndDuplicateNames) {
  const std::string stub = Write("L.exe", petest::MakeImage(false));
  const std::string good = Write("good.txt", std::string("g"));
  const std::vector<std::string> bad = {
      Write("caf\xC3\xA9.txt", std::string("x")),   // not ASCII
      Write("back\\slash.txt", std::string("x")),   // a separator on Windows
      Write("colon:stream", std::string("x")),       // a stream name on Windows
      Write("tab\tname", std::string("x")),          // a control character
      Write("NUL.txt", std::string("x")),            // a device
      (dir_ / std::string(300, 'l')).string(),       // too long (need not exist)
      (dir_ / "sub" / "..").string(),                // not a file name at all
  };
  for (const std::string& file : bad) {
    EXPECT_EQ(Run({"pack", "--stub", stub, "--out", Out("o.exe"), good, file}), 2) << file;
    EXPECT_NE(err_.find("bare file name"), std::string::npos) << err_;
    EXPECT_FALSE(fs::exists(Out("o.exe")));
  }
  const std::string upper = Write("x/Setup.CAB", std::string("1"));
  const std::string lower = Write("y/setup.cab", std::string("2"));
  EXPECT_EQ(Run({"pack", "--stub", stub, "--out", Out("o.exe"), upper, good, lower}), 2);
  EXPECT_NE(err_.find("already taken"), std::string::npos) << err_;
  EXPECT_FALSE(fs::exists(Out("o.exe")));
}

TEST_F(PackTool, CommandLineMistakes) {
  const std::string stub = Write("L.exe", petest::MakeImage(false));
  const std::string a = Write("a.txt", std::string("x"));
  EXPECT_EQ(Run({}), 2);
  EXPECT_EQ(Run({"unpack", a}), 2);
  EXPECT_EQ(Run({"pack", "--stub", stub, a}), 2) << "no --out";
  EXPECT_EQ(Run({"pack", "--out", Out("o.exe"), a}), 2) << "no --stub";
  EXPECT_EQ(Run({"pack", "--stub", stub, "--out", Out("o.exe")}), 2) << "no FILE";
  EXPECT_EQ(Run({"pack", "--stub", stub, "--out", Out("o.exe"), "--level", a}), 2);
  EXPECT_EQ(Run({"pack", "--stub"}), 2);
  EXPECT_EQ(Run({"list"}), 2);
  EXPECT_EQ(Run({"pack", "--stub", stub, "--out", Out("o.exe"), Out("missing.bin")}), 1);
  EXPECT_FALSE(fs::exists(Out("o.exe")));
}

}  // namespace
