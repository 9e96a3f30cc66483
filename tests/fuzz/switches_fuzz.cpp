// The second pass over the command line, on any argument vector and any code and
// instruction it starts from, gives exactly what a step-by-step transcription of the
// documented pass gives: the same code, instruction and actions in the same order. The value
// after /T or /I is taken whatever it is, even a switch.
#include "app/core/arguments.h"

#include <cwchar>

#include "tests/fuzz/harness.h"

namespace {

using lumo::SwitchAction;
using lumo::SwitchPassResult;

bool Is(const std::wstring& argument, const wchar_t* name) {
  if (argument.size() != std::wcslen(name)) return false;
  for (std::size_t i = 0; i < argument.size(); ++i) {
    wchar_t c = argument[i];
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    if (c != name[i]) return false;
  }
  return true;
}

bool IsStop(const std::wstring& a) {
  return Is(a, L"/T") || Is(a, L"-T") || Is(a, L"/D") || Is(a, L"-D") || Is(a, L"/D1") || Is(a, L"-D1");
}

// The pass as documented, one step per rule.
SwitchPassResult Transcription(const std::vector<std::wstring>& args, std::wstring code, std::wstring instruction) {
  std::vector<SwitchAction> actions;
  if (args.size() >= 2) {
    for (std::size_t index = 0; index < args.size(); ++index) {
      const std::wstring& a = args[index];
      if (Is(a, L"/D") || Is(a, L"-D")) {
        actions.push_back({SwitchAction::Kind::kDebugMarker, L"debug.dvm"});
      } else if (Is(a, L"/D1") || Is(a, L"-D1")) {
        actions.push_back({SwitchAction::Kind::kDebugMarker, L"debugAV.dvm"});
      } else if (Is(a, L"/T") || Is(a, L"-T")) {
        if (index + 1 < args.size()) {
          index = index + 1;
          code = args[index];
        }
      } else if (Is(a, L"/I") || Is(a, L"-I")) {
        if (index + 1 < args.size()) {
          index = index + 1;
          instruction = args[index];
        }
        while (index + 1 < args.size() && !IsStop(args[index + 1])) {
          index = index + 1;
          instruction = instruction + args[index];
        }
        if (!instruction.empty()) actions.push_back({SwitchAction::Kind::kApplyInstruction, instruction});
      }
    }
  }
  return {code, instruction, actions};
}

}  // namespace

void fuzz::Check(Input& input) {
  const std::wstring code = input.Text();
  const std::wstring instruction = input.Text();
  std::vector<std::wstring> args;
  while (!input.Done()) args.push_back(input.Text());
  for (const std::wstring& a : args) fuzz::Note("argument", a);

  const SwitchPassResult ours = lumo::SecondSwitchPass(args, code, instruction);
  const SwitchPassResult expected = Transcription(args, code, instruction);
  REQUIRE(ours.sessionCode == expected.sessionCode);
  REQUIRE(ours.instruction == expected.instruction);
  REQUIRE(ours.actions.size() == expected.actions.size());
  for (std::size_t i = 0; i < ours.actions.size(); ++i) {
    REQUIRE(ours.actions[i].kind == expected.actions[i].kind);
    REQUIRE(ours.actions[i].text == expected.actions[i].text);
  }
}

std::vector<fuzz::Bytes> fuzz::Seeds() {
  const std::vector<std::vector<std::wstring>> vectors = {
      {L"lumo.exe", L"/i", L"NOTE=a", L"b", L"/d"},
      {L"lumo.exe", L"/I", L"x", L"/I", L"y"},
      {L"lumo.exe", L"/T", L"/D"},
      {L"lumo.exe", L"-t", L"NEW", L"-T", L"B"},
      {L"lumo.exe", L"/T", L""},
      {L"lumo.exe", L"/I", L"NOTE=a", L"/T", L"C", L"/I"},
      {L"x", L"/I", L"NOTE=a", L"/D1", L"-i", L"IDLE=5", L"-D"},
      {L"/D", L"other"},
      {L"x", L"/Dx", L"T", L"/T1", L"D", L"--T", L"Y"},
  };
  std::vector<Bytes> seeds;
  for (const auto& args : vectors) {
    Output out;
    out.Text(L"OLD").Text(L"");
    for (const std::wstring& a : args) out.Text(a);
    seeds.push_back(out.Take());
  }
  return seeds;
}
