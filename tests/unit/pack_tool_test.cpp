// lumo-pack on real files: what pack writes, what it refuses without touching a file, and
// what list, verify and extract make of packed, signed, damaged and forged launchers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>

#include "files.h"
#include "pack_tool.h"
#include "pe_image.h"
#include "report.h"
#include "unpack/core/container.h"
#include "unpack/core/container_writer.h"

namespace {

namespace fs = std::filesystem;
using namespace lumo;
using Bytes = std::vector<uint8_t>;

const char kEmptySha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

using petest::Cabinet;
using petest::ChecksumOf;
using petest::SignLikeASigner;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

class PackTool : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("lumo-pack-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& name, const Bytes& bytes) {
    const fs::path path = dir_ / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }
  static Bytes Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // "%name" stands for the file `name` in the test's folder.
  int Run(std::vector<std::string> args) {
    for (std::string& arg : args) {
      const std::size_t at = arg.find('%');
      if (at != std::string::npos) arg = arg.substr(0, at) + (dir_ / arg.substr(at + 1)).string();
    }
    std::ostringstream out, err;
    const int code = lumopack::Run(args, out, err);
    out_ = out.str();
    err_ = err.str();
    return code;
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // A launcher packed with three entries and signed.
  Bytes PackedAndSigned(bool pe32Plus) {
    const Bytes stub = petest::MakeImage(pe32Plus, 1536);
    Write("L.exe", stub);
    Write("in/setup.cab", Cabinet(3000));
    Write("in/ini.txt", Text("[Settings]\r\ntoken=ABC\r\n"));
    Write("in/empty.dat", {});
    EXPECT_EQ(Run({"pack", "--stub", "%L.exe", "--out", "%packed.exe", "%in/setup.cab",
                   ".init_setting.ini=%in/ini.txt", "%in/empty.dat"}),
              0)
        << err_;
    Bytes file = Read(Path("packed.exe"));
    SignLikeASigner(file, pe32Plus);
    return file;
  }

  // Every file under the folder with its length, time and (when small) its bytes.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir_)) {
      struct stat st {};
      ::lstat(e.path().c_str(), &st);
      std::string state = std::to_string(st.st_mode) + "/" + std::to_string(st.st_size) + "/" +
                          std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
      if (S_ISREG(st.st_mode) && st.st_size < (1 << 20)) {
        const Bytes bytes = Read(e.path().string());
        state.append(bytes.begin(), bytes.end());
      }
      files[e.path().string()] = state;
    }
    return files;
  }

  fs::path dir_;
  std::string out_, err_;
};

