// What lumo-pack list prints about an inspected file: lines for a person, or one JSON
// object for a program. Portable, like inspect.h.
#pragma once

#include <ostream>
#include <string>

#include "inspect.h"

namespace lumopack {

void PrintListing(const Inspection& inspection, std::ostream& out);
void PrintJson(const Inspection& inspection, const std::string& file, std::ostream& out);

// A JSON string literal of 8-bit text: quotes, backslashes and control characters escaped;
// a byte outside ASCII becomes the character of the same number (\u0080 to \u00FF), since
// the code page that gives it meaning is the user's.
std::string JsonString(const std::string& text);

}  // namespace lumopack
