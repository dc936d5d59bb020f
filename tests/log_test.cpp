// The diagnostic log interface through the real journalsink.dll stand-in: which lines are written for
// each configured level, and the text forms of the pieces of a line.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"
#include "util/log.h"

namespace {

constexpr const wchar_t* kLogSource = L"log_test";

using zyhok::kLevelError;
using zyhok::kLevelInfo;
using zyhok::kLevelWarning;
using zyhok::kLogAdapter;
using zyhok::kLogCommon;
using zyhok::kLogInstall;
using zyhok_test::LogCapture;

std::wstring Built(void (*fill)(zyhok::LogLine&)) {
  zyhok::LogLine line(kLogInstall, kLevelInfo, kLogSource, 1);
  fill(line);
  std::wstring text = line.text();
  return text;
}

TEST(LogEnablingRule, ConfiguredLevelLetsThroughLinesOfThatLevelAndAbove) {
  LogCapture log;
  // configured level -> which of the levels 2, 3, 5 are written
  struct Case {
    unsigned configured;
    bool l2, l3, l5;
  } cases[] = {{0, false, false, false}, {1, true, true, true},  {2, true, true, true},
               {3, false, true, true},   {4, false, false, true}, {5, false, false, true},
               {6, false, false, false}, {100, false, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.configured);
    log.SetLevels(L"*=0;ZYHOK Driver Installation=" + std::to_wstring(c.configured));
    EXPECT_EQ(zyhok::LogEnabled(kLogInstall, kLevelInfo), c.l2);
    EXPECT_EQ(zyhok::LogEnabled(kLogInstall, kLevelWarning), c.l3);
    EXPECT_EQ(zyhok::LogEnabled(kLogInstall, kLevelError), c.l5);
    log.Clear();
    ZYLOG(kLogInstall, kLevelInfo) << L"two";
    ZYLOG(kLogInstall, kLevelWarning) << L"three";
    ZYLOG(kLogInstall, kLevelError) << L"five";
    EXPECT_EQ(log.Has(2, L"two"), c.l2) << log.Dump();
    EXPECT_EQ(log.Has(3, L"three"), c.l3) << log.Dump();
    EXPECT_EQ(log.Has(5, L"five"), c.l5) << log.Dump();
  }
}

TEST(LogEnablingRule, LevelsAreKeptPerModule) {
  LogCapture log(L"*=0;Util COMMON=5;Plugin ZYHOK Adapter=2");
  ZYLOG(kLogCommon, kLevelInfo) << L"common info";
  ZYLOG(kLogCommon, kLevelError) << L"common error";
  ZYLOG(kLogAdapter, kLevelInfo) << L"adapter info";
  ZYLOG(kLogInstall, kLevelError) << L"install error";
  auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 2u) << log.Dump();
  EXPECT_EQ(lines[0].module, L"Util COMMON");
  EXPECT_EQ(lines[0].text, L"common error");
  EXPECT_EQ(lines[0].source, L"log_test");
  EXPECT_EQ(lines[1].module, L"Plugin ZYHOK Adapter");
  EXPECT_EQ(lines[1].text, L"adapter info");
}

int g_pieces_built = 0;
const wchar_t* CountedPiece() {
  ++g_pieces_built;
  return L"piece";
}

// A line that is off builds no text; a line that is on keeps the thread's last-error value.
TEST(LogEnablingRule, SuppressedLineBuildsNoTextAndLoggingKeepsTheLastError) {
  LogCapture log(L"*=5");
  ZYLOG(kLogInstall, kLevelInfo) << CountedPiece();
  EXPECT_EQ(g_pieces_built, 0);
  SetLastError(1056);
  ZYLOG(kLogInstall, kLevelError) << CountedPiece();
  EXPECT_EQ(GetLastError(), 1056u);
  EXPECT_EQ(g_pieces_built, 1);
  EXPECT_TRUE(log.Has(5, L"piece"));
}

TEST(LogTextForms, NumbersAreLowercaseHexWithoutLeadingZeros) {
  EXPECT_EQ(Built([](zyhok::LogLine& l) { l << 0u; }), L"0");
  EXPECT_EQ(Built([](zyhok::LogLine& l) { l << 1u; }), L"0x1");
  EXPECT_EQ(Built([](zyhok::LogLine& l) { l << 0xE01A000Au; }), L"0xe01a000a");
  EXPECT_EQ(Built([](zyhok::LogLine& l) { l << 30000u; }), L"0x7530");
  EXPECT_EQ(Built([](zyhok::LogLine& l) { l << 0xFFFFFFFFu; }), L"0xffffffff");
  EXPECT_EQ(Built([](zyhok::LogLine& l) { l << static_cast<DWORD>(1305); }), L"0x519");
  EXPECT_EQ(Built([](zyhok::LogLine& l) { l << -1; }), L"0xffffffff");
  EXPECT_EQ(Built([](zyhok::LogLine& l) { l << TRUE; }), L"0x1");
}

TEST(LogTextForms, BooleansNullsAndNarrowText) {
  EXPECT_EQ(Built([](zyhok::LogLine& l) { l << true << false; }), L"10");
  EXPECT_EQ(Built([](zyhok::LogLine& l) { l << static_cast<const wchar_t*>(nullptr); }), L"(NULL)");
  EXPECT_EQ(Built([](zyhok::LogLine& l) { l << static_cast<const char*>(nullptr); }), L"(NULL)");
  EXPECT_EQ(Built([](zyhok::LogLine& l) { l << "driver version: " << "1.6.1195"; }),
            L"driver version: 1.6.1195");
  EXPECT_EQ(Built([](zyhok::LogLine& l) { l << L"a" << L"" << "" << L"b"; }), L"ab");
}

TEST(LogTextForms, LongTextsSurviveGrowthAndTheHeapConversion) {
  const std::string narrow(3000, 'n');  // beyond the 512-unit stack buffer
  const std::wstring wide(5000, L'w');
  zyhok::LogLine line(kLogInstall, kLevelInfo, kLogSource, 1);
  line << L"start " << narrow.c_str() << L" " << wide << L" " << 0xABCu;
  const std::wstring expected =
      L"start " + std::wstring(3000, L'n') + L" " + wide + L" 0xabc";
  EXPECT_EQ(line.text(), expected);
}

TEST(LogTextForms, EntryAndExitLinesReachTheFileWholeWithTheirLevelAndSource) {
  LogCapture log;
  ZYLOG(kLogInstall, kLevelInfo) << L"==> DoActionFromDrvInfo," << L"rDrvInfo.action = " << 1u
                                 << L", rDrvInfo.compare_state = " << 0u;
  const unsigned expected_line = __LINE__ - 2;
  auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u) << log.Dump();
  EXPECT_EQ(lines[0].text, L"==> DoActionFromDrvInfo,rDrvInfo.action = 0x1, rDrvInfo.compare_state = 0");
  EXPECT_EQ(lines[0].level, 2u);
  EXPECT_EQ(lines[0].module, L"ZYHOK Driver Installation");
  EXPECT_EQ(lines[0].line, expected_line);
}

}  // namespace
