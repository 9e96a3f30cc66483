// The loading window on a real (Wine) desktop: what ShowLoadingWindow creates, where it
// stands, what reaches the screen, how the animated wait and the timers drive it, and that
// nothing is left behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/platform.h"
#include "support/winsupport.h"
#include "ui/core/animation.h"
#include "ui/loading.h"
#include "ui/loading_wnd.h"
#include "util/utility.h"

namespace {

using namespace testsupport;

constexpr int kWidth = 307;
constexpr int kHeight = 93;

// GDI+ for decoding the pictures independently of the window.
class GdiplusSession {
 public:
  GdiplusSession() {
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token_, &input, nullptr);
  }
  ~GdiplusSession() { Gdiplus::GdiplusShutdown(token_); }

 private:
  ULONG_PTR token_ = 0;
};

// Every test starts and ends without a loading window, whatever an earlier one left.
class LoadingWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    CloseLoadingWindow(&slot_);
    lumo::UniqueWindowDC screen(nullptr);
    if (::GetDeviceCaps(screen.get(), LOGPIXELSX) != 96) GTEST_SKIP() << "not applicable here: the screen is not at 96 DPI";
  }
  void TearDown() override { CloseLoadingWindow(&slot_); }

  HWND Shown() {
    ShowLoadingWindow(&slot_);
    return slot_ != nullptr ? slot_->GetSafeHwnd() : nullptr;
  }

  CLoadingWnd* slot_ = nullptr;
};

int CountLoadingWindows() {
  int count = 0;
  HWND window = nullptr;
  while ((window = ::FindWindowExW(nullptr, window, CLoadingWnd::kClassName, nullptr)) != nullptr) ++count;
  return count;
}

// Handles whatever messages are waiting, for the given time (the launcher itself never
// does this; only the timer tests need it).
template <typename Until>
bool PumpUntil(DWORD timeoutMs, Until until) {
  const DWORD start = ::GetTickCount();
  while (::GetTickCount() - start < timeoutMs) {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    if (until()) return true;
    ::Sleep(10);
  }
  return until();
}

// A plain window of this process, shown and activated, to see what the loading window
// does to activation and z-order.
HWND MakeOrdinaryWindow(int x, int y) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = ::DefWindowProcW;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = L"LumoTestOrdinary";
  wc.hbrBackground = static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH));
  ::RegisterClassW(&wc);
  HWND window = ::CreateWindowExW(0, wc.lpszClassName, L"ordinary", WS_POPUP, x, y, 400, 200, nullptr, nullptr,
                                  wc.hInstance, nullptr);
  ::ShowWindow(window, SW_SHOW);
  ::SetForegroundWindow(window);
  PumpUntil(200, [] { return false; });
  return window;
}

TEST_F(LoadingWindow, PicturesLoadFromTheResourcesAtTheirOwnSizes) {
  GdiplusSession gdiplus;
  CPngImage background;
  ASSERT_TRUE(LoadPngResource(200, background));
  EXPECT_EQ(background.Get()->GetWidth(), 306u);
  EXPECT_EQ(background.Get()->GetHeight(), 92u);
  CPngImage large;
  ASSERT_TRUE(LoadPngResource(220, large));
  EXPECT_EQ(large.Get()->GetWidth(), 612u);
  EXPECT_EQ(large.Get()->GetHeight(), 184u);
  for (UINT id = 201; id <= 212; ++id) {
    CPngImage frame;
    ASSERT_TRUE(LoadPngResource(id, frame)) << id;
    EXPECT_EQ(frame.Get()->GetWidth(), 48u) << id;
    EXPECT_EQ(frame.Get()->GetHeight(), 48u) << id;
  }
  // A missing picture is a failure that leaves the place empty, even a place in use.
  CPngImage missing;
  ASSERT_TRUE(LoadPngResource(201, missing));
  EXPECT_FALSE(LoadPngResource(213, missing));
  EXPECT_FALSE(missing);
  // The icon is not a PNG resource.
  EXPECT_FALSE(LoadPngResource(128, missing));
}