TEST_F(PackTool, PackWritesWhatTheLauncherReadsWithAFreshChecksumAndTheStubsMode) {
  const Bytes stub = petest::MakeImage(false, 1531);
  const std::string stubPath = Write("OXUnPackLUMO.exe", stub);
  ::chmod(stubPath.c_str(), 0751);
  const Bytes cab = Cabinet(70000);
  Write("in/agent.cab", cab);
  const Bytes ini = Text("[Settings]\r\ntoken=ABC\r\n");
  Write("prod/settings.ini", ini);
  Write("other/empty.dat", {});

  ASSERT_EQ(Run({"pack", "--stub", stubPath, "--out", "%packed.exe", "%in/agent.cab",
                 ".init_setting.ini=%prod/settings.ini", "%other/empty.dat"}),
            0)
      << err_;
  EXPECT_NE(out_.find("3 entries behind OXUnPackLUMO.exe (1531 bytes)"), std::string::npos) << out_;
  const Bytes file = Read(Path("packed.exe"));
  EXPECT_EQ(file.size() % 8, 0u) << "a signer must not pad in front of its table";
  EXPECT_TRUE(std::equal(stub.begin(), stub.begin() + petest::kChecksumAt, file.begin())) << "the stub is copied";
  uint32_t checksum = 0;
  std::memcpy(&checksum, &file[petest::kChecksumAt], 4);
  EXPECT_EQ(checksum, ChecksumOf(file));
  struct stat st {};
  ASSERT_EQ(::stat(Path("packed.exe").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0751u);

  MemorySource source(file);
  const TrailerLocation location = LocateTrailer(source);
  ASSERT_EQ(location.status, TrailerStatus::kFound);
  EXPECT_EQ(location.headerOffset, stub.size());
  EXPECT_STREQ(location.trailer.name.data(), "OXUnPackLUMO.exe");
  const WalkResult walk = WalkEntries(source, location.headerOffset);
  const std::vector<std::pair<std::string, Bytes>> expected = {
      {"agent.cab", cab}, {".init_setting.ini", ini}, {"empty.dat", {}}};
  ASSERT_EQ(walk.entries.size(), expected.size());
  uint64_t total = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const EntryInfo& e = walk.entries[i];
    total += expected[i].second.size();
    EXPECT_STREQ(e.header.name.data(), expected[i].first.c_str());
    EXPECT_EQ(e.header.index, i + 2);
    EXPECT_EQ(e.header.total, total);
    ASSERT_EQ(e.header.size, expected[i].second.size());
    EXPECT_TRUE(std::equal(expected[i].second.begin(), expected[i].second.end(), file.begin() + e.dataOffset));
  }
  for (uint64_t at = walk.entries[2].dataOffset; at < location.trailerOffset; ++at) EXPECT_EQ(file[at], kFillerByte);

  ASSERT_EQ(Run({"list", "%packed.exe"}), 0) << err_;
  EXPECT_NE(out_.find("header offset: 1531\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("signed: no\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("entries: 3\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("0  " + std::string(kEmptySha256) + "  empty.dat\n"), std::string::npos) << out_;
  EXPECT_LT(out_.find("agent.cab"), out_.find(".init_setting.ini")) << "listed in packing order";
  EXPECT_EQ(Run({"verify", "%packed.exe"}), 0) << err_;
}

TEST_F(PackTool, RefusalsComeBeforeAnythingIsWrittenAndHarmNoFile) {
  Write("L.exe", petest::MakeImage(false));
  Write("a.txt", Text("alpha"));
  Write("setup.cab", Cabinet(100));
  Bytes dll = petest::MakeImage(false);
  petest::Put16(dll, petest::kCharacteristicsAt, 0x2102);
  Write("library.dll", dll);
  Bytes console = petest::MakeImage(false);
  petest::Put16(console, petest::kSubsystemAt, 3);
  Write("console.exe", console);
  Bytes signedStub = petest::MakeImage(false);
  petest::Sign(signedStub, false, 256);
  Write("signed.exe", signedStub);
  Write("notes.exe", Text(std::string(3000, 'n')));
  Write("empty.cab", {});
  Write("text.cab", Text("[Settings]\r\nnot a cabinet\r\n"));
  fs::create_symlink(Path("a.txt"), Path("link.txt"));
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0644), 0);
  fs::create_directories(Path("folder"));
  Write("readonly.exe", Text("old"));
  ::chmod(Path("readonly.exe").c_str(), 0444);
  // 4 GiB of holes: as large as the packer ever looks at, without using the disk.
  ::truncate(Write("huge.bin", {}).c_str(), int64_t{1} << 32);

  const struct {
    const char* stub;
    std::vector<std::string> rest;  // --out and the FILEs
    const char* message;
  } cases[] = {
      {"%L.exe", {"%./L.exe", "%a.txt"}, "it is the stub"},
      {"%L.exe", {"%link.txt", "%a.txt"}, "it is the input"},
      {"%L.exe", {"%fifo", "%a.txt"}, "exists and is not a regular file"},
      {"%L.exe", {"%folder", "%a.txt"}, "exists and is not a regular file"},
      {"%L.exe", {"%readonly.exe", "%a.txt"}, "it is read-only"},
      {"%L.exe", {"%o.exe", "%missing.bin"}, "missing.bin: No such file or directory"},
      {"%L.exe", {"%o.exe", "%folder"}, "folder: Is a directory"},
      {"%L.exe", {"%o.exe", "x*?<>|\".txt=%a.txt"}, "a character Windows forbids"},
      {"%L.exe", {"%o.exe", "a.txt.=%a.txt"}, "ending in a dot or a blank"},
      {"%L.exe", {"%o.exe", "a.txt =%a.txt"}, "ending in a dot or a blank"},
      {"%L.exe", {"%o.exe", "nul.txt=%a.txt"}, "a reserved device name"},
      {"%L.exe", {"%o.exe", "caf\xC3\xA9.txt=%a.txt"}, "printable ASCII"},
      {"%L.exe", {"%o.exe", "sub\\a.txt=%a.txt"}, "holding '\\', '/' or ':'"},
      {"%L.exe", {"%o.exe", "%a.txt", "A.TXT=%setup.cab"}, "already taken by"},
      {"%L.exe", {"%o.exe", "%empty.cab"}, "not a cabinet"},
      {"%L.exe", {"%o.exe", "%text.cab"}, "not a cabinet"},
      {"%L.exe", {"%o.exe", "%a.txt", "%huge.bin"}, "4 GiB or more cannot be signed"},
      {"%folder", {"%o.exe", "%a.txt"}, "folder: Is a directory"},
      {"%library.dll", {"%o.exe", "%a.txt"}, "a DLL"},
      {"%console.exe", {"%o.exe", "%a.txt"}, "not a Windows GUI program"},
      {"%notes.exe", {"%o.exe", "%a.txt"}, "not a PE program image"},
      {"%signed.exe", {"%o.exe", "%a.txt"}, "already signed"},
  };
  const auto before = Snapshot();
  for (const auto& c : cases) {
    std::vector<std::string> args = {"pack", "--stub", c.stub, "--out"};
    args.insert(args.end(), c.rest.begin(), c.rest.end());
    const std::string shown = std::string(c.stub) + " " + c.rest.front() + " " + c.rest.back();
    EXPECT_EQ(Run(args), 1) << shown;
    EXPECT_NE(err_.find(c.message), std::string::npos) << shown << "\n" << err_;
    EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1) << "one line: " << err_;
    EXPECT_TRUE(Snapshot() == before) << "a file changed or appeared: " << shown;
  }
  ASSERT_EQ(Run({"pack", "--stub", "%L.exe", "--out", "%once.exe", "%a.txt"}), 0) << err_;
  EXPECT_EQ(Run({"pack", "--stub", "%once.exe", "--out", "%twice.exe", "%a.txt"}), 1);
  EXPECT_NE(err_.find("already carries a payload"), std::string::npos) << err_;
  EXPECT_FALSE(fs::exists(Path("twice.exe")));
}

