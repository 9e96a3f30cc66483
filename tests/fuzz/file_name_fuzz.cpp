// The launcher's own file name, which a web page or a browser chooses, becomes the session
// code, and the code goes into the command lines the interpreter runs. For any module path:
//  - the code from the file name holds no backslash;
//  - the manager's line, read as cmd /c and then the manager read it, gives exactly
//    OXManagerLUMO.exe, -t and the code, or OXManagerLUMO.exe alone when the code was dropped;
//  - the schtasks line, read as cmd /c and schtasks read it (every single quote of /tr a double
//    quote), gives an action that the task's starter reads as its own path, OXManagerLUMO.exe,
//    the session id and the code (or no code);
//  - cmd acts on nothing in either line (no operator, caret, block or expansion) and no '%'
//    reaches it;
//  - a code of letters, digits, blanks, "-_.()" and non-ASCII text is never dropped.
// The same holds for the input taken as a code itself, as "/T" or the settings file give one.
#include "launch/core/command_lines.h"
#include "app/core/arguments.h"
#include "tests/fuzz/harness.h"
#include "tests/support/command_reader.h"

namespace {

// The work folder of a user whose name holds a blank.
const std::wstring kWorkFolder = L"C:\\Users\\Jo Smith\\AppData\\Local\\Temp\\unpacklumo\\1\\";
const std::wstring kSystemFolder = L"C:\\Windows\\system32";

const cmdline::Environment& Environment() {
  static const cmdline::Environment environment = {
      {L"OS", L"Windows_NT"}, {L"TEMP", L"C:\\Temp"}, {L"A", L"&calc"}, {L"USERNAME", L"Jo Smith"}};
  return environment;
}

// cmd reads the parameters, hands on exactly one command and does nothing else to it.
std::wstring ReadAsCmd(const std::wstring& parameters) {
  REQUIRE(parameters.find(L'%') == std::wstring::npos);
  const cmdline::CmdReading reading = cmdline::ReadAsCmd(parameters, Environment());
  REQUIRE(reading.understood);
  REQUIRE(reading.acts.empty());
  REQUIRE(reading.commands.size() == 1);
  return reading.commands[0];
}

bool Plain(const std::wstring& code) {
  if (code.empty()) return false;
  for (wchar_t c : code) {
    const bool ascii = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
                       std::wstring(L" -_.()").find(c) != std::wstring::npos;
    if (!ascii && c < 0xA0) return false;
  }
  return true;
}

void CheckCommandLines(const std::wstring& code, long session) {
  fuzz::Note("code", code);
  const std::wstring id = std::to_wstring(session);

  const cmdline::Arguments manager = cmdline::SplitArguments(ReadAsCmd(lumo::ManagerParameters(code)));
  REQUIRE(manager.understood);
  const bool passed = manager.values.size() == 3;
  REQUIRE(passed || manager.values == std::vector<std::wstring>{L".\\OXManagerLUMO.exe"});
  if (passed) REQUIRE((manager.values == std::vector<std::wstring>{L".\\OXManagerLUMO.exe", L"-t", code}));
  if (Plain(code)) REQUIRE(passed);

  const cmdline::Arguments schtasks =
      cmdline::SplitArguments(ReadAsCmd(lumo::TaskChangeParameters(kSystemFolder, session, kWorkFolder, code)));
  REQUIRE(schtasks.understood);
  REQUIRE(schtasks.values.size() == 8);
  REQUIRE((std::vector<std::wstring>(schtasks.values.begin(), schtasks.values.begin() + 7) ==
           std::vector<std::wstring>{kSystemFolder + L"\\schtasks.exe", L"/change", L"/tn", L"ALUMO" + id, L"/ru", L"system", L"/tr"}));
  // The action the launcher measures against schtasks' limit is the /tr value as schtasks reads it.
  REQUIRE(schtasks.values[7] == lumo::TaskAction(kWorkFolder, session, code));
  const cmdline::Arguments starter = cmdline::ReadTaskAction(schtasks.values[7]);
  REQUIRE(starter.understood);
  std::vector<std::wstring> expected = {kWorkFolder + L"\\Launcher.exe", L"OXManagerLUMO.exe", id};
  const bool carried = starter.values.size() == 4;
  if (carried) expected.push_back(code);
  REQUIRE(starter.values == expected);
  if (Plain(code)) REQUIRE(carried);
}

}  // namespace

void fuzz::Check(Input& input) {
  const long session = input.Number<int32_t>();
  const std::wstring path = input.Text();
  fuzz::Note("path", path);
  std::wstring code = L"UNCHANGED";
  if (lumo::CodeFromFileName(path, code)) {
    REQUIRE(code.find(L'\\') == std::wstring::npos);
    CheckCommandLines(code, session);
  }
  CheckCommandLines(path, session);
}

std::vector<fuzz::Bytes> fuzz::Seeds() {
  std::vector<Bytes> seeds;
  for (const wchar_t* path :
       {L"C:\\Users\\u\\Downloads\\LUMO-AB12CD.exe", L"C:\\dl\\lumo-x-AB12.EXE", L"C:\\dl\\LUMO-AB12_2.exe",
        L"C:\\dl\\LUMO-AB12 (1).exe", L"C:\\dl\\LUMO-A_B_C.exe", L"C:\\dl\\LUMO-AB12.Exe", L"C:\\my-downloads\\LUMO.exe",
        L"C:\\dl\\LUMO-.exe", L"C:\\dl\\LUMO-x&calc.exe", L"C:\\dl\\LUMO-%PATH%.exe", L"C:\\dl\\LUMO-a^b.exe",
        L"C:\\dl\\LUMO-\u00e9t\u00e9 \U0001F600.exe", L"C:\\dl\\LUMO-!OS!.exe", L"two words\\", L"DEMO42", L"x' -y 'z"}) {
    seeds.push_back(Output().Number<int32_t>(1).Text(path).Take());
  }
  seeds.push_back(Output().Number<int32_t>(-1).Text(L"C:\\dl\\LUMO-\xD800x.exe").Take());
  return seeds;
}
