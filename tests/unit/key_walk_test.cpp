// The rules of the checked road through the user's registry hive: the components walked,
// the keys that are the launcher's own, and the step taken at each component.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/core/key_mapping.h"
#include "settings/core/key_walk.h"

namespace {

using namespace lumo;

// The components, in order, as NextKeyComponent hands them out.
std::vector<std::wstring> Components(const std::wstring& path) {
  std::vector<std::wstring> found;
  for (std::size_t at = 0, end = 0;; at = end) {
    NextKeyComponent(path, at, end);
    if (at == path.size()) return found;
    found.push_back(path.substr(at, end - at));
  }
}

TEST(KeyWalk, ComponentsLeaveNoEmptyOneOut) {
  using Parts = std::vector<std::wstring>;
  EXPECT_EQ(Components(L"Software\\Ondrix Inc.\\x"), (Parts{L"Software", L"Ondrix Inc.", L"x"}));
  EXPECT_EQ(Components(L"\\Software\\\\x\\"), (Parts{L"Software", L"x"}));
  EXPECT_EQ(Components(L"..\\ a "), (Parts{L"..", L" a "})) << "no name is special in the registry";
  EXPECT_TRUE(Components(L"").empty());
  EXPECT_TRUE(Components(L"\\\\").empty());
}

TEST(KeyWalk, OwnKeysAreTheVendorsKeyAndTheAgentsKeysRightBelowIt) {
  const struct {
    const wchar_t* path;
    bool own;
  } cases[] = {
      {L"Software\\Ondrix Inc.", true},
      {L"SOFTWARE\\ondrix inc.", true},
      {L"Software\\Ondrix Inc.\\Ondrix Remote Server", true},
      {L"Software\\Ondrix Inc.\\Ondrix Remote Server for Business", true},
      {L"Software\\Ondrix Inc.\\Ondrix Remote Server LUMO", true},
      {L"Software\\Ondrix Inc.\\Ondrix Remote Server LUMO for Business", true},
      {L"Software\\Ondrix Inc.\\Ondrix Remote Server LUMO_1", true},
      {L"Software\\Ondrix Inc.\\Ondrix Remote Server lumo_12 FOR BUSINESS", true},
      {L"Software\\Ondrix Inc.\\Ondrix Remote Server LUMO_-1", true},
      {L"Software", false},
      {L"Software\\Ondrix", false},
      {L"Software\\Ondrix Inc.x", false},
      {L"Other\\Ondrix Inc.", false},
      {L"Software\\Ondrix Inc.\\Other", false},
      {L"Software\\Ondrix Inc.\\Ondrix Remote Server LUMO_", false},
      {L"Software\\Ondrix Inc.\\Ondrix Remote Server LUMO_-", false},
      {L"Software\\Ondrix Inc.\\Ondrix Remote Server LUMO_1x", false},
      {L"Software\\Ondrix Inc.\\Ondrix Remote Server LUMO2", false},
      {L"Software\\Ondrix Inc.\\Ondrix Remote Server_1", false},
      {L"Software\\Ondrix Inc.\\Ondrix Remote Server for Business LUMO_1", false},
      {L"Software\\Ondrix Inc.\\Ondrix Remote Server\\Sub", false},
      {L"Software\\Ondrix Inc.\\Ondrix Remote Serverx", false},
  };
  for (const auto& c : cases) {
    const std::wstring path = c.path;
    EXPECT_EQ(IsOwnKeyPath(path, path.size()), c.own) << std::string(path.begin(), path.end());
    // Judged on a prefix, what follows it plays no part.
    EXPECT_EQ(IsOwnKeyPath(path + L"\\Sub", path.size()), c.own) << std::string(path.begin(), path.end());
  }
  EXPECT_FALSE(IsOwnKeyPath(L"Software\\Ondrix Inc.", 8)) << "\"Software\" alone";
  // Every key the per-session mapping makes of the product paths is ours.
  for (long session : {-1L, 0L, 7L})
    for (bool perSession : {false, true})
      for (const wchar_t* product : {kProductBasePath, kBusinessPath})
        EXPECT_TRUE(IsOwnKeyPath(MapSessionKeyPath(product, perSession, session), std::wstring::npos)) << session;
}

TEST(KeyWalk, OnlyAPlainKeyIsUsedAndOnlyALinkOfOursMetByACreationIsReplacedOnce) {
  const struct {
    bool linkValue, sameName, own, create, replaced;
    KeyStep step;
  } cases[] = {
      {false, true, false, false, false, KeyStep::kUse},
      {false, true, true, true, true, KeyStep::kUse},
      {true, true, true, true, false, KeyStep::kReplace},    // a plain key carrying a link value
      {false, false, true, true, false, KeyStep::kReplace},  // a link whose value is not seen
      {true, false, true, true, true, KeyStep::kRefuseBack},
      {true, false, true, false, false, KeyStep::kRefuseReading},
      {true, false, false, true, false, KeyStep::kRefuseNotOurs},
      {false, false, false, false, false, KeyStep::kRefuseNotOurs},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JudgeKey(c.linkValue, c.sameName, c.own, c.create, c.replaced), c.step)
        << c.linkValue << c.sameName << c.own << c.create << c.replaced;
    if (c.step != KeyStep::kUse && c.step != KeyStep::kReplace) {
      EXPECT_NE(std::wstring(DescribeKeyStep(c.step)), L"");
    }
  }
}

TEST(KeyWalk, WithoutTheSessionUsersTokenOnlyThatUsersOwnElevatedRunOpensItsHive) {
  const std::vector<uint8_t> a = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0xE9, 3, 0, 0};
  std::vector<uint8_t> b = a;
  b.back() = 4;  // another user of the same machine
  const struct {
    bool token;
    std::vector<uint8_t> tokenUser, sessionUser;
    HiveChoice choice;
  } cases[] = {
      {true, a, b, HiveChoice::kSessionUsers},  // the session user's token decides whoever elevated
      {true, a, {}, HiveChoice::kSessionUsers},
      {false, a, a, HiveChoice::kOwn},          // the same person, elevated
      {false, a, b, HiveChoice::kRefuse},       // credentials typed over the user's shoulder
      {false, a, {}, HiveChoice::kRefuse},      // no user of the session to be told
      {false, {}, {}, HiveChoice::kRefuse},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ChooseHive(c.token, c.tokenUser, c.sessionUser), c.choice) << c.token << c.tokenUser.size();
}

}  // namespace
