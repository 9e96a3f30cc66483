// A log line around any message text (paths and names the launcher logs may hold anything
// NTFS allows, lone surrogates included, and the instruction text comes from the command line):
//  - the message is the text whole up to 1022 characters, and otherwise its first 1022, or
//    1021 when the 1022nd would part a surrogate pair that the text held whole; every other
//    unit, a lone surrogate too, stays as it is;
//  - the line is "[pid]time  message (Last=error)" with the message on one line: the record
//    added to the file is that line's UTF-16 LE units and one CR LF, the only line break in it.
#include "util/core/log_format.h"

#include "tests/fuzz/harness.h"

namespace {

bool IsHigh(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

void fuzz::Check(Input& input) {
  // The text is put after a run of 'a' so that its start can sit anywhere near the cut.
  const std::size_t padding = input.Number<uint16_t>() % 1100;
  const unsigned long pid = input.Number<uint32_t>();
  const long error = input.Number<int32_t>();
  const std::wstring text = std::wstring(padding, L'a') + input.Text();
  fuzz::Note("text", text.substr(padding > 8 ? padding - 8 : 0));

  const std::wstring message = lumo::FormatLogMessage(L"%ls", text.c_str());
  std::size_t kept = text.size();
  if (kept > lumo::kMaxLogMessage) {
    kept = lumo::kMaxLogMessage;
    if (IsHigh(text[kept - 1]) && IsLow(text[kept])) --kept;
  }
  REQUIRE(message == text.substr(0, kept));

  const std::wstring line = lumo::FormatLogLine(pid, L"2024-07-24 07:33:07", message, error);
  const std::wstring head = L"[" + std::to_wstring(pid) + L"]2024-07-24 07:33:07  ";
  const std::wstring tail = L" (Last=" + std::to_wstring(error) + L")";
  REQUIRE(line.size() == head.size() + message.size() + tail.size());
  REQUIRE(line.compare(0, head.size(), head) == 0);
  REQUIRE(line.compare(line.size() - tail.size(), tail.size(), tail) == 0);
  for (std::size_t i = 0; i < message.size(); ++i) {
    const wchar_t c = line[head.size() + i];
    REQUIRE(c == message[i] || ((message[i] == L'\r' || message[i] == L'\n') && c == L' '));
  }

  const std::string record = lumo::LogFileRecord(line);
  REQUIRE(record.size() == 2 * line.size() + 4);
  for (std::size_t i = 0; i < line.size(); ++i) {
    const wchar_t unit = static_cast<wchar_t>(static_cast<uint8_t>(record[2 * i]) | static_cast<uint8_t>(record[2 * i + 1]) << 8);
    REQUIRE(unit == line[i]);
    REQUIRE(unit != L'\r' && unit != L'\n');
  }
  REQUIRE(record.compare(record.size() - 4, 4, std::string("\r\0\n\0", 4)) == 0);
}

std::vector<fuzz::Bytes> fuzz::Seeds() {
  struct Seed {
    uint16_t padding;
    const wchar_t* text;
  } table[] = {
      {0, L"[CUnPackFileApp::InitInstance] LUMO skip without unpacking files"},
      {0, L"[S] Name:C:\\100%s\\%d%n.exe"},
      {1021, L"\xD83D\xDE00 after the cut"},   // a pair across the cut
      {1020, L"\xD83D\xDE00"},                 // a pair that fits
      {1021, L"\xD800x"},                      // a lone high surrogate at the cut
      {1022, L"\xDC00"},                       // a lone low surrogate after it
      {0, L"[CUnPackFileApp::HandleInstruction] LUMO Instruction NOTE=a\r\n[1]2024-01-01 00:00:00  forged"},
      {0, L"C:\\Users\\x\\\xDBFF\xDFFF\xD800.txt"},
  };
  std::vector<Bytes> seeds;
  for (const Seed& s : table) seeds.push_back(Output().Number(s.padding).Number<uint32_t>(4242).Number<int32_t>(-1).Text(s.text).Take());
  return seeds;
}