TEST_F(LoadingWindow, ShowCreatesATopmostToolWindowCentredWithoutActivating) {
  HWND ordinary = MakeOrdinaryWindow(300, 300);
  ASSERT_NE(ordinary, nullptr);
  const HWND foregroundBefore = ::GetForegroundWindow();

  HWND window = Shown();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(slot_, CLoadingWnd::Instance());
  EXPECT_TRUE(IsLoadingWindowShown());
  EXPECT_TRUE(::IsWindowVisible(window));
  EXPECT_EQ(::GetForegroundWindow(), foregroundBefore) << "the window must not take the focus";
  EXPECT_NE(::GetActiveWindow(), window);

  wchar_t title[32] = {};
  ::GetWindowTextW(window, title, 32);
  EXPECT_STREQ(title, L"Loading");
  const LONG_PTR style = ::GetWindowLongPtrW(window, GWL_STYLE);
  const LONG_PTR exStyle = ::GetWindowLongPtrW(window, GWL_EXSTYLE);
  EXPECT_TRUE(style & WS_POPUP);
  EXPECT_FALSE(style & (WS_CAPTION | WS_THICKFRAME | WS_SYSMENU | WS_CHILD));
  EXPECT_TRUE(exStyle & WS_EX_TOPMOST);
  EXPECT_TRUE(exStyle & WS_EX_TOOLWINDOW);
  EXPECT_FALSE(exStyle & WS_EX_LAYERED);
  EXPECT_EQ(::GetParent(window), nullptr);

  // Class: double clicks, no cursor, no brush, no class icon; window icon 128 both sizes.
  EXPECT_EQ(::GetClassLongPtrW(window, GCL_STYLE), static_cast<ULONG_PTR>(CS_DBLCLKS));
  EXPECT_EQ(::GetClassLongPtrW(window, GCLP_HCURSOR), 0u);
  EXPECT_EQ(::GetClassLongPtrW(window, GCLP_HBRBACKGROUND), 0u);
  EXPECT_EQ(::GetClassLongPtrW(window, GCLP_HICON), 0u);
  EXPECT_NE(::SendMessageW(window, WM_GETICON, ICON_BIG, 0), 0);
  EXPECT_NE(::SendMessageW(window, WM_GETICON, ICON_SMALL, 0), 0);

  // 307 x 93, centred on the rectangle from the origin to the work area's right and bottom.
  RECT rect{};
  ::GetWindowRect(window, &rect);
  RECT work{};
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  EXPECT_EQ(rect.right - rect.left, kWidth);
  EXPECT_EQ(rect.bottom - rect.top, kHeight);
  EXPECT_EQ(rect.left, work.right / 2 - kWidth / 2);
  EXPECT_EQ(rect.top, work.bottom / 2 - kHeight / 2);

  // Topmost: it stays above an ordinary window that is brought to the front later.
  ::SetWindowPos(ordinary, HWND_TOP, rect.left - 10, rect.top - 10, 400, 200, SWP_SHOWWINDOW);
  ::SetForegroundWindow(ordinary);
  const POINT middle{rect.left + kWidth / 2, rect.top + 10};
  EXPECT_EQ(::WindowFromPoint(middle), window);

  // Every picture loaded; the content is ready.
  for (int i = 0; i < 13; ++i) EXPECT_TRUE(slot_->HasImage(i)) << i;
  EXPECT_TRUE(slot_->HasLargeBackground());
  EXPECT_EQ(slot_->GetLayoutDpi(), 96);
  EXPECT_TRUE(slot_->IsContentReady());
  EXPECT_EQ(CountLoadingWindows(), 1);
  ::DestroyWindow(ordinary);
}

