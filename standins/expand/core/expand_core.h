// The portable part of the expand.exe stand-in: what its command line asks for, which
// names inside a cabinet may be written, and which of them a "/f:" pattern selects. No
// system calls, so the rules are unit-tested natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace expandtool {

// Exit codes: 0 only when every matching cabinet was expanded completely.
enum ExitCode : int {
  kSuccess = 0,
  kUsage = 1,          // the command line cannot be understood
  kNoSource = 2,       // no file matches a source pattern
  kCabinetFailed = 3,  // not a cabinet, damaged, or a file could not be written
  kUnsafeName = 4,     // the cabinet names a file outside the destination (skipped)
  kIdentify = 77,      // "/lumo:identify": tells a test that this program, not Wine's, runs
};

struct Request {
  std::vector<std::wstring> sources;  // file names or patterns ("*.cab")
  std::wstring destination;           // a folder
  std::wstring filter = L"*";         // which files of each cabinet ("/f:")
  bool list = false;                  // "/d": list the names, write nothing
  bool identify = false;
  std::wstring error;                 // set when the command line is not understood
  bool ok() const { return error.empty(); }
};

// Reads the arguments (without the program name). Accepted forms:
//   expand SOURCE... [/r] [/f:PATTERN] DESTINATION
//   expand /d SOURCE... [/f:PATTERN]
// Options start with "-" or "/" and ignore case; SOURCE may hold "*" and "?".
Request ParseArguments(const std::vector<std::wstring>& args);

// A cabinet's name for a file, made relative to the destination: separators become "\",
// and the name is rejected (empty result) when it could reach outside the destination or
// name something other than a plain file there: an absolute path, a drive or stream
// (":"), a ".." or "." component, an empty component, a control character or one of
// <>"|?*, a component ending in a dot or a blank, or a device name (CON, NUL, COM1, ...).
std::wstring SafeRelativeName(const std::wstring& name);

// Wildcard match ("*" any run, "?" one character), ASCII letters without regard to case.
bool WildcardMatch(const std::wstring& pattern, const std::wstring& text);

// Whether a cabinet entry is selected by the "/f:" pattern: the pattern is matched against
// the whole name and against its last component.
bool Selected(const std::wstring& pattern, const std::wstring& entryName);

// The file attributes Windows' expand.exe gives an expanded file: the read-only, hidden,
// system and archive bits the cabinet stores for it (_A_RDONLY 0x1, _A_HIDDEN 0x2,
// _A_SYSTEM 0x4, _A_ARCH 0x20, the same values as the FILE_ATTRIBUTE_ bits); the
// cabinet's "execute" and "name is UTF-8" bits are no file attributes. FILE_ATTRIBUTE_NORMAL
// (0x80) when none is set.
uint32_t ExpandedFileAttributes(uint16_t cabinetAttributes);

// The checksum of the cabinet format over a run of bytes, continuing from seed.
uint32_t CabinetChecksum(const uint8_t* data, size_t size, uint32_t seed);

// Checks a whole cabinet file before anything is taken out of it: the header, every folder
// and data block within the file, and every data block's checksum where one is recorded.
// The cabinet library does not check the sums, so a damaged block would otherwise be
// written out as if it were good. Returns an empty text when the cabinet is sound, else
// what is wrong with it.
std::wstring CheckCabinet(const uint8_t* data, size_t size);

}  // namespace expandtool