TEST_F(PackTool, CommandLineConventions) {
  Write("L.exe", petest::MakeImage(false));
  Write("a.txt", Text("alpha"));
  const std::string name198(198, 'n');
  const struct {
    std::vector<std::string> args;
    int code;
    const char* out;
    const char* err;
  } cases[] = {
      {{}, 2, "", "usage: lumo-pack COMMAND"},
      {{"--version"}, 0, "lumo-pack (Ondrix LUMO launcher) 1.", ""},
      {{"--help"}, 0, "extract [--force] FILE DIR", ""},
      {{"help"}, 0, "verify [--expect NAME=SHA256]... FILE", ""},
      {{"help", "pack"}, 0, "usage: lumo-pack pack --stub", ""},
      {{"pack", "--help"}, 0, "Refused before anything is written", ""},
      {{"list", "--help"}, 0, "--json  one JSON object", ""},
      {{"verify", "-h"}, 0, "one line per finding", ""},
      {{"extract", "--help"}, 0, "unless --force is given", ""},
      {{"help", "unpack"}, 2, "", "no help on 'unpack'"},
      {{"unpack", "%a.txt"}, 2, "", "unknown command 'unpack'"},
      {{"pack", "--stub", "%L.exe", "--stub", "%L.exe", "--out", "%o.exe", "%a.txt"}, 2, "", "--stub given twice"},
      {{"pack", "--stub", "%L.exe", "--out", "%o.exe", "--out=%p.exe", "%a.txt"}, 2, "", "--out given twice"},
      {{"pack", "--stub", "%L.exe", "--out", "%o.exe", "--level", "%a.txt"}, 2, "", "unknown option --level"},
      {{"pack", "--stub"}, 2, "", "--stub needs a value"},
      {{"pack", "--stub", "%L.exe", "%a.txt"}, 2, "", "--out OUT.exe is missing"},
      {{"pack", "--out", "%o.exe", "%a.txt"}, 2, "", "--stub STUB.exe is missing"},
      {{"pack", "--stub", "%L.exe", "--out", "%o.exe"}, 2, "", "no FILE"},
      {{"pack", "--stub", "%L.exe", "--out", "%o.exe", "x="}, 2, "", "names no file after its '='"},
      {{"pack", "--stub", "%L.exe", "--out", "%o.exe", "-dash.txt=%a.txt"}, 2, "", "unknown option -dash.txt"},
      {{"pack", "--stub", "%L.exe", "--out", "%o.exe", "--", "-dash.txt=%a.txt"}, 0, "1 entry behind", ""},
      {{"pack", "--stub", "%L.exe", "--out", "%o.exe", name198 + "=%a.txt"}, 0, "", "makes a path of 260 characters"},
      {{"list"}, 2, "", "takes one FILE"},
      {{"list", "--json", "--json", "%o.exe"}, 2, "", "--json given twice"},
      {{"list", "--json=yes", "%o.exe"}, 2, "", "--json takes no value"},
      {{"verify", "--expect", "a.txt=123", "%o.exe"}, 2, "", "64 hex digits"},
      {{"extract", "%o.exe"}, 2, "", "takes FILE and DIR"},
  };
  for (const auto& c : cases) {
    const std::string shown = c.args.empty() ? "(nothing)" : c.args.front() + " " + c.args.back();
    EXPECT_EQ(Run(c.args), c.code) << shown << "\n" << err_;
    EXPECT_NE(out_.find(c.out), std::string::npos) << shown << "\n" << out_;
    EXPECT_NE(err_.find(c.err), std::string::npos) << shown << "\n" << err_;
    if (c.code == 2) {
      EXPECT_NE(err_.find("Try 'lumo-pack"), std::string::npos) << err_;
    }
  }
}

