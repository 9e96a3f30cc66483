#include "standins/expand/core/expand_core.h"

namespace expandtool {

namespace {

wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

std::wstring Lower(const std::wstring& text) {
  std::wstring result = text;
  for (wchar_t& c : result) c = FoldAscii(c);
  return result;
}

bool IsOption(const std::wstring& arg) {
  // "/" also begins an option; a destination like "/tmp" is not a Windows path anyway.
  return arg.size() >= 2 && (arg[0] == L'-' || arg[0] == L'/');
}

bool IsDeviceName(const std::wstring& component) {
  // The device names apply whatever the extension: "con.txt" is the console too.
  std::wstring base = Lower(component.substr(0, component.find(L'.')));
  static const wchar_t* const kDevices[] = {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"};
  for (const wchar_t* device : kDevices)
    if (base == device) return true;
  if (base.size() == 4 && (base.compare(0, 3, L"com") == 0 || base.compare(0, 3, L"lpt") == 0) &&
      base[3] >= L'0' && base[3] <= L'9')
    return true;
  return false;
}

}  // namespace

uint32_t ExpandedFileAttributes(uint16_t cabinetAttributes) {
  const uint32_t kept = cabinetAttributes & (0x1u | 0x2u | 0x4u | 0x20u);
  return kept != 0 ? kept : 0x80u;
}

Request ParseArguments(const std::vector<std::wstring>& args) {
  Request request;
  std::vector<std::wstring> positional;
  bool filterSeen = false;
  for (const std::wstring& arg : args) {
    if (!IsOption(arg)) {
      positional.push_back(arg);
      continue;
    }
    const std::wstring option = Lower(arg.substr(1));
    if (option == L"r") continue;  // names are kept as the cabinet gives them
    if (option == L"d") {
      request.list = true;
    } else if (option.compare(0, 2, L"f:") == 0) {
      if (filterSeen) {
        request.error = L"more than one /f: option";
        return request;
      }
      filterSeen = true;
      request.filter = arg.substr(3);
      if (request.filter.empty()) {
        request.error = L"/f: needs a file name or pattern";
        return request;
      }
    } else if (option == L"lumo:identify") {
      request.identify = true;
      return request;
    } else {
      request.error = L"unknown option " + arg;
      return request;
    }
  }
  if (request.list) {
    if (positional.empty()) request.error = L"no source given";
    request.sources = positional;
    return request;
  }
  if (positional.size() < 2) {
    request.error = positional.empty() ? L"no source given" : L"no destination given";
    return request;
  }
  request.destination = positional.back();
  positional.pop_back();
  request.sources = positional;
  return request;
}

std::wstring SafeRelativeName(const std::wstring& name) {
  std::wstring relative = name;
  for (wchar_t& c : relative)
    if (c == L'/') c = L'\\';
  if (relative.empty() || relative[0] == L'\\') return L"";
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find(L'\\', start);
    if (end == std::wstring::npos) end = relative.size();
    const std::wstring component = relative.substr(start, end - start);
    if (component.empty() || component == L"." || component == L"..") return L"";
    for (wchar_t c : component) {
      if (c < 0x20 || c == L':' || c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' ||
          c == L'*')
        return L"";
    }
    // Windows drops trailing dots and blanks, which could make two names one.
    if (component.back() == L'.' || component.back() == L' ') return L"";
    if (IsDeviceName(component)) return L"";
    start = end + 1;
  }
  return relative;
}

bool WildcardMatch(const std::wstring& pattern, const std::wstring& text) {
  size_t p = 0, t = 0, starP = std::wstring::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == L'*') {
      starP = p++;
      starT = t;
    } else if (p < pattern.size() && (pattern[p] == L'?' || FoldAscii(pattern[p]) == FoldAscii(text[t]))) {
      ++p;
      ++t;
    } else if (starP != std::wstring::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}

bool Selected(const std::wstring& pattern, const std::wstring& entryName) {
  // As on Windows, "*.*" also selects names without a dot.
  if (pattern == L"*.*") return true;
  if (WildcardMatch(pattern, entryName)) return true;
  const size_t slash = entryName.find_last_of(L"\\/");
  return slash != std::wstring::npos && WildcardMatch(pattern, entryName.substr(slash + 1));
}

uint32_t CabinetChecksum(const uint8_t* data, size_t size, uint32_t seed) {
  uint32_t sum = seed;
  size_t i = 0;
  for (; i + 4 <= size; i += 4)
    sum ^= static_cast<uint32_t>(data[i]) | (static_cast<uint32_t>(data[i + 1]) << 8) |
           (static_cast<uint32_t>(data[i + 2]) << 16) | (static_cast<uint32_t>(data[i + 3]) << 24);
  // The last one to three bytes count in reverse order, as the format defines.
  uint32_t tail = 0;
  switch (size - i) {
    case 3: tail |= static_cast<uint32_t>(data[i++]) << 16;  // fall through
    case 2: tail |= static_cast<uint32_t>(data[i++]) << 8;   // fall through
    case 1: tail |= static_cast<uint32_t>(data[i++]); break;
    default: break;
  }
  return sum ^ tail;
}

namespace {

uint32_t Read16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8); }
uint32_t Read32(const uint8_t* p) { return Read16(p) | (Read16(p + 2) << 16); }

}  // namespace

std::wstring CheckCabinet(const uint8_t* data, size_t size) {
  constexpr size_t kHeader = 36;
  if (size < kHeader || data[0] != 'M' || data[1] != 'S' || data[2] != 'C' || data[3] != 'F')
    return L"not a cabinet";
  const uint32_t cabinetSize = Read32(data + 8);
  if (cabinetSize > size) return L"the cabinet is cut short";
  const uint32_t folders = Read16(data + 26);
  const uint32_t flags = Read16(data + 30);
  size_t offset = kHeader;
  uint32_t folderReserve = 0, dataReserve = 0;
  if (flags & 0x0004) {  // reserve fields present
    if (offset + 4 > cabinetSize) return L"damaged header";
    const uint32_t headerReserve = Read16(data + offset);
    folderReserve = data[offset + 2];
    dataReserve = data[offset + 3];
    offset += 4 + headerReserve;
  }
  // Names of the previous and next cabinet of a set: two strings each.
  for (int strings = ((flags & 0x0001) ? 2 : 0) + ((flags & 0x0002) ? 2 : 0); strings > 0; --strings) {
    while (offset < cabinetSize && data[offset] != 0) ++offset;
    if (offset >= cabinetSize) return L"damaged header";
    ++offset;
  }
  for (uint32_t folder = 0; folder < folders; ++folder) {
    if (offset + 8 + folderReserve > cabinetSize) return L"damaged folder table";
    size_t block = Read32(data + offset);
    const uint32_t blocks = Read16(data + offset + 4);
    offset += 8 + folderReserve;
    for (uint32_t b = 0; b < blocks; ++b) {
      if (block + 8 + dataReserve > cabinetSize) return L"the cabinet is cut short";
      const uint32_t recorded = Read32(data + block);
      const uint32_t compressed = Read16(data + block + 4);
      const size_t payload = block + 8 + dataReserve;
      if (payload + compressed > cabinetSize) return L"the cabinet is cut short";
      if (recorded != 0) {
        const uint32_t sum = CabinetChecksum(data + block + 4, 4 + dataReserve,
                                             CabinetChecksum(data + payload, compressed, 0));
        if (sum != recorded)
          return L"damaged data block " + std::to_wstring(b + 1) + L" of folder " + std::to_wstring(folder + 1);
      }
      block = payload + compressed;
    }
  }
  return L"";
}

}  // namespace expandtool
