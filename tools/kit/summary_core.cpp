#include "summary_core.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace kit {
namespace {

// The text of `raw` with XML's entities replaced ("&lt;", "&#x0A;", ...); an unknown one is
// kept as written.
std::string Unescape(const std::string& raw) {
  static const std::map<std::string, std::string> named = {
      {"lt", "<"}, {"gt", ">"}, {"amp", "&"}, {"quot", "\""}, {"apos", "'"}};
  std::string text;
  for (size_t at = 0; at < raw.size(); ++at) {
    const size_t end = raw[at] == '&' ? raw.find(';', at) : std::string::npos;
    if (end == std::string::npos || end - at > 10) {
      text += raw[at];
      continue;
    }
    const std::string entity = raw.substr(at + 1, end - at - 1);
    if (named.count(entity) != 0) {
      text += named.at(entity);
    } else if (entity.size() > 1 && entity[0] == '#') {
      const bool hex = entity[1] == 'x' || entity[1] == 'X';
      const unsigned long code = std::strtoul(entity.c_str() + (hex ? 2 : 1), nullptr, hex ? 16 : 10);
      if (code < 0x80) {
        text += static_cast<char>(code);
      } else if (code < 0x800) {
        text += static_cast<char>(0xC0 | (code >> 6));
        text += static_cast<char>(0x80 | (code & 0x3F));
      } else if (code < 0x10000) {
        text += static_cast<char>(0xE0 | ((code >> 12) & 0x0F));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
      } else {  // beyond the Basic Multilingual Plane: four bytes
        text += static_cast<char>(0xF0 | ((code >> 18) & 0x07));
        text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
      }
    } else {
      text += raw.substr(at, end - at + 1);
    }
    at = end;
  }
  return text;
}

// One element's tag as written between "<" and ">".
struct Tag {
  std::string name;
  bool closing = false, empty = false;
  std::map<std::string, std::string> attributes;
};

Tag ParseTag(const std::string& inside) {
  Tag tag;
  size_t at = 0;
  if (!inside.empty() && inside[0] == '/') {
    tag.closing = true;
    at = 1;
  }
  tag.empty = !inside.empty() && inside.back() == '/';
  const size_t nameEnd = inside.find_first_of(" \t\r\n/", at);
  tag.name = inside.substr(at, nameEnd == std::string::npos ? std::string::npos : nameEnd - at);
  at = nameEnd;
  while (at != std::string::npos && at < inside.size()) {
    const size_t equals = inside.find('=', at);
    if (equals == std::string::npos) break;
    const size_t open = inside.find_first_of("\"'", equals);
    if (open == std::string::npos) break;
    const size_t close = inside.find(inside[open], open + 1);
    if (close == std::string::npos) break;
    const size_t keyStart = inside.find_first_not_of(" \t\r\n", at);
    std::string key = inside.substr(keyStart, equals - keyStart);
    key.erase(key.find_last_not_of(" \t\r\n") + 1);
    tag.attributes[key] = Unescape(inside.substr(open + 1, close - open - 1));
    at = close + 1;
  }
  return tag;
}

// GoogleTest writes a failure's or skip's message as "file:line\n" and the text.
std::string WithoutLocation(const std::string& message) {
  const size_t newline = message.find('\n');
  return newline == std::string::npos ? message : message.substr(newline + 1);
}

std::string FirstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  for (size_t at = 0; !text.empty();) {
    const size_t next = text.find(separator, at);
    parts.push_back(text.substr(at, next == std::string::npos ? std::string::npos : next - at));
    if (next == std::string::npos) break;
    at = next + separator.size();
  }
  return parts;
}

std::string Join(const std::vector<std::string>& parts, const std::string& separator) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : separator) + part;
  return text;
}

std::string Count(size_t n, const std::string& thing) { return std::to_string(n) + " " + thing + (n == 1 ? "" : "s"); }

bool StartsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// The Windows-only assertions of `check` a test stood for under Wine: its blocks recorded as
// skipped, or the whole test when it is of that class.
size_t WindowsOnlyParts(const TestResult& test, const std::string& check) {
  if (test.Class() == "windows-only") return 1;
  const auto skipped = test.properties.find("windows_skipped");
  if (skipped == test.properties.end()) return 0;
  size_t count = 0;
  for (const std::string& item : Split(skipped->second, "; ")) {
    const std::vector<std::string> checks = Split(item.substr(0, item.find(':')), ",");
    count += std::count(checks.begin(), checks.end(), check);
  }
  return count;
}

}  // namespace

std::string TestResult::Class() const {
  const auto found = properties.find("class");
  return found == properties.end() ? "both" : found->second;
}

std::vector<std::string> TestResult::Checks() const {
  const auto found = properties.find("release_check");
  return found == properties.end() ? std::vector<std::string>() : Split(found->second, ",");
}