TEST_F(LoadingWindow, SecondShowCreatesNothingAndShowsTheSameWindowAgain) {
  HWND window = Shown();
  ASSERT_NE(window, nullptr);
  CLoadingWnd* first = slot_;

  ::ShowWindow(window, SW_HIDE);
  ASSERT_FALSE(::IsWindowVisible(window));
  CLoadingWnd* other = nullptr;
  ShowLoadingWindow(&other);
  EXPECT_EQ(other, nullptr) << "a second call hands out no new window";
  EXPECT_EQ(slot_, first);
  EXPECT_EQ(slot_->GetSafeHwnd(), window);
  EXPECT_TRUE(::IsWindowVisible(window)) << "the existing window is shown again";
  EXPECT_EQ(CountLoadingWindows(), 1);
}

TEST_F(LoadingWindow, CloseTakesTheWindowDownAndClearsTheSlot) {
  HWND window = Shown();
  ASSERT_NE(window, nullptr);
  CloseLoadingWindow(&slot_);
  EXPECT_EQ(slot_, nullptr);
  EXPECT_FALSE(IsLoadingWindowShown());
  EXPECT_EQ(CLoadingWnd::Instance(), nullptr);
  EXPECT_FALSE(::IsWindow(window));
  EXPECT_EQ(CountLoadingWindows(), 0);

  // A window can be made again after a close (GDI+ is started anew).
  window = Shown();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(slot_->IsContentReady());
}

TEST_F(LoadingWindow, CloseWithoutAWindowDoesNothing) {
  // A slot holding something else is left alone when there is no window.
  CLoadingWnd* unrelated = reinterpret_cast<CLoadingWnd*>(static_cast<uintptr_t>(0x1234));
  CLoadingWnd* slot = unrelated;
  CloseLoadingWindow(&slot);
  EXPECT_EQ(slot, unrelated);
  CloseLoadingWindow(nullptr);
  EXPECT_FALSE(IsLoadingWindowShown());

  // Without a window the animated wait only sleeps: the time passes, nothing appears.
  const DWORD start = ::GetTickCount();
  AnimatedWait(300);
  EXPECT_GE(::GetTickCount() - start, 280u);
  EXPECT_FALSE(IsLoadingWindowShown());
  EXPECT_EQ(CountLoadingWindows(), 0);
}

TEST_F(LoadingWindow, AnimatedWaitDrawsOneFramePerFullSlice) {
  ASSERT_NE(Shown(), nullptr);
  const int start = slot_->GetFrameCounter();
  EXPECT_EQ(start, 1) << "the layout step renders the first frame";
  AnimatedWait(500);
  EXPECT_EQ(slot_->GetFrameCounter(), start + 4);
  AnimatedWait(119);
  EXPECT_EQ(slot_->GetFrameCounter(), start + 4);
  AnimatedWait(240);
  EXPECT_EQ(slot_->GetFrameCounter(), start + 6);
}

// The pixel of a decoded picture as a GDI colour.
COLORREF PicturePixel(Gdiplus::Bitmap& bitmap, int x, int y) {
  Gdiplus::Color colour;
  bitmap.GetPixel(x, y, &colour);
  return RGB(colour.GetR(), colour.GetG(), colour.GetB());
}

bool Near(COLORREF a, COLORREF b) {
  return std::abs(GetRValue(a) - GetRValue(b)) <= 2 && std::abs(GetGValue(a) - GetGValue(b)) <= 2 &&
         std::abs(GetBValue(a) - GetBValue(b)) <= 2;
}

// A background picture (200, or 220 at twice the size), decoded on its own (not through the
// window).
std::unique_ptr<Gdiplus::Bitmap> DecodeBackground(lumo::UniqueHGlobal& block, IStream** stream, UINT id = 200) {
  HMODULE module = ::GetModuleHandleW(nullptr);
  HRSRC info = ::FindResourceW(module, MAKEINTRESOURCEW(id), L"PNG");
  if (info == nullptr) return nullptr;
  const DWORD size = ::SizeofResource(module, info);
  block.reset(::GlobalAlloc(GMEM_MOVEABLE, size));
  ::CopyMemory(::GlobalLock(block.get()), ::LockResource(::LoadResource(module, info)), size);
  ::GlobalUnlock(block.get());
  if (FAILED(::CreateStreamOnHGlobal(block.get(), FALSE, stream))) return nullptr;
  return std::unique_ptr<Gdiplus::Bitmap>(new Gdiplus::Bitmap(*stream, FALSE));
}

