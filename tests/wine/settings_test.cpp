// The settings hand-off on real system objects: the initial settings file through the
// platform's profile reader, session instructions and the code-sign probe in the product
// key, the debug markers of the switch pass, and the wait for the agent's manager.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "app/app.h"
#include "launch/product.h"
#include "settings/core/key_mapping.h"
#include "settings/init_setting.h"
#include "support/winsupport.h"
#include "ui/loading.h"

namespace {

using namespace testsupport;

std::wstring SessionProductKey() {
  return std::wstring(lumo::kProductBasePath) + L" LUMO_" + std::to_wstring(static_cast<int>(SessionId()));
}

void WriteAnsi(const std::wstring& path, const std::string& text) { ASSERT_TRUE(WriteBytes(path, text.data(), text.size())); }

void WriteUtf16WithBom(const std::wstring& path, const std::wstring& text) {
  std::string bytes = "\xFF\xFE";
  for (wchar_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  ASSERT_TRUE(WriteBytes(path, bytes.data(), bytes.size()));
}

// --- The initial settings file ---

TEST(InitSettingFile, EightBitFileWithLineFeedsAndLooseSpelling) {
  Sandbox box(L"init-ansi");
  WriteAnsi(box.Root() + L"\\.init_setting.ini",
            "[Other]\nlumo_token=WRONG\n[settings]\nLUMO_TOKEN = ab12cd  \ntoken_category=\t12\nToken_Mode=0\ntoken_kind = 3\n");
  CInitSetting s;
  s.Load(box.Root());
  EXPECT_EQ(s.token, L"ab12cd");
  EXPECT_EQ(s.tokenCategory, 12);
  EXPECT_EQ(s.tokenMode, 0);
  EXPECT_EQ(s.tokenKind, 3);
  EXPECT_EQ(s.ComposeSessionCode(), L"ab12cd_C12_K3");
}

TEST(InitSettingFile, Utf16FileWithByteOrderMark) {
  Sandbox box(L"init-utf16");
  WriteUtf16WithBom(box.Root() + L"\\.init_setting.ini",
                    L"[Settings]\r\nlumo_token=Zü9\r\ntoken_category=40\r\ntoken_mode=7\r\n");
  CInitSetting s;
  s.Load(box.Root() + L"\\");  // the work folder comes with its trailing backslash
  EXPECT_EQ(s.token, L"Zü9");
  EXPECT_EQ(s.tokenCategory, 40);
  EXPECT_EQ(s.tokenMode, 4);
}

TEST(InitSettingFile, OnlyTheFirstFileIsReadWhenBothExist) {
  Sandbox box(L"init-both");
  WriteAnsi(box.Root() + L"\\.init_setting.ini", "[Settings]\nunrelated=1\n");
  WriteAnsi(box.Root() + L"\\setup.ini", "[Settings]\nlumo_token=FROMSETUP\ntoken_kind=5\n");
  CInitSetting s;
  s.Load(box.Root());
  EXPECT_EQ(s.token, L"");
  EXPECT_EQ(s.tokenKind, 0);

  ::DeleteFileW((box.Root() + L"\\.init_setting.ini").c_str());
  CInitSetting fromSetup;
  fromSetup.Load(box.Root());
  EXPECT_EQ(fromSetup.token, L"FROMSETUP");
  EXPECT_EQ(fromSetup.tokenKind, 5);
}

TEST(InitSettingFile, NoFileOrNoFolderKeepsTheDefaults) {
  Sandbox box(L"init-none");
  CInitSetting s;
  s.Load(box.Root());
  EXPECT_EQ(s.token, L"");
  s.Load(box.Root() + L"\\missing-folder");
  EXPECT_EQ(s.token, L"");
  EXPECT_EQ(s.gatewayMode, 0);
  EXPECT_EQ(s.tokenCategory, 0);
}

TEST(InitSettingFile, LongCodeIsCutAndCardCodeAndGatewayComeThrough) {
  Sandbox box(L"init-long");
  WriteAnsi(box.Root() + L"\\setup.ini", "[Settings]\nlumo_token=" + std::string(300, 'k') + "\n");
  CInitSetting s;
  s.Load(box.Root());
  EXPECT_EQ(s.token, std::wstring(255, L'k'));

  WriteAnsi(box.Root() + L"\\setup.ini", "[Settings]\ntoken_category=38\ncard_code=CARD7\ntoken_kind=9\n");
  CInitSetting card;
  card.Load(box.Root());
  EXPECT_EQ(card.token, L"CARD7");
  EXPECT_EQ(card.tokenKind, 2);
  EXPECT_EQ(card.ComposeSessionCode(), L"CARD7_C38_K2");

  WriteAnsi(box.Root() + L"\\setup.ini", "[Settings]\ngateway_mode=1\n");
  CInitSetting gateway;
  gateway.Load(box.Root());
  EXPECT_EQ(gateway.gatewayMode, 1);
}

TEST(InitSettingFile, EmptyFolderMeansBesideTheProgram) {
  const std::wstring beside = ExeDir() + L"\\.init_setting.ini";
  ASSERT_FALSE(Exists(beside)) << "a leftover file would change other tests";
  WriteAnsi(beside, "[Settings]\nlumo_token=BESIDE\n");
  CInitSetting s;
  s.Load(L"");
  ::DeleteFileW(beside.c_str());
  EXPECT_EQ(s.token, L"BESIDE");
}

// --- Product key values ---

class ProductKeyTest : public ::testing::Test {
 protected:
  void SetUp() override { ::RegDeleteTreeW(HKEY_CURRENT_USER, SessionProductKey().c_str()); }
  void TearDown() override { ::RegDeleteTreeW(HKEY_CURRENT_USER, SessionProductKey().c_str()); }

  static DWORD Query(const std::wstring& name, std::wstring* text = nullptr, DWORD* number = nullptr) {
    BYTE data[2048] = {};
    DWORD size = sizeof(data) - 2, type = 0;
    if (::RegGetValueW(HKEY_CURRENT_USER, SessionProductKey().c_str(), name.c_str(), RRF_RT_ANY, &type, data, &size) != 0)
      return 0;
    if (text) *text = reinterpret_cast<const wchar_t*>(data);
    if (number) *number = *reinterpret_cast<const DWORD*>(data);
    return type;
  }
  static void SetString(const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ) {
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, SessionProductKey().c_str(), name.c_str(), type, text.c_str(),
                                static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))), 0);
  }
  static void SetDword(const std::wstring& name, DWORD value) {
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, SessionProductKey().c_str(), name.c_str(), REG_DWORD, &value,
                                sizeof(value)), 0);
  }

  CUnPackFileApp app_;
};

