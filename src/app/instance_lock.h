// CInstanceLock: a named mutex whose existence tells launchers of one Windows session that
// another launcher (or the agent) owns the session. It is only ever created and looked at,
// never waited on.
#pragma once

#include <windows.h>

#include <string>

#include "util/handles.h"

namespace lumo {
// No namespace prefix: the name lives in the session's own namespace, so launchers of
// different sessions never see each other's lock.
constexpr const wchar_t* kInstanceLockName = L"{3BF0D8B7-D415-4af5-A64D-8EC8E8895916}";
}  // namespace lumo

class CInstanceLock {
 public:
  // A null name makes an anonymous lock (a mutex nobody else can find).
  explicit CInstanceLock(const wchar_t* name);
  ~CInstanceLock() = default;  // the handle owner closes the mutex
  CInstanceLock(const CInstanceLock&) = delete;
  CInstanceLock& operator=(const CInstanceLock&) = delete;

  // Closes the handle held so far and creates (or opens) the mutex again; the error of
  // that call tells whether another process holds it.
  void Create();
  // The mutex existed before this process's last Create (183), or exists in a security
  // context this process may not open (5).
  bool IsHeldElsewhere() const;
  DWORD GetCreateError() const { return m_dwCreateError; }
  // True while this process holds a handle to the mutex.
  bool HasHandle() const { return m_hMutex.valid(); }

  // The launcher's one session lock, built during static construction (app/main.cpp) and
  // registered there; null in programs that have none.
  static CInstanceLock* Session() { return s_pSession; }
  static void RegisterSession(CInstanceLock* lock) { s_pSession = lock; }

 private:
  DWORD m_dwCreateError = 0;
  lumo::UniqueHandle m_hMutex;
  bool m_bAnonymous = true;
  std::wstring m_strName;

  static CInstanceLock* s_pSession;
};