TEST_F(LoadingWindow, BackgroundAndSpinnerReachTheScreen) {
  HWND window = Shown();
  ASSERT_NE(window, nullptr);
  RECT rect{};
  ::GetWindowRect(window, &rect);

  lumo::UniqueHGlobal block;
  IStream* stream = nullptr;
  std::unique_ptr<Gdiplus::Bitmap> picture = DecodeBackground(block, &stream);
  ASSERT_TRUE(picture && picture->GetLastStatus() == Gdiplus::Ok);

  AnimatedWait(120);
  lumo::UniqueWindowDC screen(nullptr);
  // Outside the spinner's square the screen shows the background picture pixel for pixel.
  const lumo::PixelPoint spinner = lumo::FramePosition(kWidth, kHeight, 48, 48);
  int compared = 0, differing = 0;
  for (int y = 0; y < 92; y += 7) {
    for (int x = 0; x < 306; x += 9) {
      if (x >= spinner.x - 1 && x <= spinner.x + 24 && y >= spinner.y - 1 && y <= spinner.y + 24) continue;
      ++compared;
      const COLORREF onScreen = ::GetPixel(screen.get(), rect.left + x, rect.top + y);
      if (!Near(onScreen, PicturePixel(*picture, x, y))) {
        if (++differing <= 5) ADD_FAILURE() << "pixel " << x << "," << y << " is " << std::hex << onScreen;
      }
    }
  }
  EXPECT_GT(compared, 400);
  EXPECT_EQ(differing, 0);

  // The spinner's square changes from one frame to the next.
  auto grab = [&] {
    std::vector<COLORREF> pixels;
    for (int y = 0; y < 24; y += 2)
      for (int x = 0; x < 24; x += 2)
        pixels.push_back(::GetPixel(screen.get(), rect.left + spinner.x + x, rect.top + spinner.y + y));
    return pixels;
  };
  const std::vector<COLORREF> before = grab();
  slot_->ShowNextFrame();
  // Wine hands a window's drawing to the X server when its thread next takes messages.
  std::vector<COLORREF> after;
  EXPECT_TRUE(PumpUntil(1000, [&] { return (after = grab()) != before; }));
  // ... and it is not just background there: a spoke darker than the panel is drawn.
  int dark = 0;
  for (COLORREF c : after) dark += GetRValue(c) < 150 ? 1 : 0;
  EXPECT_GT(dark, 3);

  picture.reset();
  stream->Release();
}

TEST_F(LoadingWindow, DpiChangeLaysTheWindowOutAnewAndCentresIt) {
  HWND window = Shown();
  ASSERT_NE(window, nullptr);
  RECT work{};
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  // The scale of the screen changes while the window is up (the suggested rectangle is
  // deliberately off: the window keeps to the middle of the work area), and back again.
  struct Step {
    WORD dpi;
    int width, height;
  };
  for (const Step& step : {Step{144, 460, 139}, Step{192, 613, 185}, Step{96, kWidth, kHeight}}) {
    RECT suggested{0, 0, 10, 10};
    ::SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(step.dpi, step.dpi), reinterpret_cast<LPARAM>(&suggested));
    RECT rect{};
    ::GetWindowRect(window, &rect);
    EXPECT_EQ(rect.right - rect.left, step.width) << step.dpi;
    EXPECT_EQ(rect.bottom - rect.top, step.height) << step.dpi;
    EXPECT_EQ(rect.left, work.right / 2 - step.width / 2) << step.dpi;
    EXPECT_EQ(rect.top, work.bottom / 2 - step.height / 2) << step.dpi;
    // The region is made anew for the new client rectangle.
    lumo::UniqueGdiObject region(::CreateRectRgn(0, 0, 0, 0));
    lumo::UniqueGdiObject expected(::CreateRoundRectRgn(0, 0, step.width, step.height, 0, 0));
    ASSERT_NE(::GetWindowRgn(window, static_cast<HRGN>(region.get())), ERROR);
    EXPECT_TRUE(::EqualRgn(static_cast<HRGN>(region.get()), static_cast<HRGN>(expected.get()))) << step.dpi;
    EXPECT_EQ(slot_->GetLayoutDpi(), step.dpi);
    EXPECT_TRUE(slot_->IsContentReady()) << step.dpi;
  }
}