TEST_F(ProductKeyTest, InstructionWritesNoteAndIdleAndLogsIt) {
  Sandbox box(L"instruction");
  app_.HandleInstruction(L"NOTE=Printer down,IDLE=30");
  std::wstring note;
  DWORD idle = 0;
  EXPECT_EQ(Query(L"NoteSession", &note), static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(note, L"Printer down");
  EXPECT_EQ(Query(L"IdleSessionTimeout", nullptr, &idle), static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(idle, 30u);
  const std::wstring log = ReadUtf16(LogPath(box.Temp()));
  EXPECT_TRUE(Contains(log, L"[CUnPackFileApp::HandleInstruction] LUMO Instruction NOTE=Printer down,IDLE=30")) << log;
}

TEST_F(ProductKeyTest, EveryInstructionFirstClearsTheEarlierValues) {
  Sandbox box(L"instruction-clear");
  app_.HandleInstruction(L"NOTE=old,IDLE=5");
  ASSERT_NE(Query(L"NoteSession"), 0u);
  // An IDLE out of range writes nothing, and the old time-out stays deleted.
  app_.HandleInstruction(L"IDLE=10000");
  EXPECT_EQ(Query(L"NoteSession"), 0u);
  EXPECT_EQ(Query(L"IdleSessionTimeout"), 0u);

  app_.HandleInstruction(L"note=a=b,IDLE=abc");
  std::wstring note;
  DWORD idle = 99;
  Query(L"NoteSession", &note);
  EXPECT_EQ(note, L"a=b");
  Query(L"IdleSessionTimeout", nullptr, &idle);
  EXPECT_EQ(idle, 0u);

  // The empty instruction deletes both values and logs nothing more.
  const std::wstring before = ReadUtf16(LogPath(box.Temp()));
  app_.HandleInstruction(L"");
  EXPECT_EQ(Query(L"NoteSession"), 0u);
  EXPECT_EQ(Query(L"IdleSessionTimeout"), 0u);
  EXPECT_EQ(ReadUtf16(LogPath(box.Temp())), before);
}

TEST_F(ProductKeyTest, CodeSignNeedsBothValues) {
  EXPECT_FALSE(IsCodeSignConfigured());
  SetString(L"CodeSignTheme", L"dark");
  EXPECT_FALSE(IsCodeSignConfigured()) << "CodeSignOutput missing";
  SetString(L"CodeSignOutput", L"");
  EXPECT_FALSE(IsCodeSignConfigured()) << "CodeSignOutput empty";
  SetString(L"CodeSignOutput", L"%TEMP%\\out", REG_EXPAND_SZ);
  EXPECT_TRUE(IsCodeSignConfigured());
  SetDword(L"CodeSignTheme", 1);
  EXPECT_FALSE(IsCodeSignConfigured()) << "a number is no setting";
}

// --- Switches ---

TEST(SwitchPass, MarkersLandInTheLogFolderAndExistingOnesStayUntouched) {
  Sandbox box(L"markers");
  const std::wstring work = box.Root() + L"\\work\\";
  ASSERT_TRUE(::CreateDirectoryW(work.c_str(), nullptr));
  CUnPackFileApp app;
  app.m_strSessionCode = L"CODE";
  app.ApplySwitches(work, {L"lumo.exe", L"/d", L"-D1", L"/T", L"NEW"});
  EXPECT_EQ(app.m_strSessionCode, L"NEW");
  ASSERT_TRUE(Exists(work + L"log\\debug.dvm"));
  ASSERT_TRUE(Exists(work + L"log\\debugAV.dvm"));
  EXPECT_TRUE(ReadBytes(work + L"log\\debug.dvm").empty());

  ASSERT_TRUE(WriteBytes(work + L"log\\debug.dvm", "keep", 4));
  app.ApplySwitches(work, {L"lumo.exe", L"-d"});
  EXPECT_EQ(ReadBytes(work + L"log\\debug.dvm").size(), 4u);

  // A value is no switch: no marker for the code "/D1".
  const std::wstring other = box.Root() + L"\\other\\";
  ASSERT_TRUE(::CreateDirectoryW(other.c_str(), nullptr));
  app.ApplySwitches(other, {L"lumo.exe", L"/T", L"/D1"});
  EXPECT_EQ(app.m_strSessionCode, L"/D1");
  EXPECT_FALSE(Exists(other + L"log"));
}

TEST_F(ProductKeyTest, InstructionSwitchIsAppliedAtOnce) {
  Sandbox box(L"switch-instruction");
  app_.ApplySwitches(box.Root() + L"\\", {L"lumo.exe", L"/i", L"NOTE=a", L"b", L"/d"});
  EXPECT_EQ(app_.m_strInstruction, L"NOTE=ab");
  std::wstring note;
  EXPECT_EQ(Query(L"NoteSession", &note), static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(note, L"ab");
  EXPECT_TRUE(Exists(box.Root() + L"\\log\\debug.dvm"));
}

TEST(SwitchPass, ArgumentsOfThisProcessStartWithItsName) {
  const auto arguments = GetCommandLineArguments();
  ASSERT_FALSE(arguments.empty());
  EXPECT_TRUE(Contains(arguments[0], L"wine_tests")) << std::string(arguments[0].begin(), arguments[0].end());
}

// --- Waiting for the manager ---

class WaitTest : public ::testing::Test {
 protected:
  static std::wstring Helper() { return ExeDir() + L"\\exit_after.exe"; }
};

TEST_F(WaitTest, MissingProcessOrOtherSessionReturnsFalseAtOnce) {
  CUnPackFileApp app;
  const DWORD start = ::GetTickCount();
  EXPECT_FALSE(app.WaitProcessExit(L"lumo-no-such-program.exe", SessionId()));
  HANDLE child = Start(Quote(Helper()) + L" 5000");
  ASSERT_NE(child, nullptr);
  ::Sleep(300);
  EXPECT_FALSE(app.WaitProcessExit(L"exit_after.exe", SessionId() + 7));
  EXPECT_LT(::GetTickCount() - start, 3000u);
  ::TerminateProcess(child, 0);
  WaitExit(child, 5000);
}

TEST_F(WaitTest, WaitsForTheEndAndClosesTheLoadingWindowOnceTheProductWindowExists) {
  Sandbox box(L"wait");
  CUnPackFileApp app;
  ShowLoadingWindow(&app.m_pMainWnd);
  ASSERT_NE(app.m_pMainWnd, nullptr);

  // Without a product window the loading window stays.
  HANDLE child = Start(Quote(Helper()) + L" 1500 3");
  ASSERT_NE(child, nullptr);
  ::Sleep(200);
  EXPECT_TRUE(app.WaitProcessExit(L"exit_after.exe", SessionId()));
  EXPECT_EQ(::WaitForSingleObject(child, 0), WAIT_OBJECT_0) << "returned before the process ended";
  EXPECT_NE(app.m_pMainWnd, nullptr);
  ::CloseHandle(child);

  WNDCLASSW wc{};
  wc.lpfnWndProc = ::DefWindowProcW;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = lumo::kProductWindowClass;
  ::RegisterClassW(&wc);
  HWND product = ::CreateWindowExW(0, lumo::kProductWindowClass, L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                   wc.hInstance, nullptr);
  ASSERT_NE(product, nullptr);
  child = Start(Quote(Helper()) + L" 1500");
  ASSERT_NE(child, nullptr);
  ::Sleep(200);
  EXPECT_TRUE(app.WaitProcessExit(L"exit_after.exe", SessionId()));
  EXPECT_EQ(app.m_pMainWnd, nullptr);
  EXPECT_FALSE(IsLoadingWindowShown());
  ::DestroyWindow(product);
  ::UnregisterClassW(lumo::kProductWindowClass, wc.hInstance);
  ::CloseHandle(child);
  CloseLoadingWindow(&app.m_pMainWnd);
}

// The wait runs on its own thread, so that a hang fails this test instead of stopping the
// whole run.
struct WaitJob {
  CUnPackFileApp app;
  bool result = false;
  static DWORD WINAPI Run(void* p) {
    auto* job = static_cast<WaitJob*>(p);
    job->result = job->app.WaitProcessExit(L"exit_after.exe", SessionId());
    return 0;
  }
};

TEST_F(WaitTest, ProcessEndingWithTheStillActiveCodeDoesNotHangTheWait) {
  HANDLE child = Start(Quote(Helper()) + L" 800 259");
  ASSERT_NE(child, nullptr);
  ::Sleep(200);
  auto* job = new WaitJob;
  HANDLE thread = ::CreateThread(nullptr, 0, &WaitJob::Run, job, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  const DWORD waited = ::WaitForSingleObject(thread, 20000);
  ::CloseHandle(thread);
  WaitExit(child, 5000);
  // A hung wait keeps using the job; it is left to the end of the process then.
  ASSERT_EQ(waited, WAIT_OBJECT_0) << "the wait did not return after the process ended";
  EXPECT_TRUE(job->result);
  delete job;
}

}  // namespace
