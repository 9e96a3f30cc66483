// The arithmetic of the loading window: which picture comes next, how a pause is cut into
// animation slices, where the spinner sits on the background, how the whole layout scales
// with the screen's DPI, where the window goes on the screen, and how the show, dwell and
// hide timers step. No system calls, so every rule here is checked natively.
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

// ---- Scaling with the screen's DPI ----
// The layout above is the one for 96 DPI (100 %). On a scaled screen every length of it is
// multiplied by DPI / 96, so the window keeps its proportions and stays sharp.
constexpr int kDesignDpi = 96;
// The pictures cover up to 200 %: a background at twice its size and the 48 x 48 frames.
// Above that the window keeps its 200 % layout rather than enlarge a picture.
constexpr int kLargestPictureDpi = 192;

// The DPI the window is laid out for: the screen's, held within 96..192 (an unknown 0
// counts as 96).
int LayoutDpi(int screenDpi);
// A length of the 96-DPI layout at `dpi`: length * dpi / 96, halves rounded up. The one
// rounding rule for every length, so that 96 DPI gives the design's numbers exactly.
int ScaleToDpi(int length, int dpi);

struct PixelSize {
  int width;
  int height;
};
struct PixelRect {
  int x;
  int y;
  int width;
  int height;
};

// The loading window laid out for a screen: the window (and its region: the scaled visible
// part plus the column and row the region leaves out) from its top left corner, where the background goes (its own size at 96 DPI), and the spinner frame's
// rectangle (half the frame picture's size at 96 DPI, at FramePosition).
struct LoadingLayout {
  int dpi;
  PixelSize window;
  PixelRect background;
  PixelRect frame;
};
// `background` and `frame` are the sizes of the 100 % pictures (306 x 92 and 48 x 48).
LoadingLayout LayoutForDpi(int screenDpi, PixelSize background, PixelSize frame);
// The window's size alone (307 x 93 at 96 DPI).
PixelSize LoadingWindowSize(int screenDpi);

// Which of `count` pictures of one subject to draw at the size `shown`: the smallest one at
// least as large in both directions, so a picture is only ever reduced. When none is large
// enough, the largest (a missing picture has size 0 x 0 and is never chosen over one that
// exists). -1 when no picture exists at all.
int PickPicture(PixelSize shown, const PixelSize* pictures, int count);

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
