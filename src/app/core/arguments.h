// The session code and the second pass over the command line, as pure functions: what the
// code becomes, which instructions are applied in which order, which markers are written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumo {

// The code followed by "_C<category>", "_M<mode>" and "_K<kind>", each only when non-zero.
std::wstring ComposeSessionCode(const std::wstring& token, int32_t category, int32_t mode, int32_t kind);

// The code carried in the launcher's file name: the text after the path's last '-', without
// ".EXE" and ".exe", cut before its last '_'. False (code untouched) when the path is empty,
// has no '-', or the last '-' stands in a folder name.
bool CodeFromFileName(const std::wstring& modulePath, std::wstring& code);

// Switches of the second pass, compared without regard to case.
bool IsDebugSwitch(const std::wstring& argument);     // "/D", "-D"
bool IsDebugAvSwitch(const std::wstring& argument);   // "/D1", "-D1"
bool IsCodeSwitch(const std::wstring& argument);      // "/T", "-T"
bool IsInstructionSwitch(const std::wstring& argument);  // "/I", "-I"
// The switches that end the collection of an instruction ("/I" is none of them).
bool IsStopSwitch(const std::wstring& argument);

constexpr const wchar_t* kDebugMarker = L"debug.dvm";
constexpr const wchar_t* kDebugAvMarker = L"debugAV.dvm";

struct SwitchAction {
  enum class Kind { kDebugMarker, kApplyInstruction };
  Kind kind;
  std::wstring text;  // the marker's file name, or the instruction to apply
};

struct SwitchPassResult {
  std::wstring sessionCode;
  std::wstring instruction;
  std::vector<SwitchAction> actions;  // in the order the switches stand
};

// Walks every argument, the program name included, when there are at least two; starts
// from the current code and instruction.
SwitchPassResult SecondSwitchPass(const std::vector<std::wstring>& arguments, const std::wstring& sessionCode,
                                  const std::wstring& instruction);

// After the pass: with neither a code nor an instruction, the stale instruction values of an
// earlier run are to be cleared.
bool ShouldClearInstruction(const std::wstring& sessionCode, const std::wstring& instruction);

}  // namespace lumo