// From another thread while the test thread waits: after a moment, whether the window
// answers a sent message within the hung-window limit (1 s, as the shell's own check), then
// a DPI change posted to it. The request to close it and to quit go along when asked.
class Prober {
 public:
  Prober(HWND window, bool closeAndQuit)
      : window_(window), closeAndQuit_(closeAndQuit), waiter_(::GetCurrentThreadId()) {
    thread_.reset(::CreateThread(nullptr, 0, &Prober::Run, this, 0, nullptr));
  }
  ~Prober() { Join(); }
  Prober(const Prober&) = delete;
  Prober& operator=(const Prober&) = delete;
  void Join() {
    if (thread_) ::WaitForSingleObject(thread_.get(), 10000);
    thread_.reset();
  }
  bool Answered() const { return answered_; }

 private:
  static DWORD WINAPI Run(LPVOID self) {
    static_cast<Prober*>(self)->Probe();
    return 0;
  }
  void Probe() {
    ::Sleep(500);
    DWORD_PTR result = 0;
    answered_ = ::SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result) != 0;
    static RECT suggested{0, 0, 10, 10};
    ::PostMessageW(window_, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    if (closeAndQuit_) {
      ::PostMessageW(window_, WM_CLOSE, 0, 0);
      ::PostThreadMessageW(waiter_, WM_QUIT, 7, 0);
    }
  }

  HWND window_;
  bool closeAndQuit_;
  DWORD waiter_;
  volatile bool answered_ = false;
  lumo::UniqueHandle thread_;
};

DWORD WINAPI SleepThreeSeconds(LPVOID) {
  ::Sleep(3000);
  return 0;
}

TEST_F(LoadingWindow, AnswersAndFollowsDpiChangesWhileTheLauncherWaits) {
  LUMO_RELEASE_CHECK("8");
  HWND window = Shown();
  ASSERT_NE(window, nullptr);
  struct Wait {
    const char* name;
    void (*run)();
  };
  const Wait waits[] = {
      {"animated wait", [] { AnimatedWait(3000); }},
      // The form the wait for the extraction thread takes: an object, no time limit.
      {"wait for a thread",
       [] {
         lumo::UniqueHandle thread(::CreateThread(nullptr, 0, &SleepThreeSeconds, nullptr, 0, nullptr));
         EXPECT_TRUE(CUtility::WaitTakingMessages(thread.get(), INFINITE));
       }},
  };
  for (const Wait& wait : waits) {
    PumpUntil(50, [] { return true; });  // whatever an earlier row left queued
    ::SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(96, 96), 0);
    Prober prober(window, false);
    wait.run();
    prober.Join();
    EXPECT_TRUE(prober.Answered()) << wait.name << ": the window did not answer within 1 s";
    RECT rect{};
    ::GetWindowRect(window, &rect);
    EXPECT_EQ(slot_->GetLayoutDpi(), 144) << wait.name;
    EXPECT_EQ(rect.right - rect.left, 460) << wait.name;
  }
}

