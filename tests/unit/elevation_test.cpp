#include "app/core/arbitration.h"
#include "app/core/elevation.h"

#include <gtest/gtest.h>

namespace {

using namespace lumo;

TEST(ElevationDecision, OnlyAnElevatedAdministratorOnANormalBootTakesTheSystemRoute) {
  // admin, vista+, codeSign, elevated, cleanBoot
  EXPECT_EQ(DecideElevation(false, true, false, false, 0), ElevationAction::kNone);  // not admin
  EXPECT_EQ(DecideElevation(false, true, false, true, 0), ElevationAction::kNone);   // elevated non-admin
  EXPECT_EQ(DecideElevation(true, false, false, false, 0), ElevationAction::kNone);  // pre-Vista
  EXPECT_EQ(DecideElevation(true, true, true, true, 0), ElevationAction::kNone);     // code-sign mode
  EXPECT_EQ(DecideElevation(true, true, true, false, 0), ElevationAction::kNone);    // code-sign, unelevated
  EXPECT_EQ(DecideElevation(true, true, false, true, 0), ElevationAction::kRunAsSystem);
  EXPECT_EQ(DecideElevation(true, true, false, true, 1), ElevationAction::kNone);  // safe mode
  EXPECT_EQ(DecideElevation(true, true, false, true, 2), ElevationAction::kNone);  // safe mode with network
  EXPECT_EQ(DecideElevation(true, true, false, false, 0), ElevationAction::kRelaunchElevated);
  EXPECT_EQ(DecideElevation(true, true, false, false, 1), ElevationAction::kRelaunchElevated);
}

TEST(TokenSwitch, MatchesTOnceEverySlashAndHyphenIsGone) {
  for (const wchar_t* yes : {L"/T", L"-T", L"T", L"t", L"--T", L"/-t", L"-/t-"}) EXPECT_TRUE(IsTokenSwitch(yes)) << yes;
  for (const wchar_t* no : {L"/T1", L"-Tx", L"", L"/", L"TT", L"/D", L"C:\\x\\T.exe"}) EXPECT_FALSE(IsTokenSwitch(no)) << no;
}

TEST(TokenSwitch, ScanLooksAtTheProgramNameToo) {
  // "T" as argument 0 is matched as well, but only with at least two arguments.
  EXPECT_EQ(ScanTokenSwitch({L"T", L"x"}, false, false).result, TokenScanResult::kShowConsentPrompt);
  EXPECT_EQ(ScanTokenSwitch({L"T"}, false, false).result, TokenScanResult::kContinue);
  EXPECT_EQ(ScanTokenSwitch({L"lumo.exe", L"/T1"}, false, false).result, TokenScanResult::kContinue);
}

TEST(TokenSwitch, SystemRouteOnlySkipsTheWindowCheckAndPreVistaIgnoresIt) {
  TokenScan scan = ScanTokenSwitch({L"lumo.exe", L"/t", L"CODE", L"-T", L"X"}, true, false);
  EXPECT_EQ(scan.result, TokenScanResult::kContinue);
  EXPECT_TRUE(scan.skipForegroundCheck);
  scan = ScanTokenSwitch({L"lumo.exe", L"/t", L"CODE"}, false, true);
  EXPECT_EQ(scan.result, TokenScanResult::kContinue);
  EXPECT_FALSE(scan.skipForegroundCheck);
  scan = ScanTokenSwitch({L"lumo.exe", L"/t", L"CODE", L"/T"}, false, false);
  EXPECT_EQ(scan.result, TokenScanResult::kShowConsentPrompt);
  EXPECT_FALSE(scan.skipForegroundCheck);
}

TEST(Arbitration, HeldLockWithWindowBringsItForwardUnlessTheCheckIsSkipped) {
  EXPECT_EQ(DecideBeforeWait(true, false, true), ArbitrationOutcome::kSkipForegroundInstance);
  EXPECT_EQ(DecideBeforeWait(true, true, true), ArbitrationOutcome::kWaitForLock);
  EXPECT_EQ(DecideBeforeWait(true, false, false), ArbitrationOutcome::kWaitForLock);
}

TEST(Arbitration, FreeLockWithWindowAlwaysDefersToTheRunningProduct) {
  EXPECT_EQ(DecideBeforeWait(false, true, true), ArbitrationOutcome::kSkipForegroundWindowNoInstance);
  EXPECT_EQ(DecideBeforeWait(false, false, true), ArbitrationOutcome::kSkipForegroundWindowNoInstance);
  EXPECT_EQ(DecideBeforeWait(false, false, false), ArbitrationOutcome::kContinue);
}

TEST(Arbitration, AfterWaitingServersEndTheRunAndLoneManagersAreLeftovers) {
  EXPECT_EQ(DecideAfterWait(true, 3, 3), ArbitrationOutcome::kContinue);
  EXPECT_EQ(DecideAfterWait(false, 1, 0), ArbitrationOutcome::kSkipAnotherInstance);
  EXPECT_EQ(DecideAfterWait(false, 1, 2), ArbitrationOutcome::kSkipAnotherInstance);
  EXPECT_EQ(DecideAfterWait(false, 0, 0), ArbitrationOutcome::kSkipLockWithoutInstance);
  EXPECT_EQ(DecideAfterWait(false, 0, 2), ArbitrationOutcome::kTerminateManagers);
  EXPECT_EQ(DecideAfterCleanup(0), ArbitrationOutcome::kContinue);
  EXPECT_EQ(DecideAfterCleanup(1), ArbitrationOutcome::kSkipAnotherInstance);
}

TEST(Arbitration, LockIsHeldElsewhereOnAlreadyExistsOrAccessDenied) {
  EXPECT_TRUE(IsLockHeldElsewhere(183));
  EXPECT_TRUE(IsLockHeldElsewhere(5));
  EXPECT_FALSE(IsLockHeldElsewhere(0));
  EXPECT_FALSE(IsLockHeldElsewhere(2));
}

}  // namespace
