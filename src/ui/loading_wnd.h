// CLoadingWnd: the borderless topmost window with the product picture and the busy
// animation. It is driven by the main thread's own calls; its messages are handled while
// that thread waits (CUtility::WaitTakingMessages), never by a message loop of its own.
// All content is rendered off screen and reaches the window through the
// erase-background handler alone. The window is laid out for the DPI of the screen it
// opens on (the launcher declares itself per-monitor aware, so Windows never stretches it).
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "ui/core/animation.h"
#include "ui/gdiplus_include.h"
#include "util/handles.h"

// One picture decoded from the launcher's resources. GDI+ may read the stream again each
// time the image is drawn, so the image owns its stream (which owns the memory block) and
// releases it only after the image is gone.
class CPngImage {
 public:
  CPngImage() = default;
  ~CPngImage() { Reset(); }
  CPngImage(const CPngImage&) = delete;
  CPngImage& operator=(const CPngImage&) = delete;

  Gdiplus::Image* Get() const { return m_pImage; }
  explicit operator bool() const { return m_pImage != nullptr; }
  void Reset();
  // Takes over a decoded image and the stream it was read from.
  void Attach(Gdiplus::Image* image, IStream* stream);

 private:
  Gdiplus::Image* m_pImage = nullptr;
  IStream* m_pStream = nullptr;
};

// Loads PNG resource `id` (type "PNG") of the launcher's resource module into `image`.
// True on success; on failure the place is left empty.
bool LoadPngResource(UINT id, CPngImage& image);

// The DPI of the screen that `window` stands on, in the process's own DPI awareness: the
// window's (Windows 10 1607 and later), its monitor's (8.1), or the system DPI (7).
UINT QueryWindowDpi(HWND window);

class CLoadingWnd {
 public:
  CLoadingWnd();
  virtual ~CLoadingWnd();
  CLoadingWnd(const CLoadingWnd&) = delete;
  CLoadingWnd& operator=(const CLoadingWnd&) = delete;

  // The one loading window of the process, or null.
  static CLoadingWnd* Instance() { return s_pInstance; }

  // Creates the window (hidden); false when the system refused it.
  bool Create();
  // Places, sizes and shapes the window for its screen's DPI and renders its first content.
  void Layout();
  // Renders the next frame off screen and repaints the window at once.
  void ShowNextFrame();

  HWND GetSafeHwnd() const { return m_hWnd; }
  bool IsContentReady() const { return m_bContentReady != FALSE; }
  int GetFrameCounter() const { return m_nFrameCounter; }
  std::uint8_t GetFadeLevel() const { return m_nFadeLevel; }
  int GetDwellTimeout() const { return m_nDwellTimeout; }
  void SetDwellTimeout(int seconds) { m_nDwellTimeout = seconds; }
  bool HasImage(int index) const;
  bool HasLargeBackground() const { return static_cast<bool>(m_largeBackground); }
  // The DPI the window is laid out for (96 until the layout step).
  int GetLayoutDpi() const { return m_nLayoutDpi; }

  static constexpr const wchar_t* kClassName = L"OndrixLumoLoading";
  static constexpr const wchar_t* kTitle = L"Loading";

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static bool RegisterWindowClass();

  LRESULT OnEraseBkgnd(HDC dc);
  void OnShowWindow(bool show);
  void OnTimer(UINT_PTR id);
  void OnDpiChanged(UINT dpi);
  void OnClose();

  // Sizes and shapes the window for `dpi` with its top left corner at (x, y) and renders.
  void ApplyLayout(UINT dpi, int x, int y);
  bool Render(const RECT& rect);
  void ReleaseContent();
  void RepaintNow();
  void StartHideStep();

  // Off-screen content: a memory DC with a screen-compatible bitmap selected into it.
  lumo::UniqueMemoryDC m_dcMemory;
  lumo::UniqueGdiObject m_bmpMemory;
  HGDIOBJ m_hOldBitmap = nullptr;
  BOOL m_bContentReady = FALSE;
  std::uint8_t m_nFadeLevel = lumo::kFadeLow;
  CPngImage m_images[lumo::kImageCount];
  // The background at twice its size, drawn (reduced) whenever the screen is scaled.
  CPngImage m_largeBackground;
  int m_nLayoutDpi = lumo::kDesignDpi;
  lumo::UniqueIcon m_hIcon;
  int m_nDwellCounter = 0;
  int m_nDwellTimeout = lumo::kDefaultDwellTimeout;
  int m_nFrameCounter = 0;

  HWND m_hWnd = nullptr;

  static CLoadingWnd* s_pInstance;
};
