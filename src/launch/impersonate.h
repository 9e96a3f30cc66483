// CImpersonateUser: a scoped impersonation of the user logged on to the launcher's own
// session. When no token of that user can be had, the scope does nothing and the work in it
// runs with the launcher's own token.
#pragma once

#include <windows.h>

#include "util/handles.h"

class CImpersonateUser {
 public:
  CImpersonateUser();           // starts impersonating on the calling thread, if it can
  virtual ~CImpersonateUser();  // reverts (if impersonating) and releases the token
  CImpersonateUser(const CImpersonateUser&) = delete;
  CImpersonateUser& operator=(const CImpersonateUser&) = delete;

  // Reverts to the launcher's own token before the scope ends; the flag stays set.
  void RevertNow();
  // Impersonates once more after RevertNow; false when the scope does nothing.
  bool Resume();
  bool IsImpersonating() const { return m_bImpersonating != FALSE; }
  // The session user's token while the scope impersonates it.
  HANDLE Token() const { return m_hToken.get(); }

 private:
  BOOL m_bImpersonating = FALSE;
  lumo::UniqueHandle m_hToken;
};
