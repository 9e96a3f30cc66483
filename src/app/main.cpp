// The entry point and the objects built during static construction, in the order the run
// relies on: the application object (whose constructor hardens the library search path)
// first, then anything that must exist before the start-up sequence begins.
#include <windows.h>

#include "app/app.h"

CUnPackFileApp theApp;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  theApp.InitInstance();
  return 0;
}
