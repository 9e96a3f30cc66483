// CRegistry: the launcher's one way into the registry. An object names a place (a predefined
// root and a key path below it); every operation opens what it needs, does one thing and
// closes everything again, so no key stays open between calls. The current user's hive is
// always opened as the user logged on to the launcher's own session.
//
// Every program of that user may write the hive, and may make any key in it a registry link
// to anywhere (the machine's hive included). So below the hive each operation walks its key
// path from the hive's root one component at a time, each opened as itself (never through a
// link) and judged before it is used as a parent; a link is never followed (see OpenPath).
// The whole walk runs as the session's user, so a link that slipped through reaches only
// keys that user could write anyway.
#pragma once

#include <windows.h>

#include <string>

#include "util/handles.h"

class CRegistry {
 public:
  CRegistry();
  virtual ~CRegistry();
  CRegistry(const CRegistry&) = delete;
  CRegistry& operator=(const CRegistry&) = delete;

  // Back to the root of HKEY_CURRENT_USER with flushing off; lastError and view64 stay.
  BOOL Reset();
  // Accepts only the four predefined roots; HKEY_LOCAL_MACHINE with the redirect flag is
  // served from HKEY_CURRENT_USER, where the launcher keeps the agent's settings. That is
  // how the launcher asks for the machine's hive, so no path of the launcher opens it
  // through this class; the other roots are served as they stand, without the walk.
  BOOL SetRootKey(HKEY root, BOOL redirectMachine);
  // Selects the current key after the per-session mapping; creates it with the create flag.
  // An empty path selects the root itself. On failure the previous key stays selected.
  BOOL OpenKey(const std::wstring& path, BOOL create, BOOL perSession);
  // Like OpenKey, but the path goes through the product key resolution instead.
  BOOL OpenProductKey(const std::wstring& path, BOOL create, BOOL perSession);
  // True when the path (unmapped) opens with full access below the given root handle, or
  // below the object's own root when the handle is null. A key handle (not a predefined
  // root) is walked below as the user's hive is.
  BOOL KeyExists(const std::wstring& path, HKEY root = nullptr);

  BOOL WriteDWORD(const std::wstring& name, DWORD value);
  BOOL WriteString(const std::wstring& name, const std::wstring& text, DWORD type);
  DWORD ReadDWORD(const std::wstring& name, DWORD defaultValue);
  DWORD ReadDWORD(const std::wstring& name, DWORD defaultValue, const std::wstring& subkey);
  // The value's registry type, or 0 when the key cannot be opened or the value is missing.
  DWORD GetValueType(const std::wstring& name, const std::wstring& subkey);
  // REG_SZ and REG_EXPAND_SZ (unexpanded) values; the default for anything else.
  std::wstring ReadString(const std::wstring& name, const std::wstring& defaultValue, const std::wstring& subkey);
  BOOL ValueExists(const std::wstring& name);
  BOOL DeleteValue(const std::wstring& name);

  LONG LastError() const { return lastError; }
  HKEY RootKey() const { return rootKey; }
  const std::wstring& KeyPath() const { return keyPath; }
  void SetNoFlush(BOOL value) { noFlush = value; }
  void SetView64(BOOL value) { view64 = value; }

 private:
  REGSAM Access(REGSAM mask) const { return view64 ? (mask | KEY_WOW64_64KEY) : mask; }
  // The current key, or the current key's subkey when one is named.
  std::wstring PathWith(const std::wstring& subkey) const;
  // Opens the path (with `create`, creates what is missing) below `base`, or below the
  // object's root when it is null, and hands the key to `key`; a registry status. Below the
  // session user's hive (HKEY_CURRENT_USER) or a key handle, as that user and component by
  // component: each is opened as itself and judged (lumo::JudgeKey); a link at a key of ours
  // is removed and made anew when the operation creates, any other link refused with one
  // log line (ERROR_ACCESS_DENIED), nothing done behind it.
  LONG OpenPath(const std::wstring& path, REGSAM mask, bool create, HKEY base, lumo::UniqueKey& key) const;
  // Creates or opens an already-mapped path and makes it the current key.
  BOOL SelectKey(const std::wstring& path, BOOL create);
  void FlushIfAsked(HKEY key) const;

  LONG lastError = 0;
  HKEY rootKey = HKEY_CURRENT_USER;
  std::wstring keyPath;
  BOOL noFlush = TRUE;
  BOOL view64 = FALSE;
};

// The key path that the keyword "UNIVERSAL_PATH_CONVERT" stands for on this machine; any
// other path comes back unchanged. Root is a predefined root, or null from outside callers.
std::wstring ResolveProductKeyPath(const std::wstring& path, BOOL perSession, HKEY root);
