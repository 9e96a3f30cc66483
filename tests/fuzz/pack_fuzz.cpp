// lumo-pack's readers on any file: the bytes are FILE, in a scratch folder of this process,
// for `verify FILE`, `list --json FILE` and `extract FILE DIR`, each run through the tool's
// own entry point. Besides what ASan and UBSan catch:
//  - each command exits 0 or 1 (its arguments are right, so never 2);
//  - nothing but FILE and DIR appears in the scratch folder, and FILE is left as it was;
//  - whatever list prints is one JSON object of the documented shape, complete exactly when
//    list succeeds, its entries inside the file then;
//  - DIR holds, as regular files, exactly the listed entries that the launcher writes (none
//    it skips, of names equal but for case the last), each with its bytes from FILE and a
//    name the launcher accepts; or nothing at all when extract fails without naming an entry
//    it skipped;
//  - a file that verify passes is listed whole and extracted whole.
// Also built from: tools/lumo-pack/pack_tool.cpp tools/lumo-pack/command_line.cpp
// Also built from: tools/lumo-pack/pack_command.cpp tools/lumo-pack/extract_command.cpp
// Also built from: tools/lumo-pack/files.cpp tools/lumo-pack/pe_file.cpp
// Also built from: tools/lumo-pack/inspect.cpp tools/lumo-pack/report.cpp
// Also linked with: -lcrypto
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "tests/fuzz/harness.h"
#include "tests/unit/pe_image.h"
#include "tools/lumo-pack/pack_tool.h"
#include "unpack/core/container_writer.h"
#include "unpack/core/entry_name.h"

namespace {

namespace fs = std::filesystem;

// ---- A small JSON reader (RFC 8259), strict enough to refuse what a JSON parser refuses ----

struct Json {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  bool truth = false;
  std::string text;  // a number as written; a string's characters, each below 0x100, as bytes
  std::vector<Json> items;
  std::map<std::string, Json> members;

  const Json* Member(const std::string& name, Kind want) const {
    const auto found = members.find(name);
    return found != members.end() && found->second.kind == want ? &found->second : nullptr;
  }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : at_(text.data()), end_(text.data() + text.size()) {}

  // The whole text as one value, with blanks around it only.
  bool Document(Json& value) { return Value(value, 0) && (Blanks(), at_ == end_); }

 private:
  void Blanks() {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r')) ++at_;
  }
  bool Take(char c) {
    Blanks();
    if (at_ == end_ || *at_ != c) return false;
    ++at_;
    return true;
  }
  bool Word(const char* word) {
    const std::size_t size = std::strlen(word);
    if (static_cast<std::size_t>(end_ - at_) < size || std::memcmp(at_, word, size) != 0) return false;
    at_ += size;
    return true;
  }
  bool Digits() {
    const char* start = at_;
    while (at_ != end_ && *at_ >= '0' && *at_ <= '9') ++at_;
    return at_ != start;
  }
  bool Number(std::string& text) {
    const char* start = at_;
    if (at_ != end_ && *at_ == '-') ++at_;
    if (at_ != end_ && *at_ == '0') {
      ++at_;
    } else if (!Digits()) {
      return false;
    }
    if (at_ != end_ && *at_ == '.' && (++at_, !Digits())) return false;
    if (at_ != end_ && (*at_ == 'e' || *at_ == 'E')) {
      ++at_;
      if (at_ != end_ && (*at_ == '+' || *at_ == '-')) ++at_;
      if (!Digits()) return false;
    }
    text.assign(start, at_);
    return true;
  }
  // The listing escapes every character outside printable ASCII, so a raw byte above 0x7F
  // counts as wrong here too (it would not be UTF-8 in general).
  bool String(std::string& text) {
    if (!Take('"')) return false;
    while (at_ != end_ && *at_ != '"') {
      const auto c = static_cast<unsigned char>(*at_++);
      if (c < 0x20 || c > 0x7E) return false;
      if (c != '\\') {
        text.push_back(static_cast<char>(c));
        continue;
      }
      if (at_ == end_) return false;
      const char escape = *at_++;
      const char* simple = std::strchr("\"\\/bfnrt", escape);
      if (escape != '\0' && simple != nullptr) {
        text.push_back("\"\\/\b\f\n\r\t"[simple - "\"\\/bfnrt"]);
      } else if (escape == 'u' && end_ - at_ >= 4) {
        unsigned unit = 0;
        for (int i = 0; i < 4; ++i) {
          const char h = *at_++;
          const char* digit = std::strchr("0123456789abcdef", h >= 'A' && h <= 'F' ? h - 'A' + 'a' : h);
          if (h == '\0' || digit == nullptr) return false;
          unit = unit * 16 + static_cast<unsigned>(digit - "0123456789abcdef");
        }
        if (unit > 0xFF) return false;  // names are bytes: the listing writes \u0000 to \u00ff
        text.push_back(static_cast<char>(unit));
      } else {
        return false;
      }
    }
    return at_ != end_ && *at_++ == '"';
  }
  bool Value(Json& value, int depth) {
    if (depth > 16) return false;
    Blanks();
    if (at_ == end_) return false;
    if (*at_ == '{') {
      ++at_;
      value.kind = Json::kObject;
      if (Take('}')) return true;
      do {
        std::string name;
        Json member;
        if (!String(name) || !Take(':') || !Value(member, depth + 1)) return false;
        if (!value.members.emplace(name, member).second) return false;  // a name given twice
      } while (Take(','));
      return Take('}');
    }
    if (*at_ == '[') {
      ++at_;
      value.kind = Json::kArray;
      if (Take(']')) return true;
      do {
        value.items.emplace_back();
        if (!Value(value.items.back(), depth + 1)) return false;
      } while (Take(','));
      return Take(']');
    }
    if (*at_ == '"') {
      value.kind = Json::kString;
      return String(value.text);
    }
    if (Word("null")) return true;
    value.kind = Json::kBool;
    if (Word("true")) return value.truth = true;
    if (Word("false")) return true;
    value.kind = Json::kNumber;
    return Number(value.text);
  }

