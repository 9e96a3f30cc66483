#include "ui/core/animation.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

namespace {

using namespace lumo;

// Plays `frames` frames from a fresh counter and returns the resource ids (200 + index).
std::vector<int> PlayedResources(int frames) {
  std::vector<int> ids;
  int counter = 0;
  for (int i = 0; i < frames; ++i) {
    ids.push_back(200 + NextFrameIndex(counter));
    counter = AdvanceFrameCounter(counter);
  }
  return ids;
}

TEST(Animation, FramesCycleThroughTwelvePicturesInOrder) {
  const std::vector<int> ids = PlayedResources(25);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(ids[i], 201 + i) << "frame " << i;
  EXPECT_EQ(ids[12], 201);  // the 13th frame starts the cycle again
  EXPECT_EQ(ids[23], 212);
  EXPECT_EQ(ids[24], 201);
}

TEST(Animation, CounterCountsFramesAndNeverOverflows) {
  EXPECT_EQ(AdvanceFrameCounter(0), 1);
  EXPECT_EQ(AdvanceFrameCounter(11), 12);
  // At the top of the range the next picture is still the one after the current.
  const int top = INT_MAX;
  const int next = AdvanceFrameCounter(top);
  EXPECT_GT(next, 0);
  EXPECT_EQ(NextFrameIndex(next), NextFrameIndex(top) % 12 + 1);
  // A corrupted negative counter still selects a picture of the cycle.
  for (int bad : {-1, -12, INT_MIN}) {
    const int index = NextFrameIndex(bad);
    EXPECT_GE(index, 1);
    EXPECT_LE(index, 12);
  }
}

TEST(Animation, WaitIsCutIntoSlicesOf120Milliseconds) {
  const WaitPlan threeSeconds = PlanAnimatedWait(3000);
  EXPECT_EQ(threeSeconds.slices, 25u);
  EXPECT_EQ(threeSeconds.restMs, 0u);

  const WaitPlan belowOneSlice = PlanAnimatedWait(119);
  EXPECT_EQ(belowOneSlice.slices, 0u);
  EXPECT_EQ(belowOneSlice.restMs, 119u);

  const WaitPlan halfSecond = PlanAnimatedWait(500);
  EXPECT_EQ(halfSecond.slices, 4u);
  EXPECT_EQ(halfSecond.restMs, 20u);

  EXPECT_EQ(PlanAnimatedWait(120).slices, 1u);
  EXPECT_EQ(PlanAnimatedWait(120).restMs, 0u);
  EXPECT_EQ(PlanAnimatedWait(0).slices, 0u);
  EXPECT_EQ(PlanAnimatedWait(0).restMs, 0u);

  // INFINITE-sized waits still add up to the asked time without overflow.
  const WaitPlan huge = PlanAnimatedWait(0xFFFFFFFFu);
  EXPECT_EQ(static_cast<unsigned long long>(huge.slices) * 120 + huge.restMs, 0xFFFFFFFFull);
  EXPECT_LT(huge.restMs, 120u);
}

TEST(Animation, FrameSitsCentredTwentyPixelsBelowTheMiddle) {
  // A 48 x 48 frame drawn at 24 x 24 on the 307 x 93 window.
  const PixelPoint at = FramePosition(307, 93, 48, 48);
  EXPECT_EQ(at.x, 141);  // (307 - 24) / 2, halved downwards
  EXPECT_EQ(at.y, 54);   // (93 - 24) / 2 + 20
  // Odd frame sizes halve downwards twice.
  const PixelPoint odd = FramePosition(307, 93, 49, 47);
  EXPECT_EQ(odd.x, (307 - 24) / 2);
  EXPECT_EQ(odd.y, (93 - 23) / 2 + 20);
  // A frame wider than the window does not wrap round to a far-away position.
  const PixelPoint huge = FramePosition(307, 93, 1000, 1000);
  EXPECT_EQ(huge.x, 0);
  EXPECT_EQ(huge.y, 20);
}

TEST(Animation, WindowCentresOnTheRectangleFromTheOriginToTheWorkAreaEdges) {
  // A full 1024 x 768 screen.
  PixelPoint at = CentredOrigin(1024, 768, 307, 93);
  EXPECT_EQ(at.x, 512 - 153);
  EXPECT_EQ(at.y, 384 - 46);
  // A 40 pixel taskbar at the bottom moves the window up by 20.
  at = CentredOrigin(1024, 728, 307, 93);
  EXPECT_EQ(at.y, 364 - 46);
  // A taskbar at the left or top changes nothing: only right and bottom count.
  at = CentredOrigin(1920, 1080, 307, 93);
  EXPECT_EQ(at.x, 960 - 153);
  EXPECT_EQ(at.y, 540 - 46);
  // Odd sizes: each half separately, rounded towards zero.
  at = CentredOrigin(1025, 769, 307, 93);
  EXPECT_EQ(at.x, 512 - 153);
  EXPECT_EQ(at.y, 384 - 46);
}

TEST(Animation, LayoutScalesEveryLengthWithTheScreensDpi) {
  // Window (and region) size, background and frame rectangles, and the window's place on a
  // work area of the same physical size as a 1920 x 1040 area at 100 %, per scale factor.
  struct Case {
    int dpi;
    PixelSize window;
    PixelRect background;
    PixelRect frame;
    PixelPoint centred;
  };
  const Case cases[] = {
      // 100 %: the design's numbers exactly.
      {96, {307, 93}, {0, 0, 306, 92}, {141, 54, 24, 24}, {960 - 153, 520 - 46}},
      // 125 %: 382.5, 115, 176.25, 67.5, 30.
      {120, {384, 116}, {0, 0, 383, 115}, {176, 68, 30, 30}, {1200 - 192, 650 - 58}},
      // 150 %: 459, 138, 211.5, 81, 36: halves go up; the window is the background and
      // the column and row its region leaves out.
      {144, {460, 139}, {0, 0, 459, 138}, {212, 81, 36, 36}, {1440 - 230, 780 - 69}},
      // 200 %: everything doubled, the frames at their full 48 x 48.
      {192, {613, 185}, {0, 0, 612, 184}, {282, 108, 48, 48}, {1920 - 306, 1040 - 92}},
  };
  for (const Case& c : cases) {
    const LoadingLayout layout = LayoutForDpi(c.dpi, PixelSize{306, 92}, PixelSize{48, 48});
    EXPECT_EQ(layout.dpi, c.dpi);
    EXPECT_EQ(layout.window.width, c.window.width) << c.dpi;
    EXPECT_EQ(layout.window.height, c.window.height) << c.dpi;
    // What the region shows (all but the last column and row) is the background, no seam.
    EXPECT_EQ(layout.window.width - 1, layout.background.width) << c.dpi;
    EXPECT_EQ(layout.window.height - 1, layout.background.height) << c.dpi;
    const PixelRect* got[] = {&layout.background, &layout.frame};
    const PixelRect* want[] = {&c.background, &c.frame};
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(got[i]->x, want[i]->x) << c.dpi << " rect " << i;
      EXPECT_EQ(got[i]->y, want[i]->y) << c.dpi << " rect " << i;
      EXPECT_EQ(got[i]->width, want[i]->width) << c.dpi << " rect " << i;
      EXPECT_EQ(got[i]->height, want[i]->height) << c.dpi << " rect " << i;
    }
    const int work = ScaleToDpi(1920, c.dpi), workBottom = ScaleToDpi(1040, c.dpi);
    const PixelPoint at = CentredOrigin(work, workBottom, layout.window.width, layout.window.height);
    EXPECT_EQ(at.x, c.centred.x) << c.dpi;
    EXPECT_EQ(at.y, c.centred.y) << c.dpi;
  }
  // Outside 96..192 the layout holds at the nearest end: never below the design, and never
  // beyond what the pictures cover (an unknown DPI of 0 counts as 96).
  for (int dpi : {0, 72, 95}) EXPECT_EQ(LayoutForDpi(dpi, {306, 92}, {48, 48}).window.width, 307) << dpi;
  for (int dpi : {193, 240, 288}) EXPECT_EQ(LayoutForDpi(dpi, {306, 92}, {48, 48}).window.width, 613) << dpi;
}

