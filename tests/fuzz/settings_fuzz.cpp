// The initial settings file, through any answers of the profile reader and from any record
// it starts from:
//  - the record and the keys read are exactly those of a transcription of the documented
//    rules, whose numbers are read at any length and saturate at the 32-bit limits (_wtoi's
//    way), so a huge, negative or odd number never turns into another one;
//  - so the documented defaults hold: a field whose key is missing, empty or not read keeps
//    its value;
//  - no value longer than the reader's 255 characters gets through.
#include "settings/core/init_rules.h"

#include <climits>
#include <cwctype>
#include <map>
#include <set>

#include "settings/core/decimal.h"
#include "tests/fuzz/harness.h"

namespace {

using lumo::InitSettings;

const wchar_t* const kKeys[] = {L"lumo_token", L"token_category", L"card_code", L"gateway_mode", L"token_mode", L"token_kind"};

// Leading white space, a sign, digits up to the first non-digit; at any length, then held to
// the int range.
int32_t Number(const std::wstring& text) {
  std::size_t i = 0;
  while (i < text.size() && std::iswspace(static_cast<std::wint_t>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) negative = text[i++] == L'-';
  while (i < text.size() && text[i] == L'0') ++i;
  std::wstring digits;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) digits += text[i];
  if (digits.size() > 10) return negative ? INT_MIN : INT_MAX;
  const long long magnitude = digits.empty() ? 0 : std::stoll(std::string(digits.begin(), digits.end()));
  const long long value = negative ? -magnitude : magnitude;
  return static_cast<int32_t>(value < INT_MIN ? INT_MIN : value > INT_MAX ? INT_MAX : value);
}

struct Section {
  std::map<std::wstring, std::wstring> answers;
  std::set<std::wstring> asked;
  std::wstring Read(const wchar_t* key) {
    asked.insert(key);
    const std::wstring value = answers[key];
    return value.size() > 255 ? value.substr(0, 255) : value;
  }
};

// The documented reading, step by step.
InitSettings Transcription(InitSettings record, Section& file) {
  std::wstring buffer = file.Read(L"lumo_token");
  if (buffer.empty()) {
    buffer = file.Read(L"token_category");
    if (!buffer.empty()) {
      const int32_t category = Number(buffer);
      buffer.clear();
      if (category == 38) buffer = file.Read(L"card_code");
    }
  }
  record.token = buffer;
  if (record.token.empty()) {
    const std::wstring gateway = file.Read(L"gateway_mode");
    if (!gateway.empty() && gateway.find_first_not_of(L"01") == std::wstring::npos)
      record.gatewayMode = gateway.find(L'1') != std::wstring::npos;
  } else {
    bool forced = false;
    const std::wstring category = file.Read(L"token_category");
    if (!category.empty()) {
      record.tokenCategory = Number(category);
      forced = record.tokenCategory == 37 || record.tokenCategory == 40 || record.tokenCategory == 43;
    }
    const std::wstring mode = file.Read(L"token_mode");
    if (!mode.empty()) record.tokenMode = forced ? 4 : Number(mode);
    const std::wstring kind = file.Read(L"token_kind");
    if (!kind.empty()) record.tokenKind = Number(kind);
  }
  if (record.tokenCategory == 38) {
    record.token = file.Read(L"card_code");
    record.tokenKind = 2;
  }
  return record;
}

bool Same(const InitSettings& a, const InitSettings& b) {
  return a.token == b.token && a.tokenCategory == b.tokenCategory && a.tokenMode == b.tokenMode &&
         a.tokenKind == b.tokenKind && a.gatewayMode == b.gatewayMode;
}

}  // namespace

void fuzz::Check(Input& input) {
  InitSettings start;
  start.tokenCategory = input.Number<int32_t>();
  start.tokenMode = input.Number<int32_t>();
  start.tokenKind = input.Number<int32_t>();
  start.gatewayMode = input.Byte() & 1;
  Section section;
  for (const wchar_t* key : kKeys) {
    section.answers[key] = input.Text();
    fuzz::Note("answer", section.answers[key]);
  }

  Section ours = section;
  InitSettings record = start;
  lumo::ApplyInitSettings(record, [&ours](const wchar_t* key) {
    ours.asked.insert(key);
    return ours.answers[key];
  });
  const InitSettings expected = Transcription(start, section);
  REQUIRE(Same(record, expected));
  REQUIRE(ours.asked == section.asked);
  REQUIRE(record.token.size() <= 255);

  // The conversion alone, on every answer.
  for (const auto& answer : section.answers) REQUIRE(lumo::ParseDecimal(answer.second) == Number(answer.second));
}

std::vector<fuzz::Bytes> fuzz::Seeds() {
  const std::vector<std::map<std::wstring, std::wstring>> files = {
      {{L"lumo_token", L"ABC123"}, {L"token_category", L"12"}, {L"token_mode", L"5"}, {L"token_kind", L"3"}, {L"gateway_mode", L"1"}},
      {{L"token_mode", L"7"}},
      {{L"token_category", L"38"}, {L"card_code", L"CARD9"}, {L"token_mode", L"6"}, {L"token_kind", L"9"}},
      {{L"lumo_token", L"TOK"}, {L"token_category", L"38"}, {L"token_kind", L"5"}},
      {{L"token_category", L"38"}, {L"gateway_mode", L"1"}, {L"token_kind", L"5"}},
      {{L"lumo_token", L"T"}, {L"token_category", L"40"}, {L"token_mode", L"7"}},
      {{L"lumo_token", L"T"}, {L"token_category", L"abc"}, {L"token_kind", L"3x"}},
      {{L"gateway_mode", L"10"}},
      {{L"gateway_mode", L"-1"}},
      {{L"lumo_token", std::wstring(300, L'k')}},
      {{L"lumo_token", L"T"}, {L"token_category", L"4294967334"}, {L"token_mode", L"-2147483649"}, {L"token_kind", L" +0038"}},
  };
  std::vector<Bytes> seeds;
  for (const auto& file : files) {
    Output out;
    out.Number<int32_t>(0).Number<int32_t>(0).Number<int32_t>(0).Byte(0);
    for (const wchar_t* key : kKeys) {
      const auto it = file.find(key);
      out.Text(it == file.end() ? std::wstring() : it->second);
    }
    seeds.push_back(out.Take());
  }
  return seeds;
}
