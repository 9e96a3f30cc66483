// The rules of the checked road through the user's registry hive, which every program of the
// user may write: how a key path splits into the components opened one at a time from the
// hive's root, which keys are the launcher's own, and what becomes of a component that is a
// registry link. Portable: no registry access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lumo {

// The next component of a key path from `at` on: `at` moves to its first character and `end`
// past its last, both to the path's size when none is left. Backslashes separate components;
// a doubled, leading or trailing one makes no empty component.
void NextKeyComponent(const std::wstring& path, std::size_t& at, std::size_t& end);

// Whether the key at the first `length` characters of `path` (below the hive's root) is one
// of the launcher's own: "Software\Ondrix Inc." and, right below it, "Ondrix Remote Server"
// and "Ondrix Remote Server for Business", each also with " LUMO" or " LUMO_<session>" after
// "Server". Letters match in any case, as the registry matches them.
bool IsOwnKeyPath(const std::wstring& path, std::size_t length);

// What the walk does with a component it has opened as itself.
enum class KeyStep {
  kUse,             // a plain key: the walk goes on through its handle
  kReplace,         // a link at a key of ours met by an operation that creates: removed as
                    // itself, created anew and judged again
  kRefuseNotOurs,   // a link at a key the launcher does not own
  kRefuseReading,   // a link at a key of ours met by an operation that only opens
  kRefuseBack,      // a link again after the removal (or no new key where it was)
  kRefuseStuck,     // a link that could not be removed (set by the caller)
};

// The step for a component: `linkValue` when it carries "SymbolicLinkValue" of type REG_LINK
// (a plain key carrying one counts as a link: the safe side), `sameName` when it also opens
// with links followed and both handles name the same key, `own` by IsOwnKeyPath, `create`
// for an operation that creates keys, `replaced` once the component has been made anew.
KeyStep JudgeKey(bool linkValue, bool sameName, bool own, bool create, bool replaced);

// Why a component was refused, after "a link, " in the log line.
const wchar_t* DescribeKeyStep(KeyStep step);

// Whose hive an elevated run opens for the user's keys. With a token of the session's user it
// impersonates that user and opens that user's hive. Without one (no shell of the session to
// take it from), its own token's hive serves only when its token's user is the session's user,
// the same person elevated: another user's (an administrator who typed the credentials over the
// user's shoulder, whose hive the agent would not read) is refused, and so is a session whose
// user cannot be told. The users are SIDs as the system stores them; empty: not known.
enum class HiveChoice { kSessionUsers, kOwn, kRefuse };
HiveChoice ChooseHive(bool sessionUserToken, const std::vector<uint8_t>& tokenUser,
                      const std::vector<uint8_t>& sessionUser);

}  // namespace lumo
