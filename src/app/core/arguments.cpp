#include "app/core/arguments.h"

#include "settings/core/key_mapping.h"

namespace lumo {

namespace {

void RemoveAll(std::wstring& text, const std::wstring& part) {
  for (std::size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at)) text.erase(at, part.size());
}

bool IsOneOf(const std::wstring& argument, const wchar_t* slash, const wchar_t* dash) {
  return EqualsIgnoreAsciiCase(argument, slash) || EqualsIgnoreAsciiCase(argument, dash);
}

}  // namespace

std::wstring ComposeSessionCode(const std::wstring& token, int32_t category, int32_t mode, int32_t kind) {
  std::wstring code = token;
  if (category != 0) code += L"_C" + std::to_wstring(category);
  if (mode != 0) code += L"_M" + std::to_wstring(mode);
  if (kind != 0) code += L"_K" + std::to_wstring(kind);
  return code;
}

bool CodeFromFileName(const std::wstring& modulePath, std::wstring& code) {
  if (modulePath.empty()) return false;
  const std::size_t hyphen = modulePath.rfind(L'-');
  if (hyphen == std::wstring::npos) return false;
  std::wstring rest = modulePath.substr(hyphen + 1);
  if (rest.find(L'\\') != std::wstring::npos) return false;
  // Only these two spellings are removed: a ".Exe" stays part of the code.
  RemoveAll(rest, L".EXE");
  RemoveAll(rest, L".exe");
  const std::size_t underscore = rest.rfind(L'_');
  if (underscore != std::wstring::npos) rest.erase(underscore);
  code = rest;
  return true;
}

bool IsDebugSwitch(const std::wstring& argument) { return IsOneOf(argument, L"/D", L"-D"); }
bool IsDebugAvSwitch(const std::wstring& argument) { return IsOneOf(argument, L"/D1", L"-D1"); }
bool IsCodeSwitch(const std::wstring& argument) { return IsOneOf(argument, L"/T", L"-T"); }
bool IsInstructionSwitch(const std::wstring& argument) { return IsOneOf(argument, L"/I", L"-I"); }
bool IsStopSwitch(const std::wstring& argument) {
  return IsCodeSwitch(argument) || IsDebugSwitch(argument) || IsDebugAvSwitch(argument);
}

SwitchPassResult SecondSwitchPass(const std::vector<std::wstring>& arguments, const std::wstring& sessionCode,
                                  const std::wstring& instruction) {
  SwitchPassResult result{sessionCode, instruction, {}};
  if (arguments.size() < 2) return result;
  const std::size_t count = arguments.size();
  for (std::size_t i = 0; i < count; ++i) {
    const std::wstring& argument = arguments[i];
    if (IsDebugSwitch(argument)) {
      result.actions.push_back({SwitchAction::Kind::kDebugMarker, kDebugMarker});
    } else if (IsDebugAvSwitch(argument)) {
      result.actions.push_back({SwitchAction::Kind::kDebugMarker, kDebugAvMarker});
    } else if (IsCodeSwitch(argument)) {
      // The next argument is the code whatever it looks like, even a switch.
      if (i + 1 < count) result.sessionCode = arguments[++i];
    } else if (IsInstructionSwitch(argument)) {
      if (i + 1 < count) result.instruction = arguments[++i];
      while (i + 1 < count && !IsStopSwitch(arguments[i + 1])) result.instruction += arguments[++i];
      if (!result.instruction.empty())
        result.actions.push_back({SwitchAction::Kind::kApplyInstruction, result.instruction});
    }
  }
  return result;
}

bool ShouldClearInstruction(const std::wstring& sessionCode, const std::wstring& instruction) {
  return sessionCode.empty() && instruction.empty();
}

}  // namespace lumo
