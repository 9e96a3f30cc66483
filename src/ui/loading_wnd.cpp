#include "ui/loading_wnd.h"

#include <new>

#include "res/resource.h"
#include "util/loaded_function.h"
#include "util/utility.h"

CLoadingWnd* CLoadingWnd::s_pInstance = nullptr;

namespace {

constexpr const wchar_t* kPngType = L"PNG";

// Looked up at run time: neither exists on Windows 7, where the launcher must still start.
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using GetDpiForMonitorFn = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
constexpr int kMonitorEffectiveDpi = 0;  // MDT_EFFECTIVE_DPI

lumo::PixelSize SizeOf(const CPngImage& image) {
  if (!image) return lumo::PixelSize{0, 0};
  return lumo::PixelSize{static_cast<int>(image.Get()->GetWidth()), static_cast<int>(image.Get()->GetHeight())};
}

}  // namespace

// ---- Pictures ----

void CPngImage::Reset() {
  // The image first: it may still read from the stream while it is torn down.
  delete m_pImage;
  m_pImage = nullptr;
  if (m_pStream != nullptr) m_pStream->Release();
  m_pStream = nullptr;
}

void CPngImage::Attach(Gdiplus::Image* image, IStream* stream) {
  Reset();
  m_pImage = image;
  m_pStream = stream;
}

bool LoadPngResource(UINT id, CPngImage& image) {
  image.Reset();
  HMODULE module = ::GetModuleHandleW(nullptr);
  HRSRC info = ::FindResourceW(module, MAKEINTRESOURCEW(id), kPngType);
  if (info == nullptr) {
    CUtility::Log("[%s] PNG resource %u not found", "CLoadingWnd::LoadPngResource", id);
    return false;
  }
  const DWORD size = ::SizeofResource(module, info);
  HGLOBAL loaded = ::LoadResource(module, info);
  const void* bytes = loaded != nullptr ? ::LockResource(loaded) : nullptr;
  if (bytes == nullptr || size == 0) {
    CUtility::Log("[%s] PNG resource %u cannot be loaded", "CLoadingWnd::LoadPngResource", id);
    return false;
  }

  lumo::UniqueHGlobal block(::GlobalAlloc(GMEM_MOVEABLE, size));
  if (!block) {
    CUtility::Log("[%s] no memory for PNG resource %u", "CLoadingWnd::LoadPngResource", id);
    return false;
  }
  void* copy = ::GlobalLock(block.get());
  if (copy == nullptr) return false;
  ::CopyMemory(copy, bytes, size);
  ::GlobalUnlock(block.get());

  // From here the stream owns the block and frees it with its last release.
  IStream* stream = nullptr;
  if (FAILED(::CreateStreamOnHGlobal(block.get(), TRUE, &stream)) || stream == nullptr) {
    CUtility::Log("[%s] no stream for PNG resource %u", "CLoadingWnd::LoadPngResource", id);
    return false;
  }
  block.release();

  // GDI+'s own operator new returns null when GdipAlloc fails, but is not declared to, so
  // the compiler would run the constructor on it: the memory is asked for here and checked.
  // The image's operator delete gives it back with GdipFree.
  void* memory = Gdiplus::DllExports::GdipAlloc(sizeof(Gdiplus::Image));
  Gdiplus::Image* decoded = memory != nullptr ? ::new (memory) Gdiplus::Image(stream, FALSE) : nullptr;
  if (decoded == nullptr || decoded->GetLastStatus() != Gdiplus::Ok) {
    CUtility::Log("[%s] PNG resource %u cannot be decoded", "CLoadingWnd::LoadPngResource", id);
    delete decoded;
    stream->Release();
    return false;
  }
  image.Attach(decoded, stream);
  return true;
}

// ---- The screen's DPI ----