TEST(Animation, PicturesAreOnlyEverReduced) {
  const PixelSize both[] = {{306, 92}, {612, 184}};
  struct Case {
    PixelSize shown;
    int expected;
  };
  const Case cases[] = {
      {{306, 92}, 0},   // 100 %: the small picture at its own size
      {{383, 115}, 1},  // 125 %
      {{459, 138}, 1},  // 150 %
      {{612, 184}, 1},  // 200 %: the large one at its own size
      {{307, 92}, 1},   // one pixel too wide for the small one
      {{700, 200}, 1},  // nothing covers it: the largest
  };
  for (const Case& c : cases) EXPECT_EQ(PickPicture(c.shown, both, 2), c.expected) << c.shown.width;
  // The order of the list does not matter; a missing picture (0 x 0) is never chosen.
  const PixelSize reversed[] = {{612, 184}, {306, 92}};
  EXPECT_EQ(PickPicture({306, 92}, reversed, 2), 1);
  const PixelSize largeMissing[] = {{306, 92}, {0, 0}};
  EXPECT_EQ(PickPicture({459, 138}, largeMissing, 2), 0);
  const PixelSize smallMissing[] = {{0, 0}, {612, 184}};
  EXPECT_EQ(PickPicture({306, 92}, smallMissing, 2), 1);
  const PixelSize none[] = {{0, 0}, {0, 0}};
  EXPECT_EQ(PickPicture({306, 92}, none, 2), -1);
}

