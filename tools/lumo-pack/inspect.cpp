#include "inspect.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace lumopack {

namespace {

struct ByteRange {
  uint64_t offset, size;
};

// SHA-256 of a range of the file, with the bytes of `zeroed` counted as zeros.
std::string HashRange(lumo::ByteSource& file, uint64_t offset, uint64_t size, const std::vector<ByteRange>& zeroed,
                      bool* complete) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
  std::vector<uint8_t> buffer(1 << 16);
  uint64_t done = 0;
  while (done < size) {
    const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), size - done));
    const std::size_t got = file.ReadAt(offset + done, buffer.data(), want);
    for (const ByteRange& z : zeroed) {
      for (uint64_t at = std::max(z.offset, offset + done); at < z.offset + z.size && at < offset + done + got; ++at)
        buffer[static_cast<std::size_t>(at - offset - done)] = 0;
    }
    EVP_DigestUpdate(context.get(), buffer.data(), got);
    done += got;
    if (got < want) break;
  }
  if (complete != nullptr) *complete = done == size;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  EVP_DigestFinal_ex(context.get(), digest, &digestLength);
  std::string hex;
  for (unsigned int i = 0; i < digestLength; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

// An entry header as the packer writes the first one: index 2, at least one entry, the
// running total equal to its own size, a terminated name.
bool LooksLikeFirstEntry(const lumo::EntryHeader& h) {
  return h.index == 2 && h.count >= 1 && h.total == h.size &&
         std::find(h.name.begin(), h.name.end(), '\0') != h.name.end();
}

void ReadEntries(lumo::ByteSource& file, Inspection& r) {
  const lumo::WalkResult walk = lumo::WalkEntries(file, r.headerOffset);
  r.payloadEnd = r.headerOffset;
  for (const lumo::EntryInfo& info : walk.entries) {
    EntryReport e;
    e.header = info.header;
    e.headerOffset = info.headerOffset;
    e.dataOffset = info.dataOffset;
    e.nameProblem = lumo::CheckEntryNameAnyCodePage(info.header.name, &e.name, &e.ascii);
    e.complete = info.header.size <= r.length - info.dataOffset;
    const uint64_t held = e.complete ? info.header.size : r.length - info.dataOffset;
    e.sha256 = HashRange(file, info.dataOffset, held, {}, nullptr);
    e.cabinet = lumo::IsCabinetName(e.name);
    if (e.cabinet) {
      uint8_t head[lumo::kCabinetHeadSize] = {};
      const std::size_t got = file.ReadAt(info.dataOffset, head, static_cast<std::size_t>(std::min<uint64_t>(held, sizeof head)));
      e.cabinetProblem = lumo::CheckCabinetHead(head, got, info.header.size);
    }
    r.payloadEnd = info.dataOffset + held;
    r.entries.push_back(e);
  }
  if (!walk.entries.empty()) r.announced = walk.entries.front().header.count;
  const bool whole = !walk.truncated && r.entries.size() == r.announced;
  if (!whole) r.state = PayloadState::kCutShort;
}

}  // namespace

std::string Sha256Of(lumo::ByteSource& file, uint64_t offset, uint64_t size, bool* complete) {
  return HashRange(file, offset, size, {}, complete);
}

std::string Shown(const std::string& name) {
  std::string shown;
  for (unsigned char c : name) {
    if (c >= 0x20 && c < 0x7F) {
      shown.push_back(static_cast<char>(c));
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      shown += escaped;
    }
  }
  return shown;
}

std::string NoPayloadText(const Inspection& r) {
  if (r.pe.imageEnd > r.length)
    return "holds no payload: the program image itself is cut short (its sections end at " +
           std::to_string(r.pe.imageEnd) + ", the file at " + std::to_string(r.length) + ")";
  return "holds no payload (it was never packed)";
}

std::string CutShortText(const Inspection& r) {
  const auto whole = static_cast<std::size_t>(
      std::count_if(r.entries.begin(), r.entries.end(), [](const EntryReport& e) { return e.complete; }));
  if (whole == r.announced && r.announced > 0)
    return "no trailer where the launcher looks for it (before the certificate table, or at the end): it finds none "
           "of the " + std::to_string(whole) + " entries";
  return "the payload is cut short: " + std::to_string(whole) + " of " + std::to_string(r.announced) + " entries";
}

Inspection Inspect(lumo::ByteSource& file) {
  Inspection r;
  r.length = file.Length();
  if (!ReadPeFacts(file, r.pe)) return r;
  r.state = PayloadState::kNotPacked;
  r.location = lumo::LocateTrailer(file);
  const lumo::PeSecurity& security = r.location.security;
  r.signedFile = security.signSize > 0;
  if (r.signedFile) {
    r.tableOffset = security.tableOffset;
    r.tableSize = static_cast<uint32_t>(security.signSize);
    r.tableInside = r.tableOffset != 0 && r.tableOffset < r.length && r.tableSize <= r.length - r.tableOffset;
    if (r.tableInside) r.bytesAfterTable = r.length - r.tableOffset - r.tableSize;
  }
  r.computedChecksum = ComputePeChecksum(file, r.pe.checksumOffset);

  if (lumo::LooksLikePackedTrailer(r.location)) {
    r.state = PayloadState::kPacked;
    r.headerOffset = r.location.headerOffset;
    r.stubName = r.location.trailer.name.data();
    ReadEntries(file, r);
  } else if (r.pe.imageEnd > 0 && r.pe.imageEnd < r.length) {
    // No trailer where the launcher looks: a payload whose end was cut off still shows its
    // first entry right behind the program image.
    uint8_t bytes[lumo::kEntryHeaderSize];
    if (file.ReadAt(r.pe.imageEnd, bytes, sizeof bytes) == sizeof bytes &&
        LooksLikeFirstEntry(lumo::DecodeEntryHeader(bytes))) {
      r.headerOffset = r.pe.imageEnd;
      ReadEntries(file, r);
      r.state = PayloadState::kCutShort;
    }
  }
  if (r.state != PayloadState::kNotPacked && r.headerOffset <= r.length) {
    std::vector<ByteRange> zeroed = {{r.pe.checksumOffset, 4}};
    if (r.pe.securityEntryOffset != 0) zeroed.push_back({r.pe.securityEntryOffset, 8});
    r.stubSha256 = HashRange(file, 0, r.headerOffset, zeroed, nullptr);
  }
  return r;
}