UINT QueryWindowDpi(HWND window) {
  // Windows 10 1607 and later: the window's own DPI, from user32, which is loaded already.
  const auto getDpiForWindow = lumo::LoadedFunction<GetDpiForWindowFn>(L"user32.dll", "GetDpiForWindow");
  if (getDpiForWindow != nullptr && window != nullptr) {
    const UINT dpi = getDpiForWindow(window);
    if (dpi != 0) return dpi;
  }

  // Windows 8.1: the DPI of the window's monitor, from shcore.dll, loaded from the system
  // folder (never by name: the launcher's own folder is a downloads folder).
  lumo::UniqueLibrary shcore(CUtility::LoadSystemLibrary(L"shcore.dll"));
  auto getDpiForMonitor = shcore ? reinterpret_cast<GetDpiForMonitorFn>(reinterpret_cast<void*>(
                                       ::GetProcAddress(shcore.get(), "GetDpiForMonitor")))
                                 : nullptr;
  UINT dpiX = 0, dpiY = 0;
  if (getDpiForMonitor != nullptr &&
      SUCCEEDED(getDpiForMonitor(::MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), kMonitorEffectiveDpi,
                                 &dpiX, &dpiY)) &&
      dpiX != 0)
    return dpiX;

  // Windows 7: one DPI for every screen.
  lumo::UniqueWindowDC screen(nullptr);
  const int dpi = screen.get() != nullptr ? ::GetDeviceCaps(screen.get(), LOGPIXELSX) : 0;
  return dpi > 0 ? static_cast<UINT>(dpi) : lumo::kDesignDpi;
}

// ---- The window ----

CLoadingWnd::CLoadingWnd() {
  for (int i = 0; i < lumo::kImageCount; ++i) LoadPngResource(IDP_BACKGROUND + i, m_images[i]);
  LoadPngResource(IDP_BACKGROUND_2X, m_largeBackground);
  s_pInstance = this;
}

CLoadingWnd::~CLoadingWnd() {
  if (s_pInstance == this) s_pInstance = nullptr;
  ReleaseContent();
  for (CPngImage& image : m_images) image.Reset();
  m_largeBackground.Reset();
  if (m_hWnd != nullptr) ::DestroyWindow(m_hWnd);
  m_hWnd = nullptr;
}

bool CLoadingWnd::HasImage(int index) const {
  return index >= 0 && index < lumo::kImageCount && static_cast<bool>(m_images[index]);
}

bool CLoadingWnd::RegisterWindowClass() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  if (::GetClassInfoExW(instance, kClassName, &wc)) return true;
  wc.cbSize = sizeof(wc);
  // Double clicks, no cursor, no background brush (the erase handler paints everything),
  // no class icon (the window gets its own).
  wc.style = CS_DBLCLKS;
  wc.lpfnWndProc = &CLoadingWnd::WindowProc;
  wc.hInstance = instance;
  wc.lpszClassName = kClassName;
  return ::RegisterClassExW(&wc) != 0;
}

bool CLoadingWnd::Create() {
  if (m_hWnd != nullptr) return true;
  if (!RegisterWindowClass()) {
    CUtility::Log("[%s] cannot register the window class", "CLoadingWnd::Create");
    return false;
  }
  HWND hwnd = ::CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kClassName, kTitle, WS_POPUP, 0, 0,
                                lumo::kLoadingWindowWidth, lumo::kLoadingWindowHeight, nullptr, nullptr,
                                ::GetModuleHandleW(nullptr), this);
  if (hwnd == nullptr) {
    CUtility::Log("[%s] cannot create the window", "CLoadingWnd::Create");
    return false;
  }
  // Without SWP_NOACTIVATE this would take the focus from the user's window.
  ::SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOREDRAW | SWP_NOACTIVATE);
  m_hIcon.reset(static_cast<HICON>(
      ::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_MAIN), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE)));
  if (m_hIcon) {
    ::SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon.get()));
    ::SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon.get()));
  }
  // The main thread takes messages whenever it waits, but not inside a long system call
  // (a folder removal, a copy); there the window keeps its picture instead of a ghost.
  ::DisableProcessWindowsGhosting();
  return true;
}

void CLoadingWnd::Layout() {
  if (m_hWnd == nullptr) return;
  // The window was created at (0, 0), on the primary screen, where it will be centred.
  ApplyLayout(QueryWindowDpi(m_hWnd), 0, 0);
}

void CLoadingWnd::ApplyLayout(UINT dpi, int x, int y) {
  m_nLayoutDpi = lumo::LayoutDpi(static_cast<int>(dpi));
  const lumo::PixelSize size = lumo::LoadingWindowSize(m_nLayoutDpi);
  ::MoveWindow(m_hWnd, x, y, size.width, size.height, TRUE);
  RECT client{};
  ::GetClientRect(m_hWnd, &client);
  HRGN region = ::CreateRoundRectRgn(client.left, client.top, client.right, client.bottom, 0, 0);
  // On success the system owns the region; only a refused one is ours to delete.
  if (region != nullptr && !::SetWindowRgn(m_hWnd, region, TRUE)) ::DeleteObject(region);
  const RECT all{0, 0, size.width, size.height};
  m_bContentReady = Render(all) ? TRUE : FALSE;
}

