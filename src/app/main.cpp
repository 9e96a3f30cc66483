// The entry point and the objects built during static construction, in the order the run
// relies on: the application object (whose constructor hardens the library search path)
// first, then anything that must exist before the start-up sequence begins.
#include <windows.h>

#include "app/app.h"
#include "app/instance_lock.h"
#include "ui/loading.h"

CUnPackFileApp theApp;
// Created (or found held) right after the application object, before the sequence runs;
// held until the process ends.
CInstanceLock theInstanceLock(lumo::kInstanceLockName);

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  CInstanceLock::RegisterSession(&theInstanceLock);
  theApp.InitInstance();
  // An early return of the sequence may leave the loading window up; the process never
  // leaves a window behind.
  CloseLoadingWindow(&theApp.m_pMainWnd);
  return 0;
}
