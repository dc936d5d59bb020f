// Every test program's entry point; a program started with "--host" is a plug-in host instead.
#include <gtest/gtest.h>

#include "support/plugin_host.h"

int main(int argc, char** argv) {
  int exit_code = 0;
  if (zyhok_test::RunAsHost(&exit_code)) return exit_code;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
