// The kit's summary without a system call: GoogleTest's XML results read with a small,
// tolerant reader of that one format, the release checks' table the kit carries
// (checks.txt, made from docs/RELEASE-CHECKS.md when the kit is built), and the line each
// check gets. Text is UTF-8 throughout.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kit {

// One test as one program ran it.
struct TestResult {
  std::string name;     // Suite.Test (with "/param" for a parameterised one)
  std::string program;  // the results file it came from, without ".xml"
  bool failed = false;
  bool skipped = false;
  std::string message;  // the first failure, or the reason given for the skip
  std::map<std::string, std::string> properties;  // RecordProperty's keys and values
  std::string Class() const;                       // "both", "wine-only" or "windows-only"
  std::vector<std::string> Checks() const;         // the release checks it answers
};

// Every <testcase> of one GoogleTest XML document; what the reader does not know it passes over.
std::vector<TestResult> ReadGoogleTestXml(const std::string& xml, const std::string& program);

// One numbered section of docs/RELEASE-CHECKS.md, as checks.txt carries it:
// "N<TAB>title<TAB>whole|part|none<TAB>what stays by hand<TAB>standard" (the last field names
// a check that also has a part run in the second, standard account).
struct ReleaseCheck {
  std::string number, title, coverage, byHand;
  bool standardUser = false;
};
std::vector<ReleaseCheck> ReadChecks(const std::string& text);

// Where the results came from.
struct RunContext {
  bool wine = false;                // the tests ran under Wine: no check is answered
  bool standardUserRan = false;     // a results file of the second account is there
  std::string standardUserReason;   // why not, when it is not
};

// "passed", "passed (by hand: ...)", "failed: ...", "not applicable here: ..." or "by hand",
// with the notes the tests recorded for the check; a passed check names the tests of it that
// were not applicable here.
std::string CheckLine(const ReleaseCheck& check, const std::vector<TestResult>& tests, const RunContext& context);

// The counts per class, the failures, and the closing line "N passed, N failed".
std::vector<std::string> ClosingLines(const std::vector<TestResult>& tests, bool wine);

}  // namespace kit
