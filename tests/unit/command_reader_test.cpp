// The command-line models that the command-line fuzz target reads the launcher's lines with,
// held against examples of the documented behaviour: a model that misreads would let a wrong
// line pass.
#include "tests/support/command_reader.h"

#include <gtest/gtest.h>

namespace {

using cmdline::Arguments;
using cmdline::CmdReading;

// The examples of the C runtime's "Parsing C command-line arguments" table and of
// CommandLineToArgvW's reference, each after a program name.
TEST(CommandReader, SplitsArgumentsAsCommandLineToArgvW) {
  struct Case {
    const wchar_t* line;
    std::vector<std::wstring> values;
  } cases[] = {
      {LR"(p "abc" d e)", {L"p", L"abc", L"d", L"e"}},
      {LR"(p a\\b d"e f"g h)", {L"p", LR"(a\\b)", L"de fg", L"h"}},
      {LR"(p a\\\"b c d)", {L"p", LR"(a\"b)", L"c", L"d"}},
      {LR"(p a\\\\"b c" d e)", {L"p", LR"(a\\b c)", L"d", L"e"}},
      {LR"(p "a b\\" c)", {L"p", LR"(a b\)", L"c"}},
      {LR"(p "a b\")", {L"p", LR"(a b")"}},  // the quote never closes: the rest is the argument
      {LR"(p "" x)", {L"p", L"", L"x"}},
      {L"p\ta  b  ", {L"p", L"a", L"b"}},
      // The program name: quotes group, backslashes are plain.
      {LR"("C:\Program Files\x.exe" -t)", {LR"(C:\Program Files\x.exe)", L"-t"}},
      {LR"(C:\a\"b c)", {LR"(C:\a\"b)", L"c"}},
      {L" a b", {L"", L"a", L"b"}},
  };
  for (const Case& c : cases) {
    const Arguments read = cmdline::SplitArguments(c.line);
    EXPECT_TRUE(read.understood) << c.line;
    EXPECT_EQ(read.values, c.values) << c.line;
  }
  // Where the readers part or the rules say nothing.
  for (const wchar_t* line : {LR"(p a"b"" c d)", LR"("p"x a)", L"p a\nb", L"p \"a\rb\""})
    EXPECT_FALSE(cmdline::SplitArguments(line).understood) << line;
}

TEST(CommandReader, ReadsCmdParametersAsDocumented) {
  const cmdline::Environment environment = {{L"OS", L"Windows_NT"}, {L"X", L"a&b"}};
  struct Case {
    const wchar_t* parameters;
    std::vector<std::wstring> commands;
    std::vector<std::wstring> acts;
  } cases[] = {
      // Nothing for cmd to do: the line is handed on as it stands.
      {LR"(/d /v:off /c prog.exe -t "a b" c)", {LR"(prog.exe -t "a b" c)"}, {}},
      // & ends a command, inside quotes it is text, ^ makes it text and goes.
      {L"/v:off /c echo a & echo b", {L"echo a ", L"echo b"}, {L"&"}},
      {L"/v:off /c echo a && echo b || echo c", {L"echo a ", L"echo b ", L"echo c"}, {L"&&", L"||"}},
      {L"/v:off /c echo \"a & b\"", {L"echo \"a & b\""}, {}},
      {L"/v:off /c echo a ^& b", {L"echo a & b"}, {L"^"}},
      {L"/v:off /c echo a ^^ b", {L"echo a ^ b"}, {L"^"}},
      {L"/v:off /c echo ^\"a & b", {L"echo \"a ", L"b"}, {L"^", L"&"}},
      {L"/v:off /c echo a | more", {L"echo a ", L"more"}, {L"|"}},
      {L"/v:off /c echo a > out.txt", {L"echo a "}, {L">"}},
      {L"/v:off /c (echo a)", {L"echo a"}, {L"(", L")"}},
      {L"/v:off /c echo (a)", {L"echo (a)"}, {}},
      // %VAR% is replaced inside quotes too; undefined names and %% stay on the command line.
      {L"/v:off /c echo %OS%", {L"echo Windows_NT"}, {L"%OS%"}},
      {L"/v:off /c echo \"%os%\"", {L"echo \"Windows_NT\""}, {L"%os%"}},
      {L"/v:off /c echo %NOSUCHNAME% 100%% 5%", {L"echo %NOSUCHNAME% 100%% 5%"}, {}},
      // The value of a variable is read as the line: its & ends the command.
      {L"/v:off /c echo %X%", {L"echo a", L"b"}, {L"%X%", L"&"}},
      // Delayed expansion: off only with /v:off, since the user's registry can turn it on.
      {L"/d /v:off /c echo !OS!", {L"echo !OS!"}, {}},
      {L"/d /c echo !OS! \"^x\"", {L"echo Windows_NT \"x\""}, {L"!OS!", L"^"}},
      {L"/v:on /c echo a!NOSUCHNAME!b", {L"echo ab"}, {L"!NOSUCHNAME!"}},
  };
  for (const Case& c : cases) {
    const CmdReading read = cmdline::ReadAsCmd(c.parameters, environment);
    EXPECT_TRUE(read.understood) << c.parameters;
    EXPECT_EQ(read.commands, c.commands) << c.parameters;
    EXPECT_EQ(read.acts, c.acts) << c.parameters;
  }
  // A leading quote (kept or stripped depending on the file system), a caret asking for more,
  // a line feed, substring expansion, an unknown switch, no /c at all.
  for (const wchar_t* parameters : {L"/c \"prog.exe\" a", L"/c echo a^", L"/c echo a\nb", L"/c echo %PATH:~0,3%",
                                    L"/k echo a", L"/d"})
    EXPECT_FALSE(cmdline::ReadAsCmd(parameters, environment).understood) << parameters;
}

TEST(CommandReader, ReadsATaskActionAsTheStarterReceivesIt) {
  const Arguments read = cmdline::ReadTaskAction(LR"*('C:\W 1\\Launcher.exe' OXManagerLUMO.exe 3 "x (1)")*");
  EXPECT_TRUE(read.understood);
  EXPECT_EQ(read.values, (std::vector<std::wstring>{LR"(C:\W 1\\Launcher.exe)", L"OXManagerLUMO.exe", L"3", L"x (1)"}));
  // Every single quote is read as a double quote, also those of the arguments.
  EXPECT_EQ(cmdline::ReadTaskAction(LR"('C:\W\Launcher.exe' OXManagerLUMO.exe 3 x' -y 'z)").values,
            (std::vector<std::wstring>{LR"(C:\W\Launcher.exe)", L"OXManagerLUMO.exe", L"3", L"x -y z"}));
  for (const wchar_t* action : {LR"(C:\W\Launcher.exe x)", LR"('C:\W\Launcher.exe x)", LR"('C:\W'x y)"})
    EXPECT_FALSE(cmdline::ReadTaskAction(action).understood) << action;
}

}  // namespace
