// Elevation handling of the start-up sequence: the elevation decision with its "runas"
// relaunch, and the token switch scan with its consent prompt and reopen.
#pragma once

#include <string>

namespace lumo {

// Takes the five inputs and acts on the decision. False: an elevated copy was started and
// this run ends. True: go on; runAsSystem tells the launch route.
bool HandleElevation(bool& runAsSystem);

// Starts FILE with the verb "runas" and PARAMETERS; true when the system started it.
bool StartElevatedCopy(const std::wstring& file, const std::wstring& parameters);

// The token switch scan. False: the consent prompt was shown and this run ends (after the
// reopen or the refusal, both logged). True: go on; skipForegroundCheck may have been set.
bool HandleTokenSwitch(bool runAsSystem, bool& skipForegroundCheck);

// The consent prompt's text, caption and style; true only for the answer OK.
bool AskConsent();
constexpr unsigned kConsentPromptStyle = 0x51031;  // OK/Cancel, warning, system-modal, foreground, topmost

// A new process of the launcher as the same user: "PATH COMMANDLINE" in the folder of
// PATH, shown normally. False with the thread's last error set when it could not start.
bool StartReopen(const std::wstring& modulePath, const std::wstring& commandLine);

}  // namespace lumo
