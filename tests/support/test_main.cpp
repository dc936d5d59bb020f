// Every test program's entry point; a program started with "--host" is a plug-in host instead, and one
// started with "--hold" holds a file for a test.
#include <gtest/gtest.h>

#include "support/plugin_host.h"
#include "support/test_support.h"

int main(int argc, char** argv) {
  int exit_code = 0;
  if (zyhok_test::RunAsHost(&exit_code) || zyhok_test::RunAsHolder(&exit_code)) return exit_code;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