TEST_F(PackTool, VerifyReportsEachFaultOnItsOwnLine) {
  const Bytes good = PackedAndSigned(false);
  const uint64_t stubSize = 1536;
  const std::string cabSha = [&] {
    Run({"list", "%packed.exe"});
    const std::size_t at = out_.find("  setup.cab");
    return out_.substr(at - 64, 64);
  }();
  const uint64_t entry2 = stubSize + kEntryHeaderSize + 3000;  // the header of .init_setting.ini
  const uint64_t trailer = good.size() - 1600 - kEntryHeaderSize;
  // A forgery keeps the checksum right, as a signer would write it again.
  const auto forge = [](Bytes& file, std::size_t at, const std::string& bytes) {
    std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
    petest::Put32(file, petest::kChecksumAt, ChecksumOf(file));
  };
  const struct {
    const char* what;
    std::function<void(Bytes&)> change;
    std::vector<std::string> expect;
    const char* finding;  // nullptr: fit to ship
  } cases[] = {
      {"as signed", [](Bytes&) {}, {"setup.cab=" + cabSha}, nullptr},
      {"a flipped trailer byte", [&](Bytes& f) { forge(f, trailer + 8, {static_cast<char>(f[trailer + 8] ^ 1)}); }, {},
       "no trailer where the launcher looks for it"},
      {"bytes after the signature", [](Bytes& f) { f.insert(f.end(), {'j', 'u', 'n', 'k', '\n'}); }, {},
       "5 bytes follow the certificate table"},
      {"a wrong expected hash", [](Bytes&) {}, {"setup.cab=" + std::string(64, 'a')}, "expected aaaa"},
      {"an expected entry missing", [](Bytes&) {}, {"agent.ini=" + std::string(64, 'a')}, "no entry agent.ini"},
      {"a running total off", [&](Bytes& f) { forge(f, entry2 + 16, {static_cast<char>(f[entry2 + 16] + 1)}); }, {},
       "running total"},
      {"an entry count off", [&](Bytes& f) { forge(f, entry2, "\x07"); }, {}, "announces 7 entries"},
      {"a name the launcher skips", [&](Bytes& f) { forge(f, entry2 + 24, "*"); }, {}, "the launcher skips it"},
      {"two names equal but for case", [&](Bytes& f) { forge(f, entry2 + 24, std::string("EMPTY.DAT\0", 10)); }, {},
       "entry 3 (empty.dat): the same name as entry 2"},
      {"a stale checksum", [](Bytes& f) { f[600] ^= 1; }, {}, "the PE checksum is"},
      {"a payload cut short", [&](Bytes& f) { f.resize(stubSize + 1000); }, {}, "cut short: 0 of 3 entries"},
  };
  for (const auto& c : cases) {
    Bytes file = good;
    c.change(file);
    Write("case.exe", file);
    std::vector<std::string> args = {"verify"};
    for (const std::string& x : c.expect) args.insert(args.end(), {"--expect", x});
    args.push_back("%case.exe");
    const int code = Run(args);
    if (c.finding == nullptr) {
      EXPECT_EQ(code, 0) << c.what << "\n" << err_;
      EXPECT_NE(out_.find("ok, 3 entries, signed (certificate table of 1600 bytes"), std::string::npos) << out_;
    } else {
      EXPECT_EQ(code, 1) << c.what;
      EXPECT_NE(err_.find(c.finding), std::string::npos) << c.what << "\n" << err_;
      EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1) << c.what << ": one finding\n" << err_;
    }
  }
  EXPECT_EQ(Run({"verify", "%L.exe"}), 1);
  EXPECT_NE(err_.find("holds no payload (it was never packed)"), std::string::npos) << err_;
}

