// The second account of the release kit: a temporary local standard user, made for one run of
// a program and removed after it. Its password is random, meets the complexity policy, lives
// only in this process's memory and is wiped after the logon.
#pragma once

#include <string>

namespace kit {

// Makes the account, runs `commandLine` as that user (CreateProcessWithLogonW with
// LOGON_WITH_PROFILE, through the Secondary Logon service, in this session) in `folder`,
// waits for it, and removes the account and its profile. Returns one line saying what
// happened; `exitCode` is the program's, or -1 when it did not run.
std::wstring RunAsStandardUser(const std::wstring& commandLine, const std::wstring& folder, long& exitCode);

// Removes a local account and its profile (DeleteProfileW, retried until the user's hive has
// been unloaded); one line saying what happened.
std::wstring RemoveAccount(const std::wstring& name);

}  // namespace kit
