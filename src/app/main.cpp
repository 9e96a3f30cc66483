// The entry point and the objects built during static construction, in the order the run
// relies on: the application object (whose constructor hardens the library search path)
// first, then anything that must exist before the start-up sequence begins.
#include <windows.h>

#include "app/app.h"
#include "app/instance_lock.h"
#include "ui/loading.h"
#include "util/launcher_file.h"

CUnPackFileApp theApp;
// The launcher's own file, opened and checked right after the hardening, before anything
// waits: from here on nothing can write, rename or delete it, and every read of it goes
// through this handle. Held until the process ends; InitInstance looks at its verdict first.
CLauncherFile theLauncherFile;
// Created (or found held) right after the application object, before the sequence runs;
// held until the process ends.
CInstanceLock theInstanceLock(lumo::kInstanceLockName);

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  CLauncherFile::RegisterOwn(&theLauncherFile);
  CInstanceLock::RegisterSession(&theInstanceLock);
  theApp.InitInstance();
  // An early return of the sequence may leave the loading window up; the process never
  // leaves a window behind.
  CloseLoadingWindow(&theApp.m_pMainWnd);
  return 0;
}
