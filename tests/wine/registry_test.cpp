// CRegistry and the product key resolution against Wine's registry. Each test works in a
// private key below the current user's hive, or on the product keys of this session, and
// wipes what it uses at the start and the end.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <string>

#include "settings/core/key_mapping.h"
#include "settings/product_key.h"
#include "settings/registry.h"
#include "support/platform.h"
#include "support/registry_link.h"
#include "support/winsupport.h"

namespace {

using testsupport::SessionId;

const std::wstring kScratch = L"Software\\LumoTests\\Registry";

std::wstring SessionSuffix() { return std::to_wstring(static_cast<int>(SessionId())); }
std::wstring SessionProductKey() { return std::wstring(lumo::kProductBasePath) + L" LUMO_" + SessionSuffix(); }
std::wstring SessionBusinessKey() { return SessionProductKey() + L" for Business"; }
std::wstring SharedProductKey() { return std::wstring(lumo::kProductBasePath) + L" LUMO"; }

const std::wstring kVendorKey = L"Software\\Ondrix Inc.";

// Each key as itself, a link at the vendor's key first: every removal below it would lead
// into the link's target.
void WipeProductKeys() {
  if (testsupport::IsRegistryLink(HKEY_CURRENT_USER, kVendorKey)) testsupport::RemoveKeyAsItself(HKEY_CURRENT_USER, kVendorKey);
  for (const std::wstring& key : {SessionProductKey(), SessionBusinessKey(), SharedProductKey(),
                                  std::wstring(lumo::kProductBasePath), std::wstring(lumo::kBusinessPath)})
    testsupport::RemoveKeyAsItself(HKEY_CURRENT_USER, key);
}

bool RawSet(const std::wstring& key, const std::wstring& name, DWORD type, const void* data, DWORD size) {
  HKEY k = nullptr;
  if (::RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) != 0)
    return false;
  const LONG status = ::RegSetValueExW(k, name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
  ::RegCloseKey(k);
  return status == 0;
}
bool RawSetDword(const std::wstring& key, const std::wstring& name, DWORD value) {
  return RawSet(key, name, REG_DWORD, &value, sizeof(value));
}
bool RawSetString(const std::wstring& key, const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ) {
  return RawSet(key, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}
bool RawKeyExists(const std::wstring& key) {
  HKEY k = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &k) != 0) return false;
  ::RegCloseKey(k);
  return true;
}
// The value's type and data; type 0 when missing.
DWORD RawQuery(const std::wstring& key, const std::wstring& name, std::wstring* text = nullptr, DWORD* number = nullptr) {
  BYTE data[1024] = {};
  DWORD size = sizeof(data) - 2, type = 0;
  if (::RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) != 0)
    return 0;
  if (text) *text = reinterpret_cast<const wchar_t*>(data);
  if (number) *number = *reinterpret_cast<const DWORD*>(data);
  return type;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kScratch.c_str());
    HKEY k = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, kScratch.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
    ::RegCloseKey(k);
    WipeProductKeys();
  }
  void TearDown() override {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kScratch.c_str());
    WipeProductKeys();
  }
};

TEST_F(RegistryTest, StartsOnTheCurrentUsersRoot) {
  CRegistry r;
  EXPECT_EQ(r.LastError(), 0);
  EXPECT_EQ(r.RootKey(), HKEY_CURRENT_USER);
  EXPECT_EQ(r.KeyPath(), L"");
}

TEST_F(RegistryTest, SetRootKeyAcceptsOnlyThePredefinedRootsAndRedirectsTheMachine) {
  CRegistry r;
  ASSERT_TRUE(r.SetRootKey(HKEY_USERS, FALSE));
  EXPECT_FALSE(r.SetRootKey(HKEY_CURRENT_CONFIG, FALSE));
  EXPECT_EQ(r.RootKey(), HKEY_USERS) << "a refused root keeps the previous one";
  EXPECT_FALSE(r.SetRootKey(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)), FALSE));
  EXPECT_FALSE(r.SetRootKey(nullptr, TRUE));
  EXPECT_EQ(r.RootKey(), HKEY_USERS);
  EXPECT_TRUE(r.SetRootKey(HKEY_LOCAL_MACHINE, TRUE));
  EXPECT_EQ(r.RootKey(), HKEY_CURRENT_USER);
  EXPECT_TRUE(r.SetRootKey(HKEY_LOCAL_MACHINE, FALSE));
  EXPECT_EQ(r.RootKey(), HKEY_LOCAL_MACHINE);
  EXPECT_TRUE(r.SetRootKey(HKEY_CLASSES_ROOT, TRUE));
  EXPECT_EQ(r.RootKey(), HKEY_CLASSES_ROOT);
}