  const char* at_;
  const char* end_;
};

// A size or offset of the listing: digits only, within 64 bits.
bool Count(const Json* value, uint64_t& number) {
  if (value == nullptr || value->text.find_first_not_of("0123456789") != std::string::npos) return false;
  number = 0;
  for (char digit : value->text) {
    const uint64_t next = number * 10 + static_cast<uint64_t>(digit - '0');
    if (number > UINT64_MAX / 10 || next < number * 10) return false;
    number = next;
  }
  return true;
}

// ---- The scratch folder: FILE and DIR, nothing else ----

const char kFile[] = "file.exe";
const char kDir[] = "dir";

// In memory where the system has /dev/shm: extract syncs every file it writes.
struct Scratch {
  std::string path;
  Scratch() {
    std::string base = "/dev/shm";
    if (::access(base.c_str(), W_OK | X_OK) != 0) base = fs::temp_directory_path().string();
    std::string pattern = base + "/lumo-pack-fuzz-XXXXXX";
    REQUIRE(::mkdtemp(&pattern[0]) != nullptr);
    path = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  std::string In(const std::string& name) const { return path + "/" + name; }
};

std::vector<std::string> NamesIn(const std::string& folder) {
  std::vector<std::string> names;
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) return names;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The launcher's rule for a name in any code page: an ASCII name must pass as it stands; in
// another, a '\' or '|' right after a byte that may lead a double-byte character (0x81 and
// above) may be that character's second byte, and is judged only after conversion.
bool LauncherTakes(const std::string& name) {
  std::string judged = name;
  for (std::size_t i = 1; i < judged.size(); ++i) {
    if ((judged[i] == '\\' || judged[i] == '|') && static_cast<unsigned char>(judged[i - 1]) >= 0x81) judged[i] = '_';
  }
  return lumo::CheckBareName(judged) == lumo::NameProblem::kNone;
}

struct Listed {
  std::string name;
  uint64_t offset = 0, size = 0;
  bool skipped = false;
};

// The listing's shape; false when a key is missing or of the wrong kind.
bool ReadListing(const Json& top, const std::string& file, uint64_t length, bool& complete, std::vector<Listed>& entries) {
  const Json* name = top.Member("file", Json::kString);
  const Json* stub = top.Member("stub", Json::kObject);
  const Json* entryArray = top.Member("entries", Json::kArray);
  const Json* completeFlag = top.Member("complete", Json::kBool);
  uint64_t size = 0, number = 0;
  if (top.kind != Json::kObject || name == nullptr || name->text != file || !Count(top.Member("size", Json::kNumber), size) ||
      size != length || stub == nullptr || !Count(stub->Member("size", Json::kNumber), number) ||
      stub->Member("sha256", Json::kString) == nullptr || !Count(top.Member("header_offset", Json::kNumber), number) ||
      (top.Member("certificate_table", Json::kNull) == nullptr && top.Member("certificate_table", Json::kObject) == nullptr) ||
      !Count(top.Member("bytes_after_certificate_table", Json::kNumber), number) || completeFlag == nullptr ||
      entryArray == nullptr)
    return false;
  complete = completeFlag->truth;
  for (const Json& item : entryArray->items) {
    Listed e;
    const Json* entryName = item.Member("name", Json::kString);
    const Json* sha = item.Member("sha256", Json::kString);
    if (entryName == nullptr || sha == nullptr || sha->text.size() != 64 ||
        !Count(item.Member("offset", Json::kNumber), e.offset) || !Count(item.Member("size", Json::kNumber), e.size))
      return false;
    e.name = entryName->text;
    if (item.Member("skipped_by_launcher", Json::kString) != nullptr)
      e.skipped = true;
    else if (item.Member("skipped_by_launcher", Json::kNull) == nullptr)
      return false;
    entries.push_back(e);
  }
  return true;
}

int Run(const std::vector<std::string>& args, std::string* printed = nullptr) {
  std::ostringstream out, err;
  const int code = lumopack::Run(args, out, err);
  if (printed != nullptr) *printed = out.str();
  fuzz::Notes().push_back(args.front() + ": exit " + std::to_string(code) + "; " + err.str().substr(0, 600));
  return code;
}

}  // namespace

void fuzz::Check(Input& input) {
  static const Scratch scratch;
  const std::string file = scratch.In(kFile), dir = scratch.In(kDir);
  const std::string bytes(reinterpret_cast<const char*>(input.Here()), input.Left());
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  std::ofstream(file, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));