TEST_F(LoadingWindow, CloseAndQuitRequestsDuringAWaitChangeNothing) {
  Sandbox box(L"loading-close");
  HWND window = Shown();
  ASSERT_NE(window, nullptr);
  const int frames = slot_->GetFrameCounter();
  Prober prober(window, true);
  const DWORD start = ::GetTickCount();
  AnimatedWait(1500);
  const DWORD elapsed = ::GetTickCount() - start;
  prober.Join();

  // The wait ran its course with its frames (the DPI change drew one more), the window is
  // still there, and the quit request was not kept for a later loop.
  EXPECT_GE(elapsed, 1450u);
  EXPECT_EQ(slot_->GetFrameCounter(), frames + 12 + 1);
  EXPECT_TRUE(::IsWindow(window));
  EXPECT_EQ(slot_->GetSafeHwnd(), window);
  MSG message;
  EXPECT_FALSE(::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  const std::wstring log = ReadUtf16(LogPath(box.Temp()));
  EXPECT_TRUE(Contains(log, L"[CLoadingWnd::OnClose] close request ignored; the run goes on")) << log;
  EXPECT_TRUE(Contains(log, L"[CUtility::WaitTakingMessages] a quit request (7) was taken while waiting")) << log;
}

TEST_F(LoadingWindow, TimersFadeInDwellWhileTheCursorIsOverAndHideWhenItLeaves) {
  HWND window = Shown();
  ASSERT_NE(window, nullptr);
  RECT rect{};
  ::GetWindowRect(window, &rect);
  EXPECT_EQ(slot_->GetFadeLevel(), 15);
  slot_->SetDwellTimeout(lumo::kDefaultDwellTimeout);  // the launcher switches the dwell off

  // The cursor over the window: the show steps run to 240 and the window stays.
  ::SetCursorPos(rect.left + 20, rect.top + 20);
  EXPECT_TRUE(PumpUntil(3000, [&] { return slot_->GetFadeLevel() >= 240; }));
  EXPECT_FALSE(PumpUntil(4500, [&] { return !::IsWindowVisible(window); })) << "hidden with the cursor over it";
  EXPECT_EQ(slot_->GetFadeLevel(), 240);

  // The cursor outside: after the dwell the hide steps take the window off the screen, but
  // the window itself remains until it is closed.
  ::SetCursorPos(5, 5);
  EXPECT_TRUE(PumpUntil(8000, [&] { return !::IsWindowVisible(window); }));
  EXPECT_EQ(slot_->GetFadeLevel(), 15);
  EXPECT_TRUE(::IsWindow(window));
  EXPECT_TRUE(IsLoadingWindowShown());

  // Showing it again starts the show sequence anew.
  ShowLoadingWindow(&slot_);
  EXPECT_TRUE(::IsWindowVisible(window));
  EXPECT_TRUE(PumpUntil(3000, [&] { return slot_->GetFadeLevel() >= 240; }));
}

// The launcher's window has its dwell switched off: it stays on the screen until the
// launcher closes it, however long the cursor is away, now that its timers run.
TEST_F(LoadingWindow, TheLaunchersWindowStaysUpUntilItIsClosed) {
  HWND window = Shown();
  ASSERT_NE(window, nullptr);
  ::SetCursorPos(5, 5);
  EXPECT_FALSE(PumpUntil(7000, [&] { return !::IsWindowVisible(window); }));
  EXPECT_EQ(slot_->GetFadeLevel(), 240);
}

// Sets the screen DPI (HKCU\Control Panel\Desktop\LogPixels) for the programs started
// while it lives, and then puts back what was there, or removes the value again (a fresh
// prefix has none, which means 96). Wine reads the value once, when a process starts: this
// process and those already running keep their DPI; only programs started later see it.
class ScreenDpiOverride {
 public:
  explicit ScreenDpiOverride(DWORD dpi) {
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                          nullptr, key_.put(), nullptr) != ERROR_SUCCESS)
      return;
    DWORD size = sizeof(saved_);
    hadValue_ = ::RegQueryValueExW(key_.get(), kValue, nullptr, &savedType_, saved_, &size) == ERROR_SUCCESS;
    savedSize_ = size;
    set_ = ::RegSetValueExW(key_.get(), kValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof(dpi)) ==
           ERROR_SUCCESS;
  }
  ~ScreenDpiOverride() {
    if (!set_) return;
    if (hadValue_)
      ::RegSetValueExW(key_.get(), kValue, 0, savedType_, saved_, savedSize_);
    else
      ::RegDeleteValueW(key_.get(), kValue);
  }
  ScreenDpiOverride(const ScreenDpiOverride&) = delete;
  ScreenDpiOverride& operator=(const ScreenDpiOverride&) = delete;
  bool Applied() const { return set_; }

 private:
  static constexpr const wchar_t* kValue = L"LogPixels";
  lumo::UniqueKey key_;
  bool hadValue_ = false;
  bool set_ = false;
  DWORD savedType_ = 0;
  DWORD savedSize_ = 0;
  BYTE saved_[64] = {};
};