TEST_F(RegistryTest, ResetReturnsToTheUserRootAndKeepsTheLastError) {
  CRegistry r;
  ASSERT_TRUE(r.SetRootKey(HKEY_LOCAL_MACHINE, FALSE));
  ASSERT_TRUE(r.OpenKey(L"Software", FALSE, FALSE));
  EXPECT_FALSE(r.OpenKey(L"Software\\LumoTests\\NoSuchKey", FALSE, FALSE));
  EXPECT_TRUE(r.Reset());
  EXPECT_EQ(r.RootKey(), HKEY_CURRENT_USER);
  EXPECT_EQ(r.KeyPath(), L"");
  EXPECT_EQ(r.LastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, EmptyPathSelectsTheRootItself) {
  CRegistry r;
  ASSERT_TRUE(r.OpenKey(kScratch, FALSE, FALSE));
  ASSERT_TRUE(r.OpenKey(L"", FALSE, FALSE));
  EXPECT_EQ(r.KeyPath(), L"");
  // Value operations then work directly on the hive's root.
  const std::wstring name = L"LumoTestsRootValue";
  ASSERT_TRUE(r.WriteDWORD(name, 77));
  EXPECT_EQ(RawQuery(L"", name), static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(r.ReadDWORD(name, 0), 77u);
  EXPECT_TRUE(r.DeleteValue(name));
  EXPECT_EQ(RawQuery(L"", name), 0u);
  // A subkey on the root is the subkey's own path.
  ASSERT_TRUE(RawSetDword(kScratch, L"n", 5));
  EXPECT_EQ(r.ReadDWORD(L"n", 0, kScratch), 5u);
}

TEST_F(RegistryTest, OpenKeyMapsTheProductPathPerSession) {
  ASSERT_TRUE(RawSetDword(SessionProductKey(), L"x", 1));
  ASSERT_TRUE(RawSetDword(SharedProductKey(), L"x", 2));
  CRegistry r;
  ASSERT_TRUE(r.OpenKey(lumo::kProductBasePath, FALSE, TRUE));
  EXPECT_EQ(r.KeyPath(), SessionProductKey());
  EXPECT_EQ(r.ReadDWORD(L"x", 0), 1u);
  ASSERT_TRUE(r.OpenKey(lumo::kProductBasePath, FALSE, FALSE));
  EXPECT_EQ(r.KeyPath(), SharedProductKey());
  EXPECT_EQ(r.ReadDWORD(L"x", 0), 2u);
  // A path without the product path is used as given.
  ASSERT_TRUE(r.OpenKey(kScratch, FALSE, TRUE));
  EXPECT_EQ(r.KeyPath(), kScratch);
  EXPECT_FALSE(RawKeyExists(lumo::kProductBasePath)) << "the unmapped product path is never created";
}

TEST_F(RegistryTest, OpenKeyOfAMissingKeyFailsWithFileNotFoundAndKeepsTheOldKey) {
  CRegistry r;
  ASSERT_TRUE(r.OpenKey(kScratch, FALSE, FALSE));
  EXPECT_FALSE(r.OpenKey(kScratch + L"\\Missing", FALSE, FALSE));
  EXPECT_EQ(r.LastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(r.KeyPath(), kScratch);
  EXPECT_FALSE(RawKeyExists(kScratch + L"\\Missing"));
  // With the create flag the key comes into being and is selected.
  ASSERT_TRUE(r.OpenKey(kScratch + L"\\Made\\Deep", TRUE, FALSE));
  EXPECT_EQ(r.KeyPath(), kScratch + L"\\Made\\Deep");
  EXPECT_TRUE(RawKeyExists(kScratch + L"\\Made\\Deep"));
  // A successful open records success.
  ASSERT_TRUE(r.OpenKey(kScratch, FALSE, FALSE));
  EXPECT_EQ(r.LastError(), 0);
}

TEST_F(RegistryTest, DwordValues) {
  CRegistry r;
  ASSERT_TRUE(r.OpenKey(kScratch, FALSE, FALSE));
  ASSERT_TRUE(r.WriteDWORD(L"d", 0xDEADBEEF));
  DWORD raw = 0;
  EXPECT_EQ(RawQuery(kScratch, L"d", nullptr, &raw), static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(raw, 0xDEADBEEFu);
  EXPECT_EQ(r.ReadDWORD(L"d", 1), 0xDEADBEEFu);
  EXPECT_EQ(r.ReadDWORD(L"missing", 42), 42u);

  const ULONGLONG wide = 5;
  ASSERT_TRUE(RawSet(kScratch, L"q", REG_QWORD, &wide, sizeof(wide)));
  EXPECT_EQ(r.ReadDWORD(L"q", 42), 42u) << "8 bytes are no DWORD";
  const BYTE two[2] = {1, 0};
  ASSERT_TRUE(RawSet(kScratch, L"short", REG_BINARY, two, sizeof(two)));
  EXPECT_EQ(r.ReadDWORD(L"short", 42), 42u) << "2 bytes are no DWORD either";
  const BYTE four[4] = {7, 0, 0, 0};
  ASSERT_TRUE(RawSet(kScratch, L"bin4", REG_BINARY, four, sizeof(four)));
  EXPECT_EQ(r.ReadDWORD(L"bin4", 42), 7u) << "4 bytes count whatever their type";
  // The text "1" is the 4 bytes '1', 0, 0, 0.
  ASSERT_TRUE(RawSetString(kScratch, L"text1", L"1"));
  EXPECT_EQ(r.ReadDWORD(L"text1", 42), 0x31u);

  ASSERT_TRUE(RawSetDword(kScratch + L"\\Sub", L"s", 9));
  EXPECT_EQ(r.ReadDWORD(L"s", 0, L"Sub"), 9u);
  EXPECT_EQ(r.ReadDWORD(L"s", 3, L"NoSub"), 3u);
  EXPECT_EQ(r.ReadDWORD(L"s", 4), 4u) << "without the subkey the current key is read";
}

TEST_F(RegistryTest, StringValues) {
  CRegistry r;
  ASSERT_TRUE(r.OpenKey(kScratch, FALSE, FALSE));
  ASSERT_TRUE(r.WriteString(L"s", L"C:\\Users\\Ü\\LUMO.exe", REG_SZ));
  std::wstring raw;
  EXPECT_EQ(RawQuery(kScratch, L"s", &raw), static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(raw, L"C:\\Users\\Ü\\LUMO.exe");
  EXPECT_EQ(r.ReadString(L"s", L"def", L""), L"C:\\Users\\Ü\\LUMO.exe");
  EXPECT_EQ(r.LastError(), 0);

  ASSERT_TRUE(r.WriteString(L"empty", L"", REG_SZ));
  EXPECT_EQ(r.ReadString(L"empty", L"def", L""), L"");
  ASSERT_TRUE(r.WriteString(L"x", L"%TEMP%\\a", REG_EXPAND_SZ));
  EXPECT_EQ(RawQuery(kScratch, L"x"), static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(r.ReadString(L"x", L"def", L""), L"%TEMP%\\a") << "expandable strings stay unexpanded";

  ASSERT_TRUE(r.WriteDWORD(L"d", 1));
  EXPECT_EQ(r.ReadString(L"d", L"def", L""), L"def");
  EXPECT_EQ(r.ReadString(L"missing", L"def", L""), L"def");
  EXPECT_EQ(r.LastError(), ERROR_FILE_NOT_FOUND);

  // Text stored without its terminating null (odd length, too) still reads whole.
  const wchar_t abc[] = {L'a', L'b', L'c'};
  ASSERT_TRUE(RawSet(kScratch, L"bare", REG_SZ, abc, sizeof(abc)));
  EXPECT_EQ(r.ReadString(L"bare", L"def", L""), L"abc");
  // An odd size leaves its last half character out.
  ASSERT_TRUE(RawSet(kScratch, L"odd", REG_SZ, "a\0b\0c", 5));
  EXPECT_EQ(r.ReadString(L"odd", L"def", L""), L"ab");

  ASSERT_TRUE(RawSetString(kScratch + L"\\Sub", L"t", L"below"));
  EXPECT_EQ(r.ReadString(L"t", L"def", L"Sub"), L"below");
  EXPECT_EQ(r.ReadString(L"t", L"def", L""), L"def");
}

TEST_F(RegistryTest, ValueTypesExistenceAndDeletion) {
  CRegistry r;
  ASSERT_TRUE(r.OpenKey(kScratch, FALSE, FALSE));
  ASSERT_TRUE(r.WriteDWORD(L"d", 1));
  ASSERT_TRUE(r.WriteString(L"s", L"x", REG_SZ));
  EXPECT_EQ(r.GetValueType(L"d", L""), static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(r.GetValueType(L"s", L""), static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(r.GetValueType(L"none", L""), 0u);
  EXPECT_EQ(r.LastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(r.GetValueType(L"d", L"NoSub"), 0u);
  EXPECT_EQ(r.LastError(), ERROR_FILE_NOT_FOUND);

  EXPECT_TRUE(r.ValueExists(L"d"));
  EXPECT_FALSE(r.ValueExists(L"none"));
  EXPECT_TRUE(r.DeleteValue(L"d"));
  EXPECT_EQ(RawQuery(kScratch, L"d"), 0u);
  EXPECT_FALSE(r.ValueExists(L"d"));
  EXPECT_FALSE(r.DeleteValue(L"d")) << "a missing value cannot be deleted";
}

TEST_F(RegistryTest, OperationsOnADeletedKeyFail) {
  CRegistry r;
  ASSERT_TRUE(r.OpenKey(kScratch + L"\\Gone", TRUE, FALSE));
  ASSERT_EQ(::RegDeleteTreeW(HKEY_CURRENT_USER, (kScratch + L"\\Gone").c_str()), 0);
  EXPECT_FALSE(r.WriteDWORD(L"d", 1));
  EXPECT_FALSE(r.WriteString(L"s", L"x", REG_SZ));
  EXPECT_EQ(r.ReadDWORD(L"d", 6), 6u);
  EXPECT_FALSE(r.ValueExists(L"d"));
  EXPECT_FALSE(r.DeleteValue(L"d"));
  EXPECT_FALSE(RawKeyExists(kScratch + L"\\Gone")) << "writes never recreate the key";
}

TEST_F(RegistryTest, KeyExistsUsesThePathUnmapped) {
  CRegistry r;
  EXPECT_TRUE(r.KeyExists(kScratch));
  EXPECT_FALSE(r.KeyExists(kScratch + L"\\Missing"));
  ASSERT_TRUE(RawSetDword(SessionProductKey(), L"x", 1));
  EXPECT_FALSE(r.KeyExists(lumo::kProductBasePath)) << "only the mapped key exists";
  EXPECT_TRUE(r.KeyExists(SessionProductKey()));
  // Below a handle the caller owns; the handle stays usable afterwards.
  HKEY scratch = nullptr;
  ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\LumoTests", 0, KEY_ALL_ACCESS, &scratch), 0);
  EXPECT_TRUE(r.KeyExists(L"Registry", scratch));
  EXPECT_FALSE(r.KeyExists(L"Nothing", scratch));
  DWORD subkeys = 0;
  EXPECT_EQ(::RegQueryInfoKeyW(scratch, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr), 0);
  ::RegCloseKey(scratch);
}

// The highest slot a burst of new handles reaches. Freed slots are taken first, then fresh
// ones above every live handle, so each handle left open in between lifts the mark by one.
ULONG_PTR HandleHighWaterMark() {
  HANDLE events[400];
  ULONG_PTR highest = 0;
  for (HANDLE& e : events) {
    e = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (reinterpret_cast<ULONG_PTR>(e) > highest) highest = reinterpret_cast<ULONG_PTR>(e);
  }
  for (HANDLE e : events) ::CloseHandle(e);
  return highest;
}

TEST_F(RegistryTest, NoHandleIsLeftOpen) {
  CRegistry r;
  ASSERT_TRUE(r.OpenKey(kScratch, TRUE, FALSE));
  r.OpenProductKey(lumo::kProductKeyword, TRUE, TRUE);  // first use may load libraries
  r.OpenKey(kScratch, FALSE, FALSE);
  const ULONG_PTR before = HandleHighWaterMark();
  for (int i = 0; i < 20; ++i) {
    r.WriteDWORD(L"d", i);
    r.ReadDWORD(L"d", 0);
    r.WriteString(L"s", L"x", REG_SZ);
    r.ReadString(L"s", L"", L"");
    r.ReadString(L"missing", L"", L"");
    r.GetValueType(L"d", L"");
    r.ValueExists(L"d");
    r.DeleteValue(L"d");
    r.KeyExists(kScratch);
    r.OpenKey(kScratch + L"\\Missing", FALSE, FALSE);
    r.OpenKey(kScratch, TRUE, FALSE);
    r.OpenProductKey(lumo::kProductKeyword, TRUE, TRUE);
    r.OpenKey(L"", FALSE, FALSE);
    r.ReadDWORD(L"none", 0);
    r.OpenKey(kScratch, FALSE, FALSE);
  }
  const ULONG_PTR after = HandleHighWaterMark();
  // A handle is 4 apart from the next; 300 operations leaking even one each would show.
  EXPECT_LT(after, before + 4 * 8) << "before " << before << ", after " << after;
}

TEST_F(RegistryTest, FlushingAndTheWideViewChangeNoResult) {
  CRegistry r;
  r.SetNoFlush(FALSE);
  r.SetView64(TRUE);
  ASSERT_TRUE(r.OpenKey(kScratch + L"\\Flushed", TRUE, FALSE));
  ASSERT_TRUE(r.WriteDWORD(L"d", 3));
  EXPECT_EQ(r.ReadDWORD(L"d", 0), 3u);
  EXPECT_TRUE(r.DeleteValue(L"d"));
  EXPECT_TRUE(RawKeyExists(kScratch + L"\\Flushed"));
}

// --- The product key ---

TEST_F(RegistryTest, OnlyTheKeywordIsResolved) {
  EXPECT_EQ(ResolveProductKeyPath(kScratch, TRUE, nullptr), kScratch);
  EXPECT_EQ(ResolveProductKeyPath(lumo::kProductBasePath, TRUE, nullptr), lumo::kProductBasePath);
  EXPECT_EQ(ResolveProductKeyPath(L"UNIVERSAL_PATH_CONVERT", TRUE, nullptr), SessionProductKey());
  EXPECT_EQ(ResolveProductKeyPath(L"universal_path_convert", TRUE, nullptr), SessionProductKey());
  EXPECT_EQ(ResolveProductKeyPath(L"UNIVERSAL_PATH_CONVERT", FALSE, nullptr), SharedProductKey());
}

TEST_F(RegistryTest, ServerModeOneAsDwordSelectsTheBusinessKey) {
  ASSERT_TRUE(RawSetDword(SessionProductKey(), L"OXServerMode", 1));
  EXPECT_EQ(ResolveProductKeyPath(lumo::kProductKeyword, TRUE, nullptr), SessionBusinessKey());
  EXPECT_EQ(ResolveProductKeyPath(lumo::kProductKeyword, TRUE, HKEY_LOCAL_MACHINE), SessionBusinessKey());
  CRegistry r;
  ASSERT_TRUE(OpenSessionProductKey(r));
  EXPECT_EQ(r.KeyPath(), SessionBusinessKey());
  EXPECT_TRUE(RawKeyExists(SessionBusinessKey())) << "created when missing";

  // Any other number, or no marker at all, keeps the product key.
  ASSERT_TRUE(RawSetDword(SessionProductKey(), L"OXServerMode", 2));
  EXPECT_EQ(ResolveProductKeyPath(lumo::kProductKeyword, TRUE, nullptr), SessionProductKey());
}

TEST_F(RegistryTest, ServerModeOneAsTextKeepsTheProductKey) {
  ASSERT_TRUE(RawSetString(SessionProductKey(), L"OXServerMode", L"1"));
  EXPECT_EQ(ResolveProductKeyPath(lumo::kProductKeyword, TRUE, nullptr), SessionProductKey());
}

TEST_F(RegistryTest, BasedTypeMakesNoDifference) {
  for (DWORD basedType : {0u, 1u, 2u}) {
    WipeProductKeys();
    ASSERT_TRUE(RawSetDword(SessionProductKey(), L"OXSBasedType", basedType));
    ASSERT_TRUE(RawSetDword(SessionProductKey(), L"OXServerMode", 1));
    EXPECT_EQ(ResolveProductKeyPath(lumo::kProductKeyword, TRUE, nullptr), SessionBusinessKey()) << basedType;
    ASSERT_TRUE(RawSetDword(SessionProductKey(), L"OXServerMode", 0));
    EXPECT_EQ(ResolveProductKeyPath(lumo::kProductKeyword, TRUE, nullptr), SessionProductKey()) << basedType;
  }
  // The unmapped key alone, with the marker, does not count.
  WipeProductKeys();
  ASSERT_TRUE(RawSetDword(lumo::kProductBasePath, L"OXSBasedType", 0));
  ASSERT_TRUE(RawSetDword(lumo::kProductBasePath, L"OXServerMode", 1));
  EXPECT_EQ(ResolveProductKeyPath(lumo::kProductKeyword, TRUE, nullptr), SessionProductKey());
}

TEST_F(RegistryTest, OpenProductKeyCreatesTheSessionKeyAndUsesOtherPathsUnchanged) {
  CRegistry r;
  ASSERT_TRUE(r.OpenProductKey(lumo::kProductKeyword, TRUE, TRUE));
  EXPECT_EQ(r.KeyPath(), SessionProductKey());
  EXPECT_TRUE(RawKeyExists(SessionProductKey()));
  ASSERT_TRUE(r.WriteString(L"ImagePath", L"C:\\x.exe", REG_SZ));
  std::wstring text;
  EXPECT_EQ(RawQuery(SessionProductKey(), L"ImagePath", &text), static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(text, L"C:\\x.exe");

  // A literal product path is not mapped here.
  ASSERT_TRUE(r.OpenProductKey(lumo::kProductBasePath, TRUE, TRUE));
  EXPECT_EQ(r.KeyPath(), lumo::kProductBasePath);
  EXPECT_TRUE(RawKeyExists(lumo::kProductBasePath));

  // Without the create flag a missing key fails and records why.
  WipeProductKeys();
  EXPECT_FALSE(r.OpenProductKey(lumo::kProductKeyword, FALSE, TRUE));
  EXPECT_EQ(r.LastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(r.KeyPath(), lumo::kProductBasePath);
  ASSERT_TRUE(r.OpenProductKey(L"", FALSE, TRUE));
  EXPECT_EQ(r.KeyPath(), L"");
}

TEST_F(RegistryTest, LaunchPathsLandInTheSessionProductKey) {
  WriteLaunchPaths();
  std::wstring image, desktop;
  ASSERT_EQ(RawQuery(SessionProductKey(), L"ImagePath", &image), static_cast<DWORD>(REG_SZ));
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  EXPECT_EQ(image, self);
  ASSERT_EQ(RawQuery(SessionProductKey(), L"DesktopPath", &desktop), static_cast<DWORD>(REG_SZ));
  wchar_t folder[MAX_PATH] = {};
  ASSERT_EQ(::SHGetFolderPathW(nullptr, CSIDL_DESKTOP, nullptr, SHGFP_TYPE_DEFAULT, folder), S_OK);
  EXPECT_EQ(desktop, std::wstring(folder) + L"\\LUMO.exe");
}

// --- Registry links ---

// Links a program of the user makes in its own hive, on the launcher's road, and what each
// kind of operation makes of them: a link at a key of ours is removed as itself and the key
// made anew when the operation creates; any other is refused with one log line, and behind
// it nothing is written, deleted or read. The targets lie in the machine's hive, into which
// Wine follows a link from the user's hive; whether Windows does is not documented
// (docs/RELEASE-CHECKS.md). Under Wine every program is an administrator, so what the walk's
// impersonation of the session's user adds on Windows (a link that slipped through reaches
// only keys the user could write) cannot be shown here.
class RegistryLinks : public RegistryTest {
 protected:
  // Below HKLM\Software, in the 64-bit view: where a link's NT name points from either width.
  static constexpr const wchar_t* kTargets = L"LumoTests\\Links";
  static std::wstring MachineKey(const std::wstring& below) { return L"Software\\" + below; }
  void SetUp() override {
    RemoveLinks();
    RegistryTest::SetUp();
    if (!testsupport::IsAdministratorRun()) return;  // the kit's standard account writes no machine key
    // The target: a key that a followed walk would take for the product key or for the
    // vendor's key, values and all.
    const std::wstring target = MachineKey(kTargets) + L"\\Target";
    for (const std::wstring& key : {target, target + L"\\" + SessionProductKey().substr(kVendorKey.size() + 1)})
      for (const wchar_t* name : {L"ImagePath", L"NoteSession"}) {
        HKEY k = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                    nullptr, &k, nullptr), 0);
        const std::wstring text = L"behind";
        ::RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        ::RegCloseKey(k);
      }
  }
  void TearDown() override {
    RemoveLinks();
    RegistryTest::TearDown();
    testsupport::RemoveKeyAsItself(HKEY_LOCAL_MACHINE, MachineKey(kTargets), KEY_WOW64_64KEY);
  }
  static void RemoveLinks() {
    WipeProductKeys();
    testsupport::RemoveKeyAsItself(HKEY_CURRENT_USER, kScratch + L"\\Parent");
  }
};

TEST_F(RegistryLinks, ALinkOfOursIsReplacedWhenCreatingAndEveryOtherIsRefusedWithNothingDoneBehindIt) {
  if (!testsupport::IsAdministratorRun()) {
    // The kit's second, standard account: that user's own link into the machine's hive. What
    // Windows does with it is recorded; nothing lands behind it.
    LUMO_RELEASE_CHECK("12");
    const std::wstring link = kScratch + L"\\UserLink", machine = L"Software\\Microsoft\\Windows NT\\CurrentVersion";
    ASSERT_TRUE(testsupport::MakeRegistryLink(HKEY_CURRENT_USER, link, L"\\Registry\\Machine\\" + machine));
    const LONG written = ::RegSetKeyValueW(HKEY_CURRENT_USER, link.c_str(), L"LumoKit", REG_SZ, L"x", 4);
    testsupport::ReleaseNote(std::string("a standard user's link from HKCU into HKLM: Windows ") +
                             (RawQuery(link, L"CurrentBuildNumber") ? "follows" : "does not follow") +
                             " it; a write through it ends with " + std::to_string(written));
    EXPECT_NE(::RegGetValueW(HKEY_LOCAL_MACHINE, machine.c_str(), L"LumoKit", RRF_RT_ANY, nullptr, nullptr, nullptr), 0);
    return;
  }
  // A plain key carrying a link value counts as a link; with a subkey it cannot be removed.
  enum Kind { kLink, kDangling, kPlainWithLinkValue, kStuck, kPlain };
  enum Op { kWrite, kRead, kProbe, kCreateBelow };
  const std::wstring product = SessionProductKey();
  const struct {
    const char* name;
    std::wstring at;  // below the user's hive
    Kind kind;
    Op op;
    bool served;    // the operation succeeded, on a key of its own
    bool linkLeft;  // `at` is still a link afterwards
    // Log lines naming `at`, the last one's reason: the first read meets a link, the
    // creation that follows replaces it (or logs why not). A line like the last one is left
    // out, so no two cases in a row log the same one.
    size_t lines;
    const wchar_t* reason;
  } cases[] = {
      {"link at the product key", product, kLink, kWrite, true, false, 1, L"not removed by an open"},
      {"link at the vendor's key", kVendorKey, kLink, kWrite, true, false, 1, L"not removed by an open"},
      {"dangling link at the product key", product, kDangling, kWrite, true, false, 1, L"not removed by an open"},
      {"link at the probe key", lumo::kProductBasePath, kLink, kProbe, false, true, 1, L"not removed by an open"},
      {"plain key carrying a link value", product, kPlainWithLinkValue, kWrite, true, false, 1, L"not removed by an open"},
      {"link at the vendor's key, read", kVendorKey, kLink, kRead, false, true, 1, L"not removed by an open"},
      {"link as a parent, not ours", kScratch + L"\\Parent", kLink, kCreateBelow, false, true, 1, L"not ours"},
      {"link that cannot be removed", product, kStuck, kWrite, false, true, 2, L"not removable"},
      {"plain product key", product, kPlain, kWrite, true, false, 0, L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveLinks();
    testsupport::Sandbox box(L"registry-links");
    const std::wstring target = std::wstring(kTargets) + (c.kind == kDangling ? L"\\Nowhere" : L"\\Target");
    if (c.kind == kLink || c.kind == kDangling) {
      testsupport::RemoveKeyAsItself(HKEY_CURRENT_USER, c.at);  // a link is made only where no key is
      ASSERT_TRUE(testsupport::MakeRegistryLink(HKEY_CURRENT_USER, c.at, testsupport::MachineSoftware(target)));
      if (c.kind == kLink) {
        // Wine follows such a link; whether Windows does is what the kit records.
        if (testsupport::UnderWine())
          ASSERT_TRUE(RawKeyExists(c.at)) << "Wine no longer follows the link: the case shows nothing";
        LUMO_ON_WINDOWS("12", "what Windows does with an administrator's link into the machine's hive")
        testsupport::ReleaseNote(std::string("an administrator's link from HKCU into HKLM: Windows ") +
                                 (RawKeyExists(c.at) ? "follows it" : "does not follow it"));
      }
    } else {
      ASSERT_TRUE(RawSetString(c.at, L"Keep", L"mine"));
      if (c.kind != kPlain) {
        const std::wstring name = testsupport::MachineSoftware(target);
        ASSERT_TRUE(RawSet(c.at, L"SymbolicLinkValue", REG_LINK, name.c_str(),
                           static_cast<DWORD>(name.size() * sizeof(wchar_t))));
      }
      if (c.kind == kStuck) ASSERT_TRUE(RawSetString(c.at + L"\\Sub", L"Keep", L"mine"));
    }
    const std::wstring before = testsupport::KeyTreeRecord(HKEY_LOCAL_MACHINE, MachineKey(kTargets), KEY_WOW64_64KEY);

    bool served = false;
    CRegistry r;
    switch (c.op) {
      case kWrite:
        served = OpenSessionProductKey(r) && r.WriteString(L"ImagePath", L"C:\\mine.exe", REG_SZ);
        r.DeleteValue(L"NoteSession");
        break;
      case kRead:
        served = r.OpenKey(product, FALSE, FALSE);
        served = r.ReadString(L"ImagePath", L"default", product) != L"default" || served;
        break;
      case kProbe:
        served = r.KeyExists(lumo::kProductBasePath);
        break;
      case kCreateBelow:
        served = r.OpenKey(c.at + L"\\New", TRUE, FALSE);
        break;
    }
    EXPECT_EQ(served, c.served);
    EXPECT_EQ(testsupport::KeyTreeRecord(HKEY_LOCAL_MACHINE, MachineKey(kTargets), KEY_WOW64_64KEY), before)
        << "what lies behind the link changed";
    EXPECT_EQ(testsupport::IsRegistryLink(HKEY_CURRENT_USER, c.at), c.linkLeft);
    if (c.op == kWrite) {
      std::wstring image;
      EXPECT_EQ(RawQuery(product, L"ImagePath", &image) == REG_SZ && image == L"C:\\mine.exe", c.served);
      EXPECT_EQ(RawQuery(c.at, L"Keep") != 0, c.kind == kPlain || c.kind == kStuck)
          << "a key replaced keeps no values; one refused is left as it was";
    }
    std::vector<std::wstring> refused;
    for (const std::wstring& line : testsupport::Lines(testsupport::ReadUtf16(testsupport::LogPath(box.Temp()))))
      if (testsupport::Contains(line, L"[CRegistry::OpenPath] ")) refused.push_back(line);
    EXPECT_EQ(refused.size(), c.lines);
    if (!refused.empty())
      EXPECT_TRUE(testsupport::Contains(refused.back(), L"] " + c.at + L" refused: a link, " + c.reason));
  }
}

}  // namespace

// --- Registry views ---

// Where a key that CRegistry opens lands, seen through each view. On 64-bit Windows a 32-bit
// program sees the machine's Software key through the 32-bit view (Wow6432Node) unless it
// asks for the 64-bit one (view64); the user's Software key is one key for both views
// (Windows 7 and later). The launcher's own uses serve the machine root from the user's hive
// with view64 off, so the 64-bit agent reads what the release launcher writes. This program
// runs as both builds: the i686 one is the release launcher's width under WOW64.
class RegistryViews : public ::testing::Test {
 protected:
  static constexpr const wchar_t* kViews = L"Software\\LumoTests\\Views";
  void SetUp() override { Wipe(); }
  void TearDown() override { Wipe(); }
  static void Wipe() {
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
      for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        HKEY software = nullptr;
        if (::RegOpenKeyExW(root, L"Software", 0, KEY_ALL_ACCESS | view, &software) != 0) continue;
        ::RegDeleteTreeW(software, L"LumoTests\\Views");
        ::RegCloseKey(software);
      }
  }
  static bool SeenIn(HKEY root, REGSAM view) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, kViews, 0, KEY_READ | view, &key) != 0) return false;
    const bool found = ::RegQueryValueExW(key, L"v", nullptr, nullptr, nullptr, nullptr) == 0;
    ::RegCloseKey(key);
    return found;
  }
};

TEST_F(RegistryViews, EachKeyLandsInTheViewItsRootAndTheWideViewFlagIntend) {
  LUMO_RELEASE_CHECK("9");
  const bool wow64 = sizeof(void*) == 4;  // the project's prefix is 64-bit Windows
  struct Case {
    HKEY root;
    BOOL redirectMachine, view64;
    HKEY lands;
    bool in64, in32;
  };
  const Case cases[] = {
      {HKEY_CURRENT_USER, FALSE, FALSE, HKEY_CURRENT_USER, true, true},
      {HKEY_CURRENT_USER, FALSE, TRUE, HKEY_CURRENT_USER, true, true},
      {HKEY_LOCAL_MACHINE, TRUE, FALSE, HKEY_CURRENT_USER, true, true},  // the launcher's own uses
      {HKEY_LOCAL_MACHINE, FALSE, FALSE, HKEY_LOCAL_MACHINE, !wow64, wow64},
      {HKEY_LOCAL_MACHINE, FALSE, TRUE, HKEY_LOCAL_MACHINE, true, false},
  };
  for (const Case& c : cases) {
    Wipe();
    CRegistry r;
    ASSERT_TRUE(r.SetRootKey(c.root, c.redirectMachine));
    r.SetView64(c.view64);
    ASSERT_TRUE(r.OpenKey(kViews, TRUE, FALSE));
    ASSERT_TRUE(r.WriteDWORD(L"v", 1));
    const std::string name = std::string(c.root == HKEY_CURRENT_USER ? "HKCU" : "HKLM") +
                             (c.redirectMachine ? " redirected" : "") + (c.view64 ? " view64" : "");
    EXPECT_EQ(SeenIn(c.lands, KEY_WOW64_64KEY), c.in64) << name << ", 64-bit view";
    EXPECT_EQ(SeenIn(c.lands, KEY_WOW64_32KEY), c.in32) << name << ", 32-bit view";
    EXPECT_EQ(r.ReadDWORD(L"v", 0), 1u) << name << ": read back through the same object";
  }
}