std::vector<std::string> Findings(const Inspection& r, const std::vector<Expectation>& expected) {
  std::vector<std::string> findings;
  auto add = [&](const std::string& line) { findings.push_back(line); };
  const auto n = [](uint64_t v) { return std::to_string(v); };
  if (r.state == PayloadState::kNotPe) {
    add("not a PE file");
    return findings;
  }
  if (r.state == PayloadState::kNotPacked) {
    add(NoPayloadText(r));
    return findings;
  }
  if ((r.pe.characteristics & 0x2002) != 0x0002 || r.pe.subsystem != 2)
    add("the program image is not a Windows GUI program");
  if (r.state == PayloadState::kCutShort) add(CutShortText(r));

  // The trailer is read where the launcher reads it, right before the certificate table
  // (at the end of an unsigned file): a payload found there ends where the signed part of
  // the file ends. What the signature leaves out is anything after the table.
  if (r.signedFile && !r.tableInside && r.state == PayloadState::kPacked)
    add("the certificate table (" + n(r.tableSize) + " bytes at " + n(r.tableOffset) + ") does not lie inside the file");
  if (r.bytesAfterTable > 0)
    add(n(r.bytesAfterTable) + " bytes follow the certificate table; the signature does not cover them");
  if (r.state == PayloadState::kPacked && r.entries.empty()) add("the payload holds no entry");
  if (r.headerOffset < r.pe.imageEnd)
    add("the payload starts at " + n(r.headerOffset) + ", inside the program image (which ends at " +
        n(r.pe.imageEnd) + ")");
  // A payload cut short or bytes appended explain a wrong checksum already.
  if (r.state == PayloadState::kPacked && r.bytesAfterTable == 0 && r.pe.checksum != r.computedChecksum) {
    char line[96];
    std::snprintf(line, sizeof line, "the PE checksum is 0x%08X; the file's is 0x%08X", r.pe.checksum,
                  r.computedChecksum);
    add(line);
  }

  // The entries: sizes and running totals, names, cabinets.
  uint64_t total = 0;
  for (std::size_t i = 0; i < r.entries.size(); ++i) {
    const EntryReport& e = r.entries[i];
    const std::string which = "entry " + n(i + 1) + " (" + Shown(e.name) + ")";
    total += e.header.size;
    if (e.header.count != r.announced)
      add(which + ": it announces " + n(e.header.count) + " entries, the first " + n(r.announced));
    if (e.header.index != i + 2) add(which + ": index " + n(e.header.index) + ", expected " + n(i + 2));
    if (e.header.total != total) add(which + ": running total " + n(e.header.total) + ", expected " + n(total));
    if (e.nameProblem != lumo::NameProblem::kNone)
      add(which + ": the launcher skips it: " + lumo::DescribeNameProblem(e.nameProblem));
    else if (!e.ascii)
      add(which + ": its name holds bytes outside ASCII, which the launcher reads in the user's code page");
    for (std::size_t j = 0; j < i; ++j) {
      if (lumo::SameNameIgnoringCase(r.entries[j].name, e.name)) {
        add(which + ": the same name as entry " + n(j + 1) + "; the launcher writes one over the other");
        break;
      }
    }
    if (e.cabinet && e.complete && e.cabinetProblem != lumo::CabinetProblem::kNone)
      add(which + ": " + lumo::DescribeCabinetProblem(e.cabinetProblem));
  }
  if (r.state == PayloadState::kPacked) {
    if (r.payloadEnd > r.location.trailerOffset) {
      add("the entries run into the trailer at " + n(r.location.trailerOffset));
    } else if (r.location.trailerOffset - r.payloadEnd >= 8) {
      add(n(r.location.trailerOffset - r.payloadEnd) +
          " bytes lie between the last entry and the trailer (lumo-pack leaves fewer than 8)");
    }
  }

  for (const Expectation& x : expected) {
    const auto e = std::find_if(r.entries.begin(), r.entries.end(),
                                [&](const EntryReport& e) { return lumo::SameNameIgnoringCase(e.name, x.name); });
    if (e == r.entries.end())
      add("no entry " + Shown(x.name));
    else if (e->sha256 != x.sha256)
      add("entry " + Shown(x.name) + ": SHA-256 " + e->sha256 + ", expected " + x.sha256);
  }
  return findings;
}

}  // namespace lumopack