TEST(Animation, ShowStepsClimbFromFifteenToTwoFortyInFifteenSteps) {
  std::uint8_t level = kFadeLow;
  int steps = 0;
  FadeResult step{level, false};
  while (!step.done && steps < 100) {
    step = ShowStep(level);
    level = step.level;
    ++steps;
  }
  EXPECT_EQ(steps, 15);
  EXPECT_EQ(level, 240);
  // A level already near the top ends the show and does not wrap past 255.
  const FadeResult high = ShowStep(250);
  EXPECT_TRUE(high.done);
  EXPECT_EQ(high.level, 255);
}

TEST(Animation, HideStepsDescendToFifteenAndThenHide) {
  std::uint8_t level = kFadeHigh;
  int steps = 0;
  FadeResult step{level, false};
  while (!step.done && steps < 100) {
    step = HideStep(level);
    level = step.level;
    ++steps;
  }
  EXPECT_EQ(steps, 15);
  EXPECT_EQ(level, 15);
  // From a low level the hide ends at once instead of wrapping round to 250.
  const FadeResult low = HideStep(5);
  EXPECT_TRUE(low.done);
  EXPECT_EQ(low.level, 0);
}

TEST(Animation, DwellHidesAtTheFourthTickOutsideTheWindow) {
  int counter = 0;
  EXPECT_EQ(DwellTick(3, true, counter), DwellAction::kKeepWaiting);
  EXPECT_EQ(DwellTick(3, true, counter), DwellAction::kKeepWaiting);
  // The cursor over the window holds the counter.
  EXPECT_EQ(DwellTick(3, false, counter), DwellAction::kKeepWaiting);
  EXPECT_EQ(counter, 2);
  EXPECT_EQ(DwellTick(3, true, counter), DwellAction::kKeepWaiting);
  EXPECT_EQ(DwellTick(3, true, counter), DwellAction::kStartHide);
  EXPECT_EQ(counter, 0);
}

TEST(Animation, DwellTimeoutZeroSwitchesTheDwellOff) {
  int counter = 7;
  EXPECT_EQ(DwellTick(0, true, counter), DwellAction::kStop);
  EXPECT_EQ(counter, 0);
  counter = 2;
  EXPECT_EQ(DwellTick(0, false, counter), DwellAction::kStop);
  EXPECT_EQ(counter, 0);
}

}  // namespace