// Pixels of a rectangle of a device context, row by row, as 0x00RRGGBB.
std::vector<DWORD> Capture(HDC source, int x, int y, int width, int height) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  lumo::UniqueGdiObject section(::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  lumo::UniqueMemoryDC dc(::CreateCompatibleDC(source));
  if (!section || !dc) return {};
  HGDIOBJ old = ::SelectObject(dc.get(), section.get());
  ::BitBlt(dc.get(), 0, 0, width, height, source, x, y, SRCCOPY);
  ::GdiFlush();
  std::vector<DWORD> pixels(static_cast<const DWORD*>(bits), static_cast<const DWORD*>(bits) + width * height);
  ::SelectObject(dc.get(), old);
  for (DWORD& p : pixels) p &= 0xFFFFFF;
  return pixels;
}

// A picture drawn at the given size the way the window draws its background (GDI+ on a
// memory DC, the graphics object's default interpolation).
std::vector<DWORD> DrawnAt(Gdiplus::Bitmap& picture, int width, int height) {
  lumo::UniqueWindowDC screen(nullptr);
  lumo::UniqueMemoryDC dc(::CreateCompatibleDC(screen.get()));
  lumo::UniqueGdiObject bitmap(::CreateCompatibleBitmap(screen.get(), width, height));
  HGDIOBJ old = ::SelectObject(dc.get(), bitmap.get());
  {
    Gdiplus::Graphics graphics(dc.get());
    graphics.DrawImage(&picture, 0, 0, width, height);
  }
  std::vector<DWORD> pixels = Capture(dc.get(), 0, 0, width, height);
  ::SelectObject(dc.get(), old);
  return pixels;
}

// How many pixels of the background's place differ, outside the spinner's square.
int DifferingOutsideSpinner(const std::vector<DWORD>& shown, const std::vector<DWORD>& expected,
                            const lumo::LoadingLayout& layout) {
  const lumo::PixelRect& bg = layout.background;
  const lumo::PixelRect& spin = layout.frame;
  if (shown.size() != expected.size() || shown.size() != static_cast<size_t>(bg.width * bg.height)) return -1;
  int differing = 0;
  for (int y = 0; y < bg.height; ++y)
    for (int x = 0; x < bg.width; ++x) {
      if (x >= spin.x - 1 && x <= spin.x + spin.width && y >= spin.y - 1 && y <= spin.y + spin.height) continue;
      // Both in the same byte order, so the per-channel comparison of COLORREFs serves.
      if (!Near(shown[y * bg.width + x], expected[y * bg.width + x])) ++differing;
    }
  return differing;
}

