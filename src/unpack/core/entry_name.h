// Which entry names may become files in the work folder. Entries are created directly in
// the work folder, so a name must be one plain component: anything that could climb out of
// the folder, name another folder, a stream or a device is refused, and so is a name that
// Windows would not create as written (a character it forbids, or a final dot or blank,
// which it drops, so that the file would get another entry's name).
#pragma once

#include <array>
#include <string>

#include "unpack/core/container.h"

namespace lumo {

// The most UTF-16 units a file name (one component of a path) holds on Windows' file systems.
constexpr std::size_t kMaxFileNameLength = 255;

enum class NameProblem {
  kNone,
  kEmpty,           // the first byte is NUL
  kNotTerminated,   // no NUL within the 260-byte field
  kSeparator,       // holds '\', '/' or ':' (folders, drives, streams)
  kDotName,         // "." or ".."
  kDeviceName,      // CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an extension
  kTooLong,         // more than 255 characters, which no Windows file name holds
  kNotPrintable,    // a byte outside printable ASCII (the packer's refusal only)
  kForbidden,       // holds < > " | ? * or a control character
  kTrailingDot,     // ends in a dot or a blank
};

// A short English description for messages and log lines.
const char* DescribeNameProblem(NameProblem problem);

// Checks a name field as the launcher sees it before converting it from the ANSI code page;
// `text` receives the bytes before the NUL (all 260 when there is none) so the caller can
// name the entry in its log. A backslash or '|' byte is not judged here (it may be the
// second byte of a double-byte character): the converted name must pass CheckBareName too.
NameProblem CheckEntryNameField(const std::array<char, kEntryNameSize>& field, std::string* text);

// The launcher's verdict as far as it can be given without the user's code page (the host
// tools): the field check, and the check of the converted name for every byte that reads
// the same in every code page, which is all of an ASCII name. In another, only a '\' or
// '|' right after a byte of 0x81 or above may be the second byte of a character and is
// let pass. `ascii` tells whether the name is ASCII, so the verdict whole.
NameProblem CheckEntryNameAnyCodePage(const std::array<char, kEntryNameSize>& field, std::string* text,
                                      bool* ascii);

// The launcher's check of a name already in hand (8-bit or, after conversion, UTF-16).
NameProblem CheckBareName(const std::string& name);
NameProblem CheckBareName(const std::wstring& name);

// The packing tool's stricter rule: a bare name of at most 259 bytes of printable ASCII.
NameProblem CheckPackName(const std::string& name);

// Case-insensitive (ASCII) equality, as the file system compares the names it stores.
bool SameNameIgnoringCase(const std::string& a, const std::string& b);

}  // namespace lumo
