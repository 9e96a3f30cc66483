// What every fuzz target shares. A target is one file, tests/fuzz/NAME_fuzz.cpp, that
// includes this header and defines two functions:
//   void fuzz::Check(fuzz::Input& input);      runs one reader on the input and asserts its
//                                               property with REQUIRE
//   std::vector<fuzz::Bytes> fuzz::Seeds();    the corpus's first inputs (taken from the unit
//                                               tests' cases), written with fuzz::Output
// scripts/fuzz finds the file, builds it with the portable core under libFuzzer, ASan and
// UBSan, writes its seeds and runs it. A line "// Also built from: PATH..." in the target
// names further sources (relative to the checkout).
//
// Inputs are bytes read front to back: numbers little-endian, text as UTF-16 code units
// encoded like UTF-8 (a byte that starts no valid sequence stands for itself, a 3-byte form
// may carry a lone surrogate, a 4-byte form gives a surrogate pair), ended by a NUL byte. So
// the text is the same UTF-16 whatever the width of wchar_t, lone surrogates included, and
// plain ASCII seeds read as themselves.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace fuzz {

using Bytes = std::vector<uint8_t>;

class Input {
 public:
  Input(const uint8_t* data, std::size_t size) : at_(data), end_(data + size) {}

  bool Done() const { return at_ == end_; }
  // The bytes not read yet.
  const uint8_t* Here() const { return at_; }
  std::size_t Left() const { return static_cast<std::size_t>(end_ - at_); }

  uint8_t Byte() { return at_ == end_ ? 0 : *at_++; }

  // sizeof(T) bytes, little-endian; missing bytes read as zero.
  template <typename T>
  T Number() {
    std::make_unsigned_t<T> value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<std::make_unsigned_t<T>>(Byte()) << (8 * i);
    return static_cast<T>(value);
  }

  // UTF-16 code units up to the next NUL byte (or the end); never holds a NUL.
  std::wstring Text() {
    std::wstring text;
    while (at_ != end_ && *at_ != 0) {
      const uint32_t point = NextPoint();
      if (point > 0xFFFF) {
        text.push_back(static_cast<wchar_t>(0xD800 + ((point - 0x10000) >> 10)));
        text.push_back(static_cast<wchar_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
      } else {
        text.push_back(static_cast<wchar_t>(point));
      }
    }
    if (at_ != end_) ++at_;
    return text;
  }

 private:
  // One sequence as described above; surrogate code points are accepted on purpose.
  uint32_t NextPoint() {
    const uint8_t lead = *at_;
    int more = lead >= 0xF0 && lead <= 0xF4 ? 3 : lead >= 0xE0 && lead <= 0xEF ? 2 : lead >= 0xC2 && lead <= 0xDF ? 1 : 0;
    uint32_t point = more == 3 ? lead & 0x07u : more == 2 ? lead & 0x0Fu : more == 1 ? lead & 0x1Fu : lead;
    if (end_ - at_ <= more) more = 0;
    for (int i = 1; i <= more; ++i) {
      if ((at_[i] & 0xC0) != 0x80) return *at_++;
      point = (point << 6) | (at_[i] & 0x3Fu);
    }
    const uint32_t least = more == 3 ? 0x10000 : more == 2 ? 0x800 : more == 1 ? 0x80 : 0;
    if (more == 0 || point < least || point > 0x10FFFF) return *at_++;
    at_ += more + 1;
    return point;
  }

  const uint8_t* at_;
  const uint8_t* end_;
};

// Writes what Input reads, for seeds.
class Output {
 public:
  Output& Byte(uint8_t value) {
    bytes_.push_back(value);
    return *this;
  }
  template <typename T>
  Output& Number(T value) {
    const auto bits = static_cast<std::make_unsigned_t<T>>(value);
    for (std::size_t i = 0; i < sizeof(T); ++i) bytes_.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    return *this;
  }
  // Each unit (a pair, or a code point of a 32-bit wchar_t, as one 4-byte sequence); a NUL
  // cannot be written and is left out.
  Output& Text(const std::wstring& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      const uint32_t unit = static_cast<uint32_t>(text[i]);
      if (unit == 0 || unit > 0x10FFFF) continue;
      if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
        Point(0x10000 + ((unit - 0xD800) << 10) + (static_cast<uint32_t>(text[++i]) - 0xDC00));
      } else {
        Point(unit);
      }
    }
    bytes_.push_back(0);
    return *this;
  }
  Bytes Take() { return std::move(bytes_); }

 private:
  void Point(uint32_t point) {
    if (point < 0x80) {
      bytes_.push_back(static_cast<uint8_t>(point));
    } else if (point < 0x800) {
      bytes_.push_back(static_cast<uint8_t>(0xC0 | (point >> 6)));
      bytes_.push_back(static_cast<uint8_t>(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
      bytes_.push_back(static_cast<uint8_t>(0xE0 | (point >> 12)));
      bytes_.push_back(static_cast<uint8_t>(0x80 | ((point >> 6) & 0x3F)));
      bytes_.push_back(static_cast<uint8_t>(0x80 | (point & 0x3F)));
    } else {
      bytes_.push_back(static_cast<uint8_t>(0xF0 | (point >> 18)));
      bytes_.push_back(static_cast<uint8_t>(0x80 | ((point >> 12) & 0x3F)));
      bytes_.push_back(static_cast<uint8_t>(0x80 | ((point >> 6) & 0x3F)));
      bytes_.push_back(static_cast<uint8_t>(0x80 | (point & 0x3F)));
    }
  }
  Bytes bytes_;
};

// Text for a report: ASCII as it stands, everything else as \uXXXX.
inline std::string Show(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char escape[16];
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
      out += escape;
    }
  }
  return out;
}

// What the current input was read as, shown when a property breaks.
inline std::vector<std::string>& Notes() {
  static std::vector<std::string> notes;
  return notes;
}
inline void Note(const char* label, const std::wstring& text) { Notes().push_back(std::string(label) + ": " + Show(text)); }

[[noreturn]] inline void Fail(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, condition);
  for (const std::string& note : Notes()) std::fprintf(stderr, "  %s\n", note.c_str());
  std::abort();
}

void Check(Input& input);
std::vector<Bytes> Seeds();

}  // namespace fuzz

#define REQUIRE(condition) ((condition) ? static_cast<void>(0) : ::fuzz::Fail(#condition, __FILE__, __LINE__))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::Notes().clear();
  fuzz::Input input(data, size);
  fuzz::Check(input);
  return 0;
}

// With LUMO_FUZZ_SEEDS set to a folder, the target writes its seeds there and ends.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* folder = std::getenv("LUMO_FUZZ_SEEDS");
  if (folder == nullptr) return 0;
  const std::vector<fuzz::Bytes> seeds = fuzz::Seeds();
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    const std::string path = std::string(folder) + "/seed-" + std::to_string(i);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(seeds[i].data(), 1, seeds[i].size(), file) != seeds[i].size()) {
      std::fprintf(stderr, "fuzz: cannot write %s\n", path.c_str());
      std::exit(1);
    }
    std::fclose(file);
  }
  std::exit(0);
}