TEST_F(PackTool, ListTellsACutShortFileFromOneNeverPackedAndWarnsAboutBytesAfterTheSignature) {
  Bytes file = PackedAndSigned(false);
  file.push_back('x');
  Write("appended.exe", file);
  EXPECT_EQ(Run({"list", "%appended.exe"}), 0) << err_;
  EXPECT_NE(err_.find("warning: " + Path("appended.exe") + ": 1 bytes follow the certificate table"),
            std::string::npos)
      << err_;
  EXPECT_NE(out_.find("signed: certificate table of 1600 bytes"), std::string::npos) << out_;

  file.resize(1536 + kEntryHeaderSize + 3000 + 100);  // into the second entry's header
  Write("cut.exe", file);
  EXPECT_EQ(Run({"list", "%cut.exe"}), 1);
  EXPECT_NE(err_.find("the payload is cut short: 1 of 3 entries"), std::string::npos) << err_;
  EXPECT_NE(out_.find("  setup.cab\n"), std::string::npos) << "what is there is listed:\n" << out_;

  EXPECT_EQ(Run({"list", "%L.exe"}), 1);
  EXPECT_NE(err_.find("holds no payload (it was never packed)"), std::string::npos) << err_;
  Write("short.exe", Bytes(file.begin(), file.begin() + 1000));
  EXPECT_EQ(Run({"list", "%short.exe"}), 1);
  EXPECT_NE(err_.find("the program image itself is cut short (its sections end at 1536, the file at 1000)"),
            std::string::npos)
      << err_;
  EXPECT_EQ(Run({"list", "%missing.exe"}), 1);
  EXPECT_NE(err_.find("missing.exe: No such file or directory"), std::string::npos) << err_;
}

