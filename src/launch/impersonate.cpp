#include "launch/impersonate.h"

#include "util/utility.h"

CImpersonateUser::CImpersonateUser() {
  // Without a token of the session's user the scope stays a no-op: the work inside runs
  // with the launcher's own token.
  if (CUtility::GetSessionUserToken(m_hToken) && m_hToken && ::ImpersonateLoggedOnUser(m_hToken.get()))
    m_bImpersonating = TRUE;
}

CImpersonateUser::~CImpersonateUser() {
  if (m_bImpersonating) ::RevertToSelf();
  m_hToken.reset();
}

void CImpersonateUser::RevertNow() {
  if (m_bImpersonating) ::RevertToSelf();
}

bool CImpersonateUser::Resume() { return m_bImpersonating && ::ImpersonateLoggedOnUser(m_hToken.get()); }
