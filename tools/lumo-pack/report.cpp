#include "report.h"

#include <algorithm>
#include <cstdio>

namespace lumopack {

std::string JsonString(const std::string& text) {
  std::string json = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': json += "\\\""; break;
      case '\\': json += "\\\\"; break;
      case '\n': json += "\\n"; break;
      case '\r': json += "\\r"; break;
      case '\t': json += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          json += escaped;
        } else {
          json.push_back(static_cast<char>(c));
        }
    }
  }
  return json + "\"";
}

void PrintListing(const Inspection& r, std::ostream& out) {
  out << "stub: " << Shown(r.stubName.empty() ? "(no trailer)" : r.stubName) << ", " << r.headerOffset << " bytes, "
      << MachineName(r.pe.machine);
  if (!r.pe.fileVersion.empty()) out << ", file version " << r.pe.fileVersion;
  out << "\nstub SHA-256: " << r.stubSha256 << "\n";
  out << "header offset: " << r.headerOffset << "\n";
  if (r.signedFile)
    out << "signed: certificate table of " << r.tableSize << " bytes at " << r.tableOffset << "\n";
  else
    out << "signed: no\n";
  out << "entries: " << r.entries.size() << "\n";
  for (const EntryReport& e : r.entries) {
    out << e.header.size << "  " << e.sha256 << "  " << Shown(e.name);
    if (!e.complete) out << "  (cut short: " << (r.length - e.dataOffset) << " bytes in the file)";
    if (e.nameProblem != lumo::NameProblem::kNone)
      out << "  (skipped by the launcher: " << lumo::DescribeNameProblem(e.nameProblem) << ")";
    out << "\n";
  }
}

void PrintJson(const Inspection& r, const std::string& file, std::ostream& out) {
  out << "{\n  \"file\": " << JsonString(file) << ",\n  \"size\": " << r.length << ",\n";
  out << "  \"stub\": {\"name\": " << (lumo::LooksLikePackedTrailer(r.location) ? JsonString(r.stubName) : "null") << ", \"size\": " << r.headerOffset
      << ", \"sha256\": " << JsonString(r.stubSha256) << ", \"machine\": " << JsonString(MachineName(r.pe.machine))
      << ", \"file_version\": " << (r.pe.fileVersion.empty() ? "null" : JsonString(r.pe.fileVersion)) << "},\n";
  out << "  \"header_offset\": " << r.headerOffset << ",\n";
  if (r.signedFile)
    out << "  \"certificate_table\": {\"offset\": " << r.tableOffset << ", \"size\": " << r.tableSize << "},\n";
  else
    out << "  \"certificate_table\": null,\n";
  out << "  \"bytes_after_certificate_table\": " << r.bytesAfterTable << ",\n";
  out << "  \"complete\": " << (r.state == PayloadState::kPacked ? "true" : "false") << ",\n";
  out << "  \"entries\": [";
  for (std::size_t i = 0; i < r.entries.size(); ++i) {
    const EntryReport& e = r.entries[i];
    out << (i == 0 ? "\n" : ",\n") << "    {\"name\": " << JsonString(e.name) << ", \"offset\": " << e.dataOffset
        << ", \"size\": " << e.header.size << ", \"sha256\": " << JsonString(e.sha256) << ", \"skipped_by_launcher\": "
        << (e.nameProblem == lumo::NameProblem::kNone ? "null" : JsonString(lumo::DescribeNameProblem(e.nameProblem)))
        << "}";
  }
  out << (r.entries.empty() ? "]\n" : "\n  ]\n") << "}\n";
}

}  // namespace lumopack