TEST(LoadingWindowProcess, At150PercentTheWindowIsScaledAndDrawnFromTheLargeBackground) {
  LUMO_WINE_ONLY("Wine reads the screen's DPI per program as it starts; Windows at log-on");
  Sandbox box(L"loading-150");
  const std::wstring report = box.Root() + L"\\window.txt";
  HANDLE process = nullptr;
  // A window left behind by a failed check would disturb the tests after this one.
  auto stop = lumo::MakeScopeExit([&process] { WaitExit(process, 0); });
  {
    // Only for the start of the program: it reads the DPI once, as it starts.
    ScreenDpiOverride dpi(144);
    ASSERT_TRUE(dpi.Applied());
    process = Start(Quote(ExeDir() + L"\\loading_window_demo.exe") + L" 5000 " + Quote(report));
    ASSERT_NE(process, nullptr);
    for (int i = 0; i < 300 && ReadBytes(report).empty(); ++i) ::Sleep(50);
  }
  long left = 0, top = 0, right = 0, bottom = 0, workRight = 0, workBottom = 0;
  int topmost = 0, tool = 0;
  const std::vector<uint8_t> bytes = ReadBytes(report);
  const std::string text(bytes.begin(), bytes.end());
  ASSERT_EQ(std::sscanf(text.c_str(), "%ld %ld %ld %ld %d %d %ld %ld", &left, &top, &right, &bottom, &topmost, &tool,
                        &workRight, &workBottom),
            8)
      << "no report from the window";

  // The 306 x 92 the background covers times 1.5, and the column and row the region leaves
  // out; centred as at 100 %.
  const lumo::LoadingLayout layout = lumo::LayoutForDpi(144, {306, 92}, {48, 48});
  EXPECT_EQ(right - left, 460);
  EXPECT_EQ(bottom - top, 139);
  EXPECT_EQ(left, workRight / 2 - 460 / 2);
  EXPECT_EQ(top, workBottom / 2 - 139 / 2);

  // The screen shows the 612 x 184 background reduced to 459 x 138, not the 306 x 92 one
  // enlarged. The window reaches the screen a moment after it is shown: look for a while.
  GdiplusSession gdiplus;
  lumo::UniqueHGlobal largeBlock, smallBlock;
  IStream* largeStream = nullptr;
  IStream* smallStream = nullptr;
  std::unique_ptr<Gdiplus::Bitmap> large = DecodeBackground(largeBlock, &largeStream, 220);
  std::unique_ptr<Gdiplus::Bitmap> small = DecodeBackground(smallBlock, &smallStream, 200);
  ASSERT_TRUE(large && large->GetLastStatus() == Gdiplus::Ok && small && small->GetLastStatus() == Gdiplus::Ok);
  const std::vector<DWORD> fromLarge = DrawnAt(*large, layout.background.width, layout.background.height);
  const std::vector<DWORD> fromSmall = DrawnAt(*small, layout.background.width, layout.background.height);

  int differing = -1, differingFromSmall = -1;
  for (int attempt = 0; attempt < 40 && differing != 0; ++attempt) {
    if (attempt > 0) ::Sleep(100);
    lumo::UniqueWindowDC screen(nullptr);
    const std::vector<DWORD> shown =
        Capture(screen.get(), left, top, layout.background.width, layout.background.height);
    differing = DifferingOutsideSpinner(shown, fromLarge, layout);
    differingFromSmall = DifferingOutsideSpinner(shown, fromSmall, layout);
  }
  EXPECT_EQ(differing, 0) << "pixels that differ from the large background drawn at 459 x 138";
  // The check tells the two pictures apart: the small one enlarged is visibly different.
  EXPECT_GT(differingFromSmall, 1000);

  EXPECT_EQ(WaitExit(process, 30000), 0);
  process = nullptr;
  large.reset();
  small.reset();
  largeStream->Release();
  smallStream->Release();
}

TEST(LoadingWindowProcess, MissingPicturesLeaveTheWindowBlankButSound) {
  Sandbox box(L"bare-loading");
  EXPECT_EQ(RunWait(Quote(ExeDir() + L"\\bare_loading_window.exe"), 30000), 0);
  EXPECT_EQ(CountLoadingWindows(), 0);
}

TEST(LoadingWindowProcess, NoWindowOutlivesTheProcess) {
  Sandbox box(L"loading-demo");
  EXPECT_EQ(RunWait(Quote(ExeDir() + L"\\loading_window_demo.exe") + L" 600", 30000), 0);
  EXPECT_EQ(CountLoadingWindows(), 0);

  // The launcher itself shows the window while it works and takes it down at the end.
  const std::wstring launcher = CopyAs(LauncherPath(), box.Root(), L"loadingrun.exe");
  HANDLE process = Start(Quote(launcher));
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(WaitExit(process, 60000), 0);
  EXPECT_EQ(CountLoadingWindows(), 0);
}

}  // namespace