void CLoadingWnd::ShowNextFrame() {
  const lumo::PixelSize size = lumo::LoadingWindowSize(m_nLayoutDpi);
  const RECT all{0, 0, size.width, size.height};
  Render(all);
  RepaintNow();
}

void CLoadingWnd::RepaintNow() {
  if (m_hWnd != nullptr) ::RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

void CLoadingWnd::ReleaseContent() {
  if (m_dcMemory && m_hOldBitmap != nullptr) ::SelectObject(m_dcMemory.get(), m_hOldBitmap);
  m_hOldBitmap = nullptr;
  m_dcMemory.reset();
  m_bmpMemory.reset();
}

bool CLoadingWnd::Render(const RECT& rect) {
  ReleaseContent();
  {
    lumo::UniqueWindowDC screen(nullptr);
    if (screen.get() == nullptr) return false;
    m_dcMemory.reset(::CreateCompatibleDC(screen.get()));
    m_bmpMemory.reset(::CreateCompatibleBitmap(screen.get(), rect.right - rect.left, rect.bottom - rect.top));
  }
  if (!m_dcMemory || !m_bmpMemory) {
    CUtility::Log("[%s] no off-screen bitmap", "CLoadingWnd::Render");
    ReleaseContent();
    return false;
  }
  m_hOldBitmap = ::SelectObject(m_dcMemory.get(), m_bmpMemory.get());

  if (!m_images[0]) return false;

  // The background at its own size scaled for the screen, from the smaller of the two
  // pictures that is at least that large: at 100 % the picture itself, pixel for pixel;
  // on a scaled screen the large one, reduced, so that no picture is ever enlarged.
  const lumo::PixelSize smallSize = SizeOf(m_images[0]);
  const lumo::PixelRect place = lumo::LayoutForDpi(m_nLayoutDpi, smallSize, lumo::PixelSize{0, 0}).background;
  const lumo::PixelSize sources[] = {smallSize, SizeOf(m_largeBackground)};
  const bool large = lumo::PickPicture(lumo::PixelSize{place.width, place.height}, sources, 2) == 1;
  Gdiplus::Image* background = large ? m_largeBackground.Get() : m_images[0].Get();

  Gdiplus::Graphics graphics(m_dcMemory.get());
  graphics.DrawImage(background, place.x, place.y, place.width, place.height);

  const int index = lumo::NextFrameIndex(m_nFrameCounter);
  m_nFrameCounter = lumo::AdvanceFrameCounter(m_nFrameCounter);
  // A frame that did not load is skipped: the background shows through for that step.
  Gdiplus::Image* frame = m_images[index].Get();
  if (frame != nullptr) {
    const lumo::PixelRect at = lumo::LayoutForDpi(m_nLayoutDpi, smallSize, SizeOf(m_images[index])).frame;
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    graphics.DrawImage(frame, at.x, at.y, at.width, at.height);
  }
  return true;
}

void CLoadingWnd::StartHideStep() { OnTimer(lumo::kTimerHideStep); }

// ---- Messages ----

LRESULT CALLBACK CLoadingWnd::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    auto* self = static_cast<CLoadingWnd*>(create->lpCreateParams);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    if (self != nullptr) self->m_hWnd = hwnd;
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
  }
  auto* self = reinterpret_cast<CLoadingWnd*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    if (self != nullptr) self->m_hWnd = nullptr;
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
  }
  if (self == nullptr) return ::DefWindowProcW(hwnd, message, wParam, lParam);

  switch (message) {
    case WM_ERASEBKGND:
      return self->OnEraseBkgnd(reinterpret_cast<HDC>(wParam));
    case WM_SHOWWINDOW: {
      const LRESULT result = ::DefWindowProcW(hwnd, message, wParam, lParam);
      self->OnShowWindow(wParam != FALSE);
      return result;
    }
    case WM_TIMER:
      self->OnTimer(wParam);
      return ::DefWindowProcW(hwnd, message, wParam, lParam);
    case WM_DPICHANGED:
      self->OnDpiChanged(LOWORD(wParam));
      return 0;
    case WM_CLOSE:
      self->OnClose();
      return 0;
    default:
      return ::DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

LRESULT CLoadingWnd::OnEraseBkgnd(HDC dc) {
  if (!m_bContentReady || !m_dcMemory) return ::DefWindowProcW(m_hWnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT rect{};
  ::GetWindowRect(m_hWnd, &rect);
  POINT corners[2] = {{rect.left, rect.top}, {rect.right, rect.bottom}};
  ::ScreenToClient(m_hWnd, &corners[0]);
  ::ScreenToClient(m_hWnd, &corners[1]);
  ::BitBlt(dc, corners[0].x, corners[0].y, corners[1].x - corners[0].x, corners[1].y - corners[0].y, m_dcMemory.get(),
           0, 0, SRCCOPY);
  return TRUE;
}

void CLoadingWnd::OnShowWindow(bool show) {
  if (!show) return;
  ::KillTimer(m_hWnd, lumo::kTimerDwell);
  m_nDwellCounter = 0;
  RECT client{};
  ::GetClientRect(m_hWnd, &client);
  RECT work{};
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  ::KillTimer(m_hWnd, lumo::kTimerHideStep);
  const int width = client.right - client.left;
  const int height = client.bottom - client.top;
  const lumo::PixelPoint at = lumo::CentredOrigin(work.right, work.bottom, width, height);
  ::SetWindowPos(m_hWnd, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  m_nFadeLevel = lumo::kFadeLow;
  RepaintNow();
  ::SetTimer(m_hWnd, lumo::kTimerShowStep, lumo::kStepPeriodMs, nullptr);
}

void CLoadingWnd::OnDpiChanged(UINT dpi) {
  // The window never leaves the middle of the primary work area, so this means the scale of
  // that screen changed while the window was up. The suggested rectangle is not taken:
  // the window is laid out anew for the new DPI and centred again, as when it was shown.
  RECT work{};
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const lumo::PixelSize size = lumo::LoadingWindowSize(static_cast<int>(dpi));
  const lumo::PixelPoint at = lumo::CentredOrigin(work.right, work.bottom, size.width, size.height);
  ApplyLayout(dpi, at.x, at.y);
  RepaintNow();
}

void CLoadingWnd::OnClose() {
  // A close request (Alt+F4, another program) does not end the launcher's work, and the
  // default handling would destroy the window under the launcher's feet: the window stays
  // until the launch no longer needs it.
  CUtility::Log("[%s] close request ignored; the run goes on", "CLoadingWnd::OnClose");
}

void CLoadingWnd::OnTimer(UINT_PTR id) {
  switch (id) {
    case lumo::kTimerShowStep: {
      ::KillTimer(m_hWnd, lumo::kTimerShowStep);
      const lumo::FadeResult step = lumo::ShowStep(m_nFadeLevel);
      m_nFadeLevel = step.level;
      RepaintNow();
      if (step.done)
        ::SetTimer(m_hWnd, lumo::kTimerDwell, lumo::kDwellPeriodMs, nullptr);
      else
        ::SetTimer(m_hWnd, lumo::kTimerShowStep, lumo::kStepPeriodMs, nullptr);
      break;
    }
    case lumo::kTimerHideStep: {
      ::KillTimer(m_hWnd, lumo::kTimerHideStep);
      const lumo::FadeResult step = lumo::HideStep(m_nFadeLevel);
      m_nFadeLevel = step.level;
      RepaintNow();
      if (step.done)
        ::ShowWindow(m_hWnd, SW_HIDE);
      else
        ::SetTimer(m_hWnd, lumo::kTimerHideStep, lumo::kStepPeriodMs, nullptr);
      break;
    }
    case lumo::kTimerDwell: {
      POINT cursor{};
      RECT window{};
      ::GetWindowRect(m_hWnd, &window);
      const bool outside = !::GetCursorPos(&cursor) || !::PtInRect(&window, cursor);
      switch (lumo::DwellTick(m_nDwellTimeout, outside, m_nDwellCounter)) {
        case lumo::DwellAction::kStop:
          ::KillTimer(m_hWnd, lumo::kTimerDwell);
          break;
        case lumo::DwellAction::kStartHide:
          ::KillTimer(m_hWnd, lumo::kTimerDwell);
          StartHideStep();
          break;
        case lumo::DwellAction::kKeepWaiting:
          break;
      }
      break;
    }
    default:
      break;
  }
}
