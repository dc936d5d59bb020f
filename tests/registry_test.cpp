// What the lifecycle rows cannot plant: registry values of the wrong type, size or termination, read
// through RegKey and the HKEY_LOCAL_MACHINE value functions below HKLM\SOFTWARE\ZyhokTest_Registry.
#include "support/test_support.h"
#include <type_traits>
#include "util/registry.h"

using namespace zyhok_test;
using zyhok::RegKey;
const std::wstring kRoot = L"SOFTWARE\\ZyhokTest_Registry";
static_assert(!std::is_copy_constructible<RegKey>::value && !std::is_copy_assignable<RegKey>::value &&
              std::is_nothrow_move_constructible<RegKey>::value, "RegKey owns its key and moves");

struct Registry : ::testing::Test {
  void SetUp() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRoot.c_str()); }
  void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRoot.c_str()); }
};
// A read that fails (missing key, missing value, text read as a number) leaves its output alone; a
// number read takes four bytes of any type.
TEST_F(Registry, FailedReadsLeaveTheOutputAlone) {
  DWORD number = 0x1234;
  std::wstring text = L"untouched";
  EXPECT_FALSE(zyhok::ReadRegDword(number, kRoot + L"\\missing", L"Number"));
  EXPECT_FALSE(zyhok::ReadRegString(text, kRoot + L"\\missing", L"Text"));
  const unsigned char four[4] = {0x78, 0x56, 0x34, 0x12};
  ASSERT_EQ(WriteHklmValue(kRoot, L"Text", Sz(L"hello")), ERROR_SUCCESS);
  ASSERT_EQ(WriteHklmValue(kRoot, L"Binary", Raw(REG_BINARY, four, 4)), ERROR_SUCCESS);
  EXPECT_FALSE(zyhok::ReadRegDword(number, kRoot, L"Number"));
  EXPECT_FALSE(zyhok::ReadRegString(text, kRoot, L"Number"));
  EXPECT_FALSE(zyhok::ReadRegDword(number, kRoot, L"Text"));
  RegKey key;
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, (kRoot + L"\\missing").c_str(), KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(key.Valid());
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kRoot.c_str(), KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(key.QueryValue(number, L"Number"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.QueryValue(text, L"Number"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.QueryValue(number, L"Text"), ERROR_MORE_DATA);
  EXPECT_EQ(number, 0x1234u);
  EXPECT_EQ(text, L"untouched");
  EXPECT_EQ(key.QueryValue(number, L"Binary"), ERROR_SUCCESS);
  EXPECT_EQ(number, 0x12345678u);
}
// A text read of any type ends at the first NUL within the data, never relies on a stored terminator,
// and drops a stray odd byte.
TEST_F(Registry, TextReadStopsAtTheFirstNulAndNeverTrustsATerminator) {
  const wchar_t unterminated[] = {L'a', L'b', L'c'}, embedded[] = {L'a', L'b', L'\0', L'c', L'd', L'\0'};
  const DWORD as_text = 0x00420041;          // "AB" in UTF-16LE, no terminator
  const char odd[] = {'x', 0, 'y', 0, 'z'};  // two characters and a stray byte
  const struct { RegValue stored; const wchar_t* read; } cases[] = {
      {Raw(REG_SZ, unterminated, sizeof unterminated), L"abc"},
      {Raw(REG_SZ, embedded, sizeof embedded), L"ab"},
      {Sz(L"%SystemRoot%\\zyhok", REG_EXPAND_SZ), L"%SystemRoot%\\zyhok"},
      {Raw(REG_DWORD, &as_text, sizeof(as_text)), L"AB"}, {Raw(REG_BINARY, odd, sizeof(odd)), L"xy"},
      {Raw(REG_SZ, L"", 0), L""}};
  RegKey key;
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kRoot.c_str()), ERROR_SUCCESS);
  for (const auto& c : cases) {
    ASSERT_EQ(WriteHklmValue(kRoot, L"Value", c.stored), ERROR_SUCCESS);
    std::wstring text = L"old";
    EXPECT_EQ(key.QueryValue(text, L"Value"), ERROR_SUCCESS) << WideToUtf8(c.read);
    EXPECT_EQ(text, c.read);
  }
}
