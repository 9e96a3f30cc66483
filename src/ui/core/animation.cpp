#include "ui/core/animation.h"

#include <climits>

namespace lumo {

int NextFrameIndex(int framesRendered) {
  // Unsigned modulo: a counter that has wrapped negative still selects a valid picture.
  return 1 + static_cast<int>(static_cast<std::uint32_t>(framesRendered) % kFrameCount);
}

int AdvanceFrameCounter(int framesRendered) {
  if (framesRendered < 0) return 1;
  if (framesRendered == INT_MAX) return framesRendered % kFrameCount + 1;
  return framesRendered + 1;
}

WaitPlan PlanAnimatedWait(std::uint32_t milliseconds) {
  return WaitPlan{milliseconds / kFrameSliceMs, milliseconds % kFrameSliceMs};
}

PixelPoint FramePosition(std::uint32_t windowWidth, std::uint32_t windowHeight,
                         std::uint32_t frameWidth, std::uint32_t frameHeight) {
  const std::uint32_t drawnWidth = frameWidth / 2;
  const std::uint32_t drawnHeight = frameHeight / 2;
  // A frame larger than the window would wrap the unsigned difference; pin it to the edge.
  const std::uint32_t x = windowWidth > drawnWidth ? (windowWidth - drawnWidth) / 2 : 0;
  const std::uint32_t y = windowHeight > drawnHeight ? (windowHeight - drawnHeight) / 2 : 0;
  return PixelPoint{static_cast<int>(x), static_cast<int>(y) + kSpinnerDrop};
}

int LayoutDpi(int screenDpi) {
  if (screenDpi < kDesignDpi) return kDesignDpi;
  if (screenDpi > kLargestPictureDpi) return kLargestPictureDpi;
  return screenDpi;
}

int ScaleToDpi(int length, int dpi) {
  // Whole multiples of 96 and the rest apart, so that no product passes 32 bits for any
  // length whose result fits (and a 32-bit build needs no 64-bit division routine); lengths
  // and DPI here are never negative.
  const int whole = length / kDesignDpi, rest = length % kDesignDpi;
  return whole * dpi + (rest * dpi + kDesignDpi / 2) / kDesignDpi;
}

LoadingLayout LayoutForDpi(int screenDpi, PixelSize background, PixelSize frame) {
  const int dpi = LayoutDpi(screenDpi);
  const auto scale = [dpi](int length) { return ScaleToDpi(length, dpi); };
  const auto frameWidth = static_cast<std::uint32_t>(frame.width);
  const auto frameHeight = static_cast<std::uint32_t>(frame.height);
  const PixelPoint at = FramePosition(kLoadingWindowWidth, kLoadingWindowHeight, frameWidth, frameHeight);
  LoadingLayout layout{};
  layout.dpi = dpi;
  // The window's region leaves out its last column and row: what shows is the 306 x 92 the
  // background covers at 96 DPI. That part is scaled, so the scaled background fills it
  // exactly at every scale, with no seam of undrawn pixels along two edges.
  layout.window = PixelSize{scale(kLoadingWindowWidth - 1) + 1, scale(kLoadingWindowHeight - 1) + 1};
  layout.background = PixelRect{0, 0, scale(background.width), scale(background.height)};
  layout.frame = PixelRect{scale(at.x), scale(at.y), scale(frame.width / 2), scale(frame.height / 2)};
  return layout;
}

PixelSize LoadingWindowSize(int screenDpi) {
  return LayoutForDpi(screenDpi, PixelSize{0, 0}, PixelSize{0, 0}).window;
}

int PickPicture(PixelSize shown, const PixelSize* pictures, int count) {
  int best = -1;
  bool bestCovers = false;
  for (int i = 0; i < count; ++i) {
    const PixelSize& p = pictures[i];
    if (p.width <= 0 || p.height <= 0) continue;
    const bool covers = p.width >= shown.width && p.height >= shown.height;
    const long long area = static_cast<long long>(p.width) * p.height;
    const long long bestArea =
        best < 0 ? 0 : static_cast<long long>(pictures[best].width) * pictures[best].height;
    // Among pictures that cover the size the smallest wins; until one covers, the largest.
    if (best < 0 || (covers && (!bestCovers || area < bestArea)) || (!covers && !bestCovers && area > bestArea)) {
      best = i;
      bestCovers = covers;
    }
  }
  return best;
}

PixelPoint CentredOrigin(int workAreaRight, int workAreaBottom, int width, int height) {
  return PixelPoint{workAreaRight / 2 - width / 2, workAreaBottom / 2 - height / 2};
}

FadeResult ShowStep(std::uint8_t level) {
  const unsigned next = level + kFadeStep;
  if (next >= kFadeHigh) return FadeResult{static_cast<std::uint8_t>(next > 255 ? 255 : next), true};
  return FadeResult{static_cast<std::uint8_t>(next), false};
}

FadeResult HideStep(std::uint8_t level) {
  // Never below zero: an 8-bit level must not wrap round to a high value and restart.
  const int next = static_cast<int>(level) - kFadeStep;
  if (next > kFadeLow) return FadeResult{static_cast<std::uint8_t>(next), false};
  return FadeResult{static_cast<std::uint8_t>(next < 0 ? 0 : next), true};
}

DwellAction DwellTick(int timeout, bool cursorOutside, int& counter) {
  if (timeout == 0) {
    counter = 0;
    return DwellAction::kStop;
  }
  if (!cursorOutside) return DwellAction::kKeepWaiting;
  const int noted = counter;
  if (counter < INT_MAX) ++counter;
  if (noted >= timeout) {
    counter = 0;
    return DwellAction::kStartHide;
  }
  return DwellAction::kKeepWaiting;
}

}  // namespace lumo
