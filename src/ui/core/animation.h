// The arithmetic of the loading window: which picture comes next, how a pause is cut into
// animation slices, where the spinner sits on the background, where the window goes on the
// screen, and how the show, dwell and hide timers step. No system calls, so every rule here
// is checked natively.
#pragma once

#include <cstdint>

namespace lumo {

// Window and picture geometry.
constexpr int kLoadingWindowWidth = 307;
constexpr int kLoadingWindowHeight = 93;
// The spinner sits this far below the window's vertical centre, under the product name.
constexpr int kSpinnerDrop = 20;

// Pictures: index 0 is the background, 1..12 the animation frames.
constexpr int kFrameCount = 12;
constexpr int kImageCount = 1 + kFrameCount;

// One animation step per slice of a pause.
constexpr std::uint32_t kFrameSliceMs = 120;

// Timers of the window and their periods.
constexpr unsigned kTimerDwell = 100;
constexpr unsigned kTimerShowStep = 102;
constexpr unsigned kTimerHideStep = 103;
constexpr unsigned kDwellPeriodMs = 1000;
constexpr unsigned kStepPeriodMs = 35;

// Fade pacing of the show and hide steps.
constexpr std::uint8_t kFadeLow = 15;
constexpr std::uint8_t kFadeHigh = 240;
constexpr std::uint8_t kFadeStep = 15;

constexpr int kDefaultDwellTimeout = 3;

// The picture index (1..12) of the frame to draw after `framesRendered` frames.
int NextFrameIndex(int framesRendered);
// The frame counter after one more frame. Keeps counting up; at the top of the int range it
// folds back onto the same place of the cycle instead of overflowing.
int AdvanceFrameCounter(int framesRendered);

// A pause cut into whole animation slices and the sleep left over (below one slice).
struct WaitPlan {
  std::uint32_t slices;
  std::uint32_t restMs;
};
WaitPlan PlanAnimatedWait(std::uint32_t milliseconds);

struct PixelPoint {
  int x;
  int y;
};

// Top left corner of a frame of the given picture size, drawn at half size, on a window of
// the given size: centred horizontally, kSpinnerDrop pixels below the centre. Halving is
// unsigned integer halving.
PixelPoint FramePosition(std::uint32_t windowWidth, std::uint32_t windowHeight,
                         std::uint32_t frameWidth, std::uint32_t frameHeight);

// Top left corner of the window when centred on the rectangle from the screen's origin to
// the work area's right and bottom edges (a taskbar on the left or top edge is not
// subtracted). Signed integer halves.
PixelPoint CentredOrigin(int workAreaRight, int workAreaBottom, int width, int height);

// One show step: the new fade level, and whether the show is complete (the dwell starts).
struct FadeResult {
  std::uint8_t level;
  bool done;
};
FadeResult ShowStep(std::uint8_t level);
// One hide step: the new fade level, and whether the window is to be hidden now.
FadeResult HideStep(std::uint8_t level);

// One dwell tick. The counter moves only while the cursor is outside the window.
enum class DwellAction {
  kKeepWaiting,  // timer keeps running
  kStop,         // dwell switched off: stop the timer
  kStartHide,    // timeout reached: stop the timer and begin the hide steps
};
DwellAction DwellTick(int timeout, bool cursorOutside, int& counter);

}  // namespace lumo
