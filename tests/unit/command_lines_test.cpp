#include "launch/core/command_lines.h"

#include <gtest/gtest.h>

namespace {

using namespace lumo;

constexpr const wchar_t* kSystem = L"C:\\Windows\\system32";

// Never a bare "cmd.exe", which would be looked for in the work folder first.
TEST(Interpreter, AlwaysAFullPathNativeThroughSysnativeOnlyForWow64OnVistaOrLater) {
  const wchar_t* windows = L"C:\\Windows";
  const wchar_t* system = L"C:\\Windows\\system32";
  struct Case { bool preVista, wow64; const wchar_t* expected; } cases[] = {
      {false, true, L"C:\\Windows\\sysnative\\cmd.exe"},  // 32-bit launcher, 64-bit Windows
      {false, false, L"C:\\Windows\\system32\\cmd.exe"},  // 64-bit launcher, or 32-bit Windows
      {true, true, L"C:\\Windows\\system32\\cmd.exe"},    // major version 5: no sysnative alias
      {true, false, L"C:\\Windows\\system32\\cmd.exe"},
  };
  for (const Case& c : cases) EXPECT_EQ(InterpreterPath(c.preVista, c.wow64, windows, system), c.expected);
}

// The user's AutoRun command never runs inside the launcher's commands, and their delayed
// expansion never touches a "!" of a code.
TEST(Interpreter, EveryCommandLineStartsWithNoAutoRunNoDelayedExpansion) {
  for (const std::wstring& line :
       {ManagerParameters(L"CODE"), ManagerParameters(L""), ExpandParameters(L"C:\\Windows\\system32"),
        TaskCreateParameters(kSystem, 3), TaskChangeParameters(kSystem, 3, L"W\\", L"CODE"),
        TaskRunParameters(kSystem, 3), TaskDeleteParameters(kSystem, 3), TaskQueryParameters(kSystem, 3),
        TaskDisableParameters(kSystem, 3)})
    EXPECT_EQ(line.rfind(L"/d /v:off /c ", 0), 0u) << line;
}

TEST(BackupName, SessionTwoDigitsThenTheFourVersionWords) {
  const uint32_t ms = (10u << 16) | 20u, ls = (300u << 16) | 4000u;
  EXPECT_EQ(BackupFileName(L"C:\\ProgramData\\Ondrix\\Temp", 0, ms, ls),
            L"C:\\ProgramData\\Ondrix\\Temp\\Lumo0010203004000.exe");
  EXPECT_EQ(BackupFileName(L"T", 1, (3u << 16) | 4u, (5u << 16) | 6u), L"T\\Lumo013456.exe");
  const std::wstring twelve = BackupFileName(L"T", 12, (1u << 16), 0);
  EXPECT_EQ(twelve.substr(0, 8), L"T\\Lumo12");
  EXPECT_EQ(twelve, L"T\\Lumo121000.exe");
  // No version resource: zeros.
  EXPECT_EQ(BackupFileName(L"T", 1, 0, 0), L"T\\Lumo010000.exe");
}

TEST(SessionCode, ManagerGetsDashTAndTheCodeOrNothing) {
  EXPECT_EQ(ManagerParameters(L"DEMO42"), L"/d /v:off /c .\\OXManagerLUMO.exe -t DEMO42");
  EXPECT_EQ(ManagerParameters(L"ABC_C12_K3"), L"/d /v:off /c .\\OXManagerLUMO.exe -t ABC_C12_K3");
  EXPECT_EQ(ManagerParameters(L"O'B"), L"/d /v:off /c .\\OXManagerLUMO.exe -t O'B") << "a quote is nothing to cmd";
  // Without a code the line ends in a blank.
  EXPECT_EQ(ManagerParameters(L""), L"/d /v:off /c .\\OXManagerLUMO.exe ");
}

TEST(SessionCode, BlanksAreQuotedSoTheCodeStaysOneArgument) {
  // A browser's "name (1).exe" copy yields a code with a blank.
  EXPECT_EQ(ManagerParameters(L"DEMO42 (1)"), L"/d /v:off /c .\\OXManagerLUMO.exe -t \"DEMO42 (1)\"");
  EXPECT_EQ(QuotedSessionCode(L"two words"), L"\"two words\"");
  EXPECT_EQ(QuotedSessionCode(L"a\tb"), L"") << "a tab is a control character";
}

// Read back as the manager and the task's starter read them (CommandLineToArgvW), these
// codes come out as they went in: backslashes before a closing quote are doubled.
TEST(SessionCode, BackslashesBeforeAClosingQuoteStayBackslashes) {
  struct Case {
    const wchar_t* code;
    const wchar_t* manager;
    const wchar_t* action;  // the /tr value
  } cases[] = {
      {LR"(two words\)", LR"(-t "two words\\")", LR"("'W\\Launcher.exe' OXManagerLUMO.exe 3 \"two words\\\\\"")"},
      {LR"(a\)", LR"(-t a\)", LR"("'W\\Launcher.exe' OXManagerLUMO.exe 3 a\\")"},
      {LR"(a\\b c)", LR"(-t "a\\b c")", LR"("'W\\Launcher.exe' OXManagerLUMO.exe 3 \"a\\b c\"")"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ManagerParameters(c.code), std::wstring(L"/d /v:off /c .\\OXManagerLUMO.exe ") + c.manager) << c.code;
    EXPECT_EQ(TaskChangeParameters(kSystem, 3, L"W\\", c.code),
              std::wstring(L"/d /v:off /c C:\\Windows\\system32\\schtasks.exe /change /tn ALUMO3 /ru \"system\" /tr ") +
                  c.action)
        << c.code;
  }
}

TEST(SessionCode, CharactersTheInterpreterActsOnDropTheCode) {
  for (const wchar_t* code : {L"x&calc", L"a|b", L"a<b", L"a>b", L"a^b", L"100%", L"%PATH%",
                              L"a\"b", L"a\nb", L"a\rb", L"\x01"}) {
    EXPECT_TRUE(IsUnsafeSessionCode(code)) << code;
    EXPECT_EQ(ManagerParameters(code), L"/d /v:off /c .\\OXManagerLUMO.exe ") << code;
  }
  // Parentheses, blanks, dots, hyphens and non-ASCII letters are harmless inside quotes.
  // "!" too: delayed expansion is off whatever the user's registry says.
  for (const wchar_t* code : {L"A-b.c_(1)", L"code with blanks", L"\u00e9t\u00e9", L"!x", L"!OS!"}) {
    EXPECT_FALSE(IsUnsafeSessionCode(code)) << code;
  }
}

TEST(Expand, EveryCabinetOfTheCurrentFolderIntoIt) {
  EXPECT_EQ(ExpandParameters(L"C:\\windows\\system32"),
            L"/d /v:off /c C:\\windows\\system32\\expand.exe *.cab /f:* .\\");
}

// Each by the system folder's schtasks.exe, never a bare "schtasks" that PATH and PATHEXT
// would find.
TEST(TaskLines, TheFourSchtasksCommandsForSession3) {
  const std::wstring schtasks = L"/d /v:off /c C:\\Windows\\system32\\schtasks.exe ";
  EXPECT_EQ(TaskCreateParameters(kSystem, 3), schtasks + L"/create /xml ALUMO.xml /ru \"system\" /tn ALUMO3");
  EXPECT_EQ(TaskChangeParameters(kSystem, 3, L"C:\\T\\unpacklumo\\3\\", L"CODE1"),
            schtasks + L"/change /tn ALUMO3 /ru \"system\" /tr \"'C:\\T\\unpacklumo\\3\\\\Launcher.exe' "
                       L"OXManagerLUMO.exe 3 CODE1\"");
  EXPECT_EQ(TaskRunParameters(kSystem, 3), schtasks + L"/run /tn ALUMO3");
  EXPECT_EQ(TaskDeleteParameters(kSystem, 3), schtasks + L"/delete /f /tn ALUMO3");
  EXPECT_EQ(TaskRunParameters(kSystem, -1), schtasks + L"/run /tn ALUMO-1");
  // Whether a task stands, and a task that cannot be deleted kept from starting.
  EXPECT_EQ(TaskQueryParameters(kSystem, 3), schtasks + L"/query /tn ALUMO3");
  EXPECT_EQ(TaskDisableParameters(kSystem, 3), schtasks + L"/change /tn ALUMO3 /disable");
}

// What the launcher holds against schtasks' limit: the action as schtasks reads it (quoting
// undone), counted in UTF-16 units.
TEST(TaskLines, TheActionIsMeasuredAsSchtasksReadsIt) {
  EXPECT_EQ(TaskAction(L"C:\\W\\", 3, L"a b"), L"'C:\\W\\\\Launcher.exe' OXManagerLUMO.exe 3 \"a b\"");
  EXPECT_EQ(TaskAction(L"C:\\W\\", 3, L"a&b"), L"'C:\\W\\\\Launcher.exe' OXManagerLUMO.exe 3 ");
  EXPECT_EQ(TaskAction(L"C:\\W\\", 3, L"x' -y 'z"), L"'C:\\W\\\\Launcher.exe' OXManagerLUMO.exe 3 ")
      << "schtasks would read the quotes as double quotes";
  EXPECT_EQ(Utf16Length(L"a\u00e9"), 2u);
  EXPECT_EQ(Utf16Length(std::wstring(L"a") + static_cast<wchar_t>(0xD83D) + static_cast<wchar_t>(0xDE00)), 3u);
  if (sizeof(wchar_t) == 4) {
    EXPECT_EQ(Utf16Length(std::wstring(1, static_cast<wchar_t>(0x1F600))), 2u);
  }
}

TEST(TaskLines, ActionWithoutCodeEndsInABlankAndUnsafeCodesAreDropped) {
  const std::wstring change =
      L"/d /v:off /c C:\\Windows\\system32\\schtasks.exe /change /tn ALUMO3 /ru \"system\" /tr ";
  EXPECT_EQ(TaskChangeParameters(kSystem, 3, L"W\\", L""), change + L"\"'W\\\\Launcher.exe' OXManagerLUMO.exe 3 \"");
  EXPECT_EQ(TaskChangeParameters(kSystem, 3, L"W\\", L"a&b"), change + L"\"'W\\\\Launcher.exe' OXManagerLUMO.exe 3 \"");
  EXPECT_EQ(TaskChangeParameters(kSystem, 3, L"W\\", L"x (1)"),
            change + L"\"'W\\\\Launcher.exe' OXManagerLUMO.exe 3 \\\"x (1)\\\"\"");
}

TEST(TaskLines, AWorkFolderWithAQuoteOrPercentCannotStandInTheAction) {
  const struct {
    const wchar_t* folder;
    bool canName;
  } cases[] = {
      {L"C:\\Users\\Ann Lee\\AppData\\Local\\Temp\\", true},
      {L"C:\\Users\\R&D (^1)\\AppData\\Local\\Temp\\", true},  // inside the quotes of /tr
      {L"C:\\Users\\O'Brien\\AppData\\Local\\Temp\\", false},
      {L"C:\\Users\\100%Real%\\AppData\\Local\\Temp\\", false},
  };
  for (const auto& c : cases) EXPECT_EQ(TaskActionCanName(c.folder), c.canName) << c.folder;
}

}  // namespace
