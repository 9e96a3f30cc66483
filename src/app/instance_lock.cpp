#include "app/instance_lock.h"

#include "app/core/arbitration.h"

CInstanceLock* CInstanceLock::s_pSession = nullptr;

CInstanceLock::CInstanceLock(const wchar_t* name)
    : m_bAnonymous(name == nullptr), m_strName(name != nullptr ? name : L"") {
  Create();
}

void CInstanceLock::Create() {
  m_hMutex.reset();
  // A fresh mutex must read as 0, whatever an earlier call left behind.
  ::SetLastError(ERROR_SUCCESS);
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, m_bAnonymous ? nullptr : m_strName.c_str());
  m_dwCreateError = ::GetLastError();
  m_hMutex.reset(mutex);
}

bool CInstanceLock::IsHeldElsewhere() const { return lumo::IsLockHeldElsewhere(m_dwCreateError); }