std::vector<TestResult> ReadGoogleTestXml(const std::string& xml, const std::string& program) {
  std::vector<TestResult> tests;
  TestResult* open = nullptr;
  for (size_t at = xml.find('<'); at != std::string::npos; at = xml.find('<', at)) {
    if (xml.compare(at, 9, "<![CDATA[") == 0) {  // a failure's detail: passed over whole
      const size_t end = xml.find("]]>", at);
      at = end == std::string::npos ? std::string::npos : end + 3;
      if (at == std::string::npos) break;
      continue;
    }
    const size_t end = xml.find('>', at);
    if (end == std::string::npos) break;
    Tag tag = ParseTag(xml.substr(at + 1, end - at - 1));
    at = end + 1;
    if (tag.name == "testcase" && !tag.closing) {
      TestResult test;
      const auto suite = tag.attributes.find("classname"), name = tag.attributes.find("name");
      test.name = (suite != tag.attributes.end() ? suite->second + "." : "") +
                  (name != tag.attributes.end() ? name->second : "?");
      test.program = program;
      const auto result = tag.attributes.find("result");
      test.skipped = result != tag.attributes.end() && result->second == "skipped";
      if (result != tag.attributes.end() && result->second == "suppressed") continue;  // filtered out
      tests.push_back(test);
      open = tag.empty ? nullptr : &tests.back();
    } else if (tag.name == "testcase") {
      open = nullptr;
    } else if (open != nullptr && tag.name == "failure" && !tag.closing) {
      if (!open->failed) open->message = FirstLine(WithoutLocation(tag.attributes["message"]));
      open->failed = true;
    } else if (open != nullptr && tag.name == "skipped" && !tag.closing) {
      if (!open->failed) open->message = FirstLine(WithoutLocation(tag.attributes["message"]));
      open->skipped = true;
    } else if (open != nullptr && tag.name == "property") {
      open->properties[tag.attributes["name"]] = tag.attributes["value"];
    }
  }
  return tests;
}

std::vector<ReleaseCheck> ReadChecks(const std::string& text) {
  std::vector<ReleaseCheck> checks;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> fields = Split(line, "\t");
    if (fields.size() < 3 || fields[0].empty()) continue;
    ReleaseCheck check;
    check.number = fields[0];
    check.title = fields[1];
    check.coverage = fields[2];
    if (fields.size() > 3) check.byHand = fields[3];
    check.standardUser = fields.size() > 4 && fields[4] == "standard";
    checks.push_back(check);
  }
  return checks;
}

std::string CheckLine(const ReleaseCheck& check, const std::vector<TestResult>& tests, const RunContext& context) {
  std::vector<const TestResult*> mine;
  for (const TestResult& test : tests) {
    const std::vector<std::string> checks = test.Checks();
    if (std::find(checks.begin(), checks.end(), check.number) != checks.end()) mine.push_back(&test);
  }
  std::vector<std::string> byHand, notApplicable, notes;
  size_t ran = 0, windowsOnly = 0;
  for (const TestResult* test : mine) {
    if (test->failed) return "failed: " + test->name + " (" + test->program + "): " + test->message;
    windowsOnly += WindowsOnlyParts(*test, check.number);
    if (!test->skipped) ++ran;
    if (test->skipped && StartsWith(test->message, "not applicable here: "))
      notApplicable.push_back(test->message.substr(21));
    if (test->skipped && StartsWith(test->message, "by hand: ")) byHand.push_back(test->message.substr(9));
    const auto note = test->properties.find("release_note");
    if (note != test->properties.end())
      for (const std::string& item : Split(note->second, "; "))
        if (std::find(notes.begin(), notes.end(), item) == notes.end()) notes.push_back(item);
  }
  std::string line;
  if (check.coverage == "none" || mine.empty()) {
    line = "by hand";
  } else if (context.wine) {
    line = "not applicable here: Wine (" + Count(windowsOnly, "Windows-only assertion") + " skipped, " +
           Count(ran, "test") + " standing in passed)";
  } else if (ran == 0) {
    line = !notApplicable.empty() ? "not applicable here: " + Join(notApplicable, "; ")
           : !byHand.empty()      ? "by hand: " + Join(byHand, "; ")
                                  : "by hand";
  } else {
    if (check.coverage == "part" && !check.byHand.empty()) byHand.insert(byHand.begin(), check.byHand);
    if (check.standardUser && !context.standardUserRan)
      byHand.push_back("the standard user's part (" + context.standardUserReason + ")");
    line = byHand.empty() ? "passed" : "passed (by hand: " + Join(byHand, "; ") + ")";
    // A test this machine could not answer is named, though others of the check ran.
    if (!notApplicable.empty()) line += "; not applicable here: " + Join(notApplicable, "; ");
  }
  if (!notes.empty() && !context.wine) line += "; noted: " + Join(notes, "; ");
  return line;
}

std::vector<std::string> ClosingLines(const std::vector<TestResult>& tests, bool wine) {
  struct Counts {
    size_t passed = 0, failed = 0, skipped = 0;
  };
  std::map<std::string, Counts> classes;
  Counts all;
  std::vector<std::string> lines;
  for (const TestResult& test : tests) {
    Counts& counts = classes[test.Class()];
    for (Counts* c : {&counts, &all}) (test.failed ? c->failed : test.skipped ? c->skipped : c->passed) += 1;
    if (test.failed) lines.push_back("  " + test.name + " (" + test.program + "): " + test.message);
  }
  if (!lines.empty()) lines.insert(lines.begin(), "Failures:");
  const auto describe = [](const Counts& c) {
    return std::to_string(c.passed + c.failed + c.skipped) + " (" + std::to_string(c.passed) + " passed, " +
           std::to_string(c.failed) + " failed, " + std::to_string(c.skipped) + " skipped)";
  };
  lines.insert(lines.begin(),
               "Tests by class: runs on both " + describe(classes["both"]) + "; Wine-only " +
                   describe(classes["wine-only"]) + (wine ? "" : ", skipped here") + "; Windows-only " +
                   describe(classes["windows-only"]) + (wine ? ", skipped here" : ""));
  lines.push_back(std::to_string(all.passed) + " passed, " + std::to_string(all.failed) + " failed");
  return lines;
}

}  // namespace kit