TEST_F(PackTool, ExtractWritesEveryEntryAndReplacesNothingUnlessForced) {
  const Bytes file = PackedAndSigned(true);
  Write("signed.exe", file);
  ASSERT_EQ(Run({"extract", "%signed.exe", "%x"}), 0) << err_;
  EXPECT_TRUE(Read(Path("x/setup.cab")) == Read(Path("in/setup.cab")));
  EXPECT_TRUE(Read(Path("x/.init_setting.ini")) == Read(Path("in/ini.txt")));
  EXPECT_TRUE(fs::exists(Path("x/empty.dat")) && fs::file_size(Path("x/empty.dat")) == 0);
  EXPECT_EQ(std::distance(fs::directory_iterator(Path("x")), fs::directory_iterator()), 3) << "no temporary file left";

  Write("x/setup.cab", Text("mine"));
  ::unlink(Path("x/empty.dat").c_str());
  EXPECT_EQ(Run({"extract", "%signed.exe", "%x"}), 1);
  EXPECT_NE(err_.find("setup.cab exists there (--force replaces it)"), std::string::npos) << err_;
  EXPECT_TRUE(Read(Path("x/setup.cab")) == Text("mine"));
  EXPECT_FALSE(fs::exists(Path("x/empty.dat"))) << "a refusal writes nothing";
  fs::create_directories(Path("x/empty.dat"));
  EXPECT_EQ(Run({"extract", "--force", "%signed.exe", "%x"}), 1);
  EXPECT_NE(err_.find("empty.dat exists there and is a folder"), std::string::npos) << err_;
  EXPECT_TRUE(Read(Path("x/setup.cab")) == Text("mine")) << "a folder in the way is found before writing";
  fs::remove(Path("x/empty.dat"));
  EXPECT_EQ(Run({"extract", "--force", "%signed.exe", "%x"}), 0) << err_;
  EXPECT_TRUE(Read(Path("x/setup.cab")) == Read(Path("in/setup.cab")));
}

TEST_F(PackTool, ExtractKeepsToTheLaunchersRulesAndWritesNothingOfAPayloadCutShort) {
  const std::vector<PackEntry> entries = {
      {"first.txt", Text("one")}, {"..\\up.txt", Text("escaped")}, {"..", Text("dots")},
      {"LAST.TXT", Text("early")}, {"last.txt", Text("two")}, {"..\\up\xCEtxt", Text("a backslash in any code page")},
      {std::string(256, 'm'), Text("longer than a file name on Windows or Linux")}};
  Bytes forged = PackInMemory(petest::MakeImage(false), "L.exe", entries);
  Write("forged.exe", forged);
  fs::create_directories(Path("out"));
  EXPECT_EQ(Run({"extract", "%forged.exe", "%out/x"}), 1);
  EXPECT_TRUE(Read(Path("out/x/first.txt")) == Text("one"));
  EXPECT_TRUE(Read(Path("out/x/last.txt")) == Text("two"));
  EXPECT_EQ(std::distance(fs::directory_iterator(Path("out/x")), fs::directory_iterator()), 2);
  EXPECT_EQ(std::distance(fs::directory_iterator(Path("out")), fs::directory_iterator()), 1) << "nothing beside DIR";
  EXPECT_NE(err_.find("entry 2 (..\\up.txt) not extracted: the launcher skips it"), std::string::npos) << err_;
  EXPECT_NE(err_.find("entry 4 (LAST.TXT) not extracted: entry 5 has the same name"), std::string::npos) << err_;
  EXPECT_NE(err_.find("entry 6 (..\\up\\xCEtxt) not extracted: the launcher skips it"), std::string::npos) << err_;
  EXPECT_NE(err_.find("entry 7 (" + std::string(256, 'm') + ") not extracted: the launcher skips it: a name longer than 255"),
            std::string::npos) << err_;

  forged.resize(forged.size() - 300);
  Write("cut.exe", forged);
  EXPECT_EQ(Run({"extract", "%cut.exe", "%y"}), 1);
  EXPECT_NE(err_.find("nothing extracted"), std::string::npos) << err_;
  EXPECT_TRUE(!fs::exists(Path("y")) || fs::is_empty(Path("y")));
}

TEST_F(PackTool, AnInterruptedWriteLeavesNoTemporaryFile) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int folder = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
    lumopack::TempFile temp;
    if (!temp.Create(folder, "out.exe", 0644) || !temp.Write("partial", 7)) ::_exit(3);
    ::raise(SIGTERM);
    ::_exit(4);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST(PackToolJson, StringsAreEscaped) {
  const struct {
    std::string text, json;
  } cases[] = {
      {"setup.cab", "\"setup.cab\""},
      {"say \"hi\"\\", "\"say \\\"hi\\\"\\\\\""},
      {std::string("a\x01\tb\n", 5), "\"a\\u0001\\tb\\n\""},
      {"caf\xE9", "\"caf\\u00e9\""},
  };
  for (const auto& c : cases) EXPECT_EQ(lumopack::JsonString(c.text), c.json);
}

}  // namespace
