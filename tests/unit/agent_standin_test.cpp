// The agent stand-in's portable rules: its record format, the manager's and the starter's
// arguments, and the command line the starter gives the manager.
#include <gtest/gtest.h>

#include <algorithm>

#include "agent/core/agent_core.h"

namespace {

using namespace agentstandin;

TEST(AgentRecord, ValuesSurviveTheRoundTripWhateverTheyHold) {
  const Fields fields = {{"command_line", "\"C:\\work dir\\OXManagerLUMO.exe\" -t A=B"},
                         {"reg.NoteSession", "line one\nline two\r\nend\\n"},
                         {"code", ""},
                         {"arg1", "\\\\server\\share\\"}};
  const std::string text = FormatRecord(fields);
  // One line per field, whatever the values hold.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
  const auto record = ParseRecord(text);
  ASSERT_EQ(record.size(), 4u);
  for (const auto& field : fields) EXPECT_EQ(record.at(field.first), field.second) << field.first;
}

TEST(AgentRecord, ReaderToleratesCrLfJunkAndRepeats) {
  const auto record = ParseRecord("a=1\r\nno equals sign\n=orphan\nb=x=y\na=2\nlast=unterminated");
  EXPECT_EQ(record.at("a"), "2") << "a later line replaces an earlier one";
  EXPECT_EQ(record.at("b"), "x=y");
  EXPECT_EQ(record.at("last"), "unterminated");
  EXPECT_EQ(record.count("no equals sign"), 0u);
  EXPECT_EQ(record.count(""), 0u);
}

TEST(AgentArguments, ManagerTakesTheCodeAfterDashT) {
  auto received = ParseManagerArguments({L"-t", L"CODE 7"});
  EXPECT_TRUE(received.hasCode);
  EXPECT_EQ(received.code, L"CODE 7");
  received = ParseManagerArguments({L"/x", L"-t", L"42"});
  EXPECT_TRUE(received.hasCode);
  EXPECT_EQ(received.code, L"42");
  EXPECT_FALSE(ParseManagerArguments({}).hasCode);
  EXPECT_FALSE(ParseManagerArguments({L"-t"}).hasCode) << "a trailing -t carries no code";
  EXPECT_FALSE(ParseManagerArguments({L"-T", L"x"}).hasCode);
}

TEST(AgentArguments, StarterReadsProgramSessionAndCode) {
  auto request = ParseStarterArguments({L"OXManagerLUMO.exe", L"3", L"DEMO42"});
  ASSERT_TRUE(request.ok()) << request.error;
  EXPECT_EQ(request.program, L"OXManagerLUMO.exe");
  EXPECT_EQ(request.session, 3);
  EXPECT_EQ(request.code, L"DEMO42");

  request = ParseStarterArguments({L"OXManagerLUMO.exe", L"-1"});
  ASSERT_TRUE(request.ok());
  EXPECT_EQ(request.session, -1);
  EXPECT_EQ(request.code, L"");

  // A code with blanks that arrived unquoted comes in pieces; a code with a quote or a
  // control character is not handed on.
  EXPECT_EQ(ParseStarterArguments({L"OXManagerLUMO.exe", L"1", L"A", L"B"}).code, L"A B");
  EXPECT_EQ(ParseStarterArguments({L"OXManagerLUMO.exe", L"1", L"a\"b"}).code, L"");
  EXPECT_EQ(ParseStarterArguments({L"OXManagerLUMO.exe", L"1", L"a\nb"}).code, L"");
}

TEST(AgentArguments, StarterRefusesProgramsOutsideItsFolderAndBadSessions) {
  for (const wchar_t* program : {L"..\\evil.exe", L"C:\\Windows\\system32\\cmd.exe", L"sub/x.exe", L"..", L"",
                                 L"c:evil.exe", L"a\"b.exe"})
    EXPECT_FALSE(ParseStarterArguments({program, L"1"}).ok()) << testing::PrintToString(std::wstring(program));
  for (const wchar_t* session : {L"", L"x", L"1x", L"-", L"99999999999"})
    EXPECT_FALSE(ParseStarterArguments({L"OXManagerLUMO.exe", session}).ok())
        << testing::PrintToString(std::wstring(session));
  EXPECT_FALSE(ParseStarterArguments({L"OXManagerLUMO.exe"}).ok());
}

TEST(AgentArguments, ManagerCommandLineQuotesPathAndCodeWithBlanks) {
  EXPECT_EQ(ManagerCommandLine(L"C:\\w f\\OXManagerLUMO.exe", L""), L"\"C:\\w f\\OXManagerLUMO.exe\"");
  EXPECT_EQ(ManagerCommandLine(L"C:\\w\\OXManagerLUMO.exe", L"DEMO42"), L"\"C:\\w\\OXManagerLUMO.exe\" -t DEMO42");
  EXPECT_EQ(ManagerCommandLine(L"C:\\w\\OXManagerLUMO.exe", L"A B"), L"\"C:\\w\\OXManagerLUMO.exe\" -t \"A B\"");
  EXPECT_EQ(ManagerCommandLine(L"m.exe", L"A B\\"), L"\"m.exe\" -t \"A B\\\\\"");
}

}  // namespace
