// The diagnostic log interface through the real journalsink.dll stand-in: which lines are written for
// each configured level, and the text forms of the pieces of a line.
#include "support/test_support.h"
#include "util/log.h"

constexpr const wchar_t* kLogSource = L"log_test";
using namespace zyhok;
using zyhok_test::LogCapture;

// A configured level enables and writes lines of that level and above; 0 and levels above 5 none.
TEST(LogEnablingRule, ConfiguredLevelLetsThroughLinesOfThatLevelAndAbove) {
  LogCapture log;
  const struct { unsigned configured; const wchar_t* levels; } cases[] = {  // levels: of 2, 3 and 5
      {0, L""}, {1, L"235"}, {2, L"235"}, {3, L"35"}, {4, L"5"}, {5, L"5"}, {6, L""}, {100, L""}};
  for (const auto& c : cases) {
    log.SetLevels(L"*=0;ZYHOK Driver Installation=" + std::to_wstring(c.configured));
    log.Clear();
    std::wstring enabled, written;
    for (uint32_t level : {kLevelInfo, kLevelWarning, kLevelError}) {
      if (LogEnabled(kLogInstall, level)) enabled += std::to_wstring(level);
      ZYLOG(kLogInstall, level) << L"line";
    }
    for (const auto& line : log.Lines()) written += std::to_wstring(line.level);
    EXPECT_EQ(enabled, c.levels) << c.configured;
    EXPECT_EQ(written, c.levels) << c.configured;
  }
}
static int g_pieces_built = 0;
static const wchar_t* CountedPiece() {
  ++g_pieces_built;
  return L"piece";
}
// Levels are kept per module; a line that is off builds no text; a line that is on keeps the thread's
// last-error value and reaches the file whole with its level, module, source and line number.
TEST(LogEnablingRule, LevelsArePerModuleAndLinesArriveWhole) {
  LogCapture log(L"*=0;Util COMMON=5;ZYHOK Driver Installation=2");
  ZYLOG(kLogCommon, kLevelInfo) << CountedPiece();
  EXPECT_EQ(g_pieces_built, 0);
  SetLastError(1056);
  const unsigned first = __LINE__ + 1;
  ZYLOG(kLogCommon, kLevelError) << CountedPiece();
  ZYLOG(kLogInstall, kLevelInfo) << L"==> DoActionFromDrvInfo," << L"rDrvInfo.action = " << 1u
                                 << L", rDrvInfo.compare_state = " << 0u;
  ZYLOG(kLogAdapter, kLevelError) << L"adapter error";
  EXPECT_EQ(GetLastError(), 1056u);
  EXPECT_EQ(g_pieces_built, 1);
  std::vector<std::wstring> lines;
  for (const auto& l : log.Lines()) {
    lines.push_back(std::to_wstring(l.level) + L"|" + l.module + L"|" + l.source + L"|" +
                    std::to_wstring(l.line - first) + L"|" + l.text);
  }
  EXPECT_EQ(lines, std::vector<std::wstring>({L"5|Util COMMON|log_test|0|piece",
            L"2|ZYHOK Driver Installation|log_test|1|==> DoActionFromDrvInfo,"
            L"rDrvInfo.action = 0x1, rDrvInfo.compare_state = 0"}));
}
// Numbers are lower-case hex without leading zeros, whatever their integer type; booleans "1"/"0"; a null narrow
// text "(NULL)"; narrow texts are converted, also beyond the 512-unit stack buffer. Texts from the machine (wide
// strings, narrow texts) show their control characters escaped; the library's own wide literals go in unchanged.
TEST(LogTextForms, NumbersBooleansNullsAndTexts) {
  LogLine line(kLogInstall, kLevelInfo, kLogSource, 1);
  line << -1 << true << false << static_cast<const char*>(nullptr);
  line << L"<" << std::string(3000, 'n').c_str() << std::wstring(5000, L'w') << 0xABCu;
  line << L"a\n" << std::wstring(L"b\r\x7f\x80", 4) << "c\t" << std::wstring(1, L'\0');
  EXPECT_EQ(line.text(), L"0xffffffff10(NULL)<" + std::wstring(3000, L'n') + std::wstring(5000, L'w') +
                             L"0xabca\nb<U+000D><U+007F>\x80"
                             L"c<U+0009><U+0000>");
}