  const int verified = Run({"verify", file});
  std::string json;
  const int listed = Run({"list", "--json", file}, &json);
  const int extracted = Run({"extract", file, dir});
  for (int code : {verified, listed, extracted}) REQUIRE(code == 0 || code == 1);

  for (const std::string& name : NamesIn(scratch.path)) REQUIRE(name == kFile || name == kDir);
  REQUIRE(ReadWhole(file) == bytes);

  // What DIR must hold: by name, the listed entry written last under it.
  std::vector<Listed> entries;
  std::map<std::string, const Listed*> written;
  if (!json.empty()) {
    Json top;
    bool complete = false;
    REQUIRE(JsonReader(json).Document(top));
    REQUIRE(ReadListing(top, file, bytes.size(), complete, entries));
    REQUIRE(complete == (listed == 0));
    for (const Listed& e : entries) {
      if (complete) REQUIRE(e.offset <= bytes.size() && e.size <= bytes.size() - e.offset);
      if (e.skipped) continue;
      const auto same = std::find_if(written.begin(), written.end(), [&](const auto& w) { return lumo::SameNameIgnoringCase(w.first, e.name); });
      if (same != written.end()) written.erase(same);
      written[e.name] = &e;
    }
  } else {
    REQUIRE(listed == 1);
  }
  const bool allWritten = written.size() == entries.size();
  if (verified == 0) REQUIRE(listed == 0 && extracted == 0 && allWritten);

  const std::vector<std::string> inDir = NamesIn(dir);
  if (extracted == 1 && inDir.empty()) return;  // refused before writing
  REQUIRE(listed == 0);
  REQUIRE(extracted == 0 ? allWritten : !allWritten);
  REQUIRE(inDir.size() == written.size());
  for (const auto& w : written) {
    const Listed& e = *w.second;
    struct stat status {};
    REQUIRE(::lstat((dir + "/" + e.name).c_str(), &status) == 0 && S_ISREG(status.st_mode));
    REQUIRE(std::count(inDir.begin(), inDir.end(), e.name) == 1);
    REQUIRE(LauncherTakes(e.name));
    REQUIRE(ReadWhole(dir + "/" + e.name) == bytes.substr(e.offset, e.size));
  }
}

// The unit tests' packed launchers, kept small: signed and not, PE32 and PE32+; a long name;
// names the launcher skips or that climb out; names equal but for case; a payload cut short.
std::vector<fuzz::Bytes> fuzz::Seeds() {
  const auto text = [](const std::string& t) { return std::vector<uint8_t>(t.begin(), t.end()); };
  const std::vector<lumo::PackEntry> release = {
      {"setup.cab", petest::Cabinet(600)}, {".init_setting.ini", text("[Settings]\r\ntoken=ABC\r\n")}, {"empty.dat", {}},
      {std::string(198, 'n'), text("a long name")}, {std::string(255, 'm'), text("as long as Linux takes")}};
  const std::vector<lumo::PackEntry> forged = {{"first.txt", text("one")}, {"..\\up.txt", text("escaped")},
                                              {"..", text("dots")},       {"LAST.TXT", text("early")},
                                              {"last.txt", text("two")}};
  std::vector<Bytes> seeds;
  for (bool plus : {false, true}) {
    const std::vector<uint8_t> stub = petest::MakeImage(plus, 1024);
    Bytes packed = lumo::PackInMemory(stub, "L.exe", release);
    petest::Put32(packed, petest::kChecksumAt, petest::ChecksumOf(packed));
    seeds.push_back(packed);
    petest::SignLikeASigner(packed, plus);
    seeds.push_back(packed);
    packed.resize(1024 + 700);
    seeds.push_back(packed);
    seeds.push_back(lumo::PackInMemory(stub, "L.exe", forged));
  }
  return seeds;
}
