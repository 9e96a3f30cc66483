// The loading window as the rest of the launcher sees it: show, close, and the animated
// wait through which every pause keeps the window moving.
#pragma once

#include <windows.h>

class CLoadingWnd;

// Creates the loading window and stores it in the slot (the application's main window), or
// shows the existing one again without activating it.
void ShowLoadingWindow(CLoadingWnd** slot);
// Hides and destroys the window and clears the slot; does nothing when there is no window.
void CloseLoadingWindow(CLoadingWnd** slot);
// Waits the given time in 120 ms slices, rendering the next frame between slices while the
// loading window exists, and handling the thread's messages within each slice.
void AnimatedWait(DWORD milliseconds);
// True while a loading window exists.
bool IsLoadingWindowShown();
