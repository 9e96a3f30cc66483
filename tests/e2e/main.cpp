// The end-to-end program runs the launcher users download: the release launcher of the win32
// tree beside this program's own (tests/support/launcher_run.h). The program itself, like the
// agent and the system stand-ins it drives, is the x86_64 build, as Windows' own programs and
// a 64-bit agent are on the machines the release launcher meets.
#include <gtest/gtest.h>

#include "support/launcher_run.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  testsupport::LauncherUnderTest() = testsupport::DefaultEndToEndBuild();
  return RUN_ALL_TESTS();
}
