// Fixture of the end-to-end tests: the plug-in loaded like the host loads it, on a machine that
// holds nothing of the driver before and after each test.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>

#include <string>

#include "support/plugin_host.h"

namespace zyhok_test {

// Record actions and result codes as the host writes and reads them.
inline constexpr uint32_t kInstall = 0;
inline constexpr uint32_t kUninstall = 2;
inline constexpr uint32_t kSuccess = 0x201A0001;
inline constexpr uint32_t kFailed = 0xE01A000C;

// Entry line of the access change on the driver's service object: put on (install) or lifted
// (uninstall).
inline std::wstring AccessChangeLine(bool restrict) {
  return std::wstring(
             L"==> CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject,pwszServiceName=zyhok, "
             L"bRestrictAct=") +
         (restrict ? L"1" : L"0");
}

class PluginOnCleanMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDriverMachineState();
    ASSERT_TRUE(plugin_.loaded());
  }
  void TearDown() override { ResetDriverMachineState(); }

  LoadedPlugin plugin_;
};

}  // namespace zyhok_test
