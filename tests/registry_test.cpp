// RegKey and the HKEY_LOCAL_MACHINE value functions against Wine's real registry. Every case works
// below HKLM\SOFTWARE\ZyhokTest_Registry (and its twin in the 32-bit view), removed before and after.
// Values are planted and checked with the raw advapi32 calls, independently of the code under test.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "support/test_support.h"
#include "util/registry.h"

namespace {

using namespace zyhok_test;
using zyhok::RegKey;

const std::wstring kRoot = L"SOFTWARE\\ZyhokTest_Registry";
const std::wstring kRoot32 = L"SOFTWARE\\WOW6432Node\\ZyhokTest_Registry";  // the 32-bit view's key

static_assert(!std::is_copy_constructible<RegKey>::value, "RegKey owns its key");
static_assert(!std::is_copy_assignable<RegKey>::value, "RegKey owns its key");
static_assert(std::is_nothrow_move_constructible<RegKey>::value, "RegKey moves");

// True when `key` is no longer an open registry handle.
bool IsClosed(HKEY key) {
  DWORD subkeys = 0;
  return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                          nullptr, nullptr, nullptr) == ERROR_INVALID_HANDLE;
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { TearDown(); }
  void TearDown() override {
    DeleteHklmTree(kRoot);
    DeleteHklmTree(kRoot32);
    EXPECT_FALSE(HklmKeyExists(kRoot));
    EXPECT_FALSE(HklmKeyExists(kRoot32));
  }
};

TEST_F(Registry, FreeFunctionsRoundTripAndCreateMissingParents) {
  const std::wstring nested = kRoot + L"\\a\\b\\c";
  ASSERT_TRUE(zyhok::WriteRegDword(0xE01A000Cu, nested, L"Number"));
  EXPECT_EQ(ReadHklmValue(nested, L"Number"), Dword(0xE01A000Cu));
  DWORD number = 7;
  ASSERT_TRUE(zyhok::ReadRegDword(number, nested, L"Number"));
  EXPECT_EQ(number, 0xE01A000Cu);

  ASSERT_TRUE(zyhok::WriteRegString(L"C:\\Windows\\system32\\zyhok\\20019", nested, L"Text"));
  EXPECT_EQ(ReadHklmValue(nested, L"Text"), Sz(L"C:\\Windows\\system32\\zyhok\\20019"));
  std::wstring text = L"old";
  ASSERT_TRUE(zyhok::ReadRegString(text, nested, L"Text"));
  EXPECT_EQ(text, L"C:\\Windows\\system32\\zyhok\\20019");
  // An empty text is stored as its terminator alone and reads back empty.
  ASSERT_TRUE(zyhok::WriteRegString(L"", nested, L"Text"));
  EXPECT_EQ(ReadHklmValue(nested, L"Text"), Sz(L""));
  ASSERT_TRUE(zyhok::ReadRegString(text, nested, L"Text"));
  EXPECT_EQ(text, L"");
}

// A read that fails leaves its output alone; a number read takes four bytes of any type.
TEST_F(Registry, FailedReadsLeaveTheOutputAlone) {
  DWORD number = 0x1234;
  std::wstring text = L"untouched";
  EXPECT_FALSE(zyhok::ReadRegDword(number, kRoot + L"\\missing", L"Number"));
  EXPECT_FALSE(zyhok::ReadRegString(text, kRoot + L"\\missing", L"Text"));
  ASSERT_EQ(WriteHklmValue(kRoot, L"Text", Sz(L"hello")), ERROR_SUCCESS);
  const unsigned char four[4] = {0x78, 0x56, 0x34, 0x12};
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

TEST_F(Registry, TextReadStopsAtTheFirstNulAndNeverTrustsATerminator) {
  const wchar_t unterminated[] = {L'a', L'b', L'c'};
  const wchar_t embedded[] = {L'a', L'b', L'\0', L'c', L'd', L'\0'};
  const DWORD as_text = 0x00420041;            // "AB" in UTF-16LE, no terminator
  const char odd[] = {'x', 0, 'y', 0, 'z'};    // two characters and a stray byte
  const struct {
    RegValue stored;
    const wchar_t* read;
  } cases[] = {
      {Raw(REG_SZ, unterminated, sizeof(unterminated)), L"abc"},
      {Raw(REG_SZ, embedded, sizeof(embedded)), L"ab"},
      {Sz(L"%SystemRoot%\\zyhok", REG_EXPAND_SZ), L"%SystemRoot%\\zyhok"},
      {Raw(REG_DWORD, &as_text, sizeof(as_text)), L"AB"},
      {Raw(REG_BINARY, odd, sizeof(odd)), L"xy"},
      {Raw(REG_SZ, L"", 0), L""},
  };
  RegKey key;
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kRoot.c_str()), ERROR_SUCCESS);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.stored));
    ASSERT_EQ(WriteHklmValue(kRoot, L"Value", c.stored), ERROR_SUCCESS);
    std::wstring text = L"old";
    EXPECT_EQ(key.QueryValue(text, L"Value"), ERROR_SUCCESS);
    EXPECT_EQ(text, c.read);
  }
}

TEST_F(Registry, SettersWriteTypeAndSize) {
  RegKey key;
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kRoot.c_str()), ERROR_SUCCESS);
  EXPECT_EQ(key.SetValue(L"%WINDIR%\\x", L"Expand", REG_EXPAND_SZ), ERROR_SUCCESS);
  EXPECT_EQ(key.SetValue(L"", L"Empty", REG_SZ), ERROR_SUCCESS);
  EXPECT_EQ(key.SetValue(0x201A0001u, L"Number"), ERROR_SUCCESS);
  EXPECT_EQ(ReadHklmValue(kRoot, L"Expand"), Sz(L"%WINDIR%\\x", REG_EXPAND_SZ));
  EXPECT_EQ(ReadHklmValue(kRoot, L"Empty"), Sz(L""));
  EXPECT_EQ(ReadHklmValue(kRoot, L"Number"), Dword(0x201A0001u));

  EXPECT_EQ(key.DeleteValue(L"Number"), ERROR_SUCCESS);
  EXPECT_EQ(ReadHklmValue(kRoot, L"Number").error, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.DeleteValue(L"Number"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadHklmValue(kRoot, L"Expand").error, ERROR_SUCCESS);

  // The static setters create the key and report the first error.
  const std::wstring nested = kRoot + L"\\p\\q";
  EXPECT_EQ(RegKey::SetValue(HKEY_LOCAL_MACHINE, nested.c_str(), L"text", L"T"), ERROR_SUCCESS);
  EXPECT_EQ(RegKey::SetValue(HKEY_LOCAL_MACHINE, nested.c_str(), 3u, L"N"), ERROR_SUCCESS);
  EXPECT_EQ(ReadHklmValue(nested, L"T"), Sz(L"text"));
  EXPECT_EQ(ReadHklmValue(nested, L"N"), Dword(3));
  EXPECT_EQ(RegKey::SetValue(nullptr, L"ZyhokNoParent", L"text", L"T"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegKey::SetValue(nullptr, L"ZyhokNoParent", 3u, L"N"), ERROR_INVALID_HANDLE);
}

// A failed Create or Open leaves the held key (and the disposition) alone; a successful one closes the
// held key first.
TEST_F(Registry, CreateAndOpenReplaceTheHeldKeyOnlyOnSuccess) {
  const std::wstring first = kRoot + L"\\first", second = kRoot + L"\\second";
  RegKey key;
  EXPECT_EQ(key.Close(), ERROR_SUCCESS);  // nothing held
  DWORD disposition = 0;
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, first.c_str(), nullptr, REG_OPTION_NON_VOLATILE,
                       KEY_ALL_ACCESS, nullptr, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_EQ(key.SetValue(1u, L"Which"), ERROR_SUCCESS);
  const HKEY held = key.Handle();

  disposition = 0xDEAD;
  EXPECT_EQ(key.Create(nullptr, L"ZyhokNoParent", nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                       nullptr, &disposition),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(disposition, 0xDEADu);
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, (kRoot + L"\\none").c_str(), KEY_ALL_ACCESS), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.Handle(), held);
  DWORD which = 0;
  EXPECT_EQ(key.QueryValue(which, L"Which"), ERROR_SUCCESS);
  EXPECT_EQ(which, 1u);

  ASSERT_TRUE(zyhok::WriteRegDword(2, second, L"Which"));
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, second.c_str(), KEY_ALL_ACCESS), ERROR_SUCCESS);
  EXPECT_EQ(key.QueryValue(which, L"Which"), ERROR_SUCCESS);
  EXPECT_EQ(which, 2u);
  if (key.Handle() != held) {
    EXPECT_TRUE(IsClosed(held));
  }

  const HKEY opened = key.Handle();
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, first.c_str(), nullptr, REG_OPTION_NON_VOLATILE,
                       KEY_ALL_ACCESS, nullptr, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  if (key.Handle() != opened) {
    EXPECT_TRUE(IsClosed(opened));
  }

  EXPECT_EQ(key.Close(), ERROR_SUCCESS);
  EXPECT_FALSE(key.Valid());
  EXPECT_EQ(key.Close(), ERROR_SUCCESS);
}

// A key that exists only in the 32-bit view. Open adds KEY_WOW64_64KEY to its first attempt; a caller
// that asks for the 32-bit view must still get that view's key, through the second attempt with the
// caller's own mask where the combined flags are refused. Wine lets the 32-bit flag win in the first
// attempt already, so the fallback itself cannot be observed here.
TEST_F(Registry, OpenHonoursTheCallers32BitView) {
  ASSERT_EQ(WriteHklmValue(kRoot32, L"View", Dword(32)), ERROR_SUCCESS);
  ASSERT_FALSE(HklmKeyExists(kRoot));

  RegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kRoot.c_str(), KEY_READ | KEY_WOW64_32KEY), ERROR_SUCCESS);
  DWORD view = 0;
  EXPECT_EQ(key.QueryValue(view, L"View"), ERROR_SUCCESS);
  EXPECT_EQ(view, 32u);
  // Without the 32-bit flag neither attempt sees it, and the object stays empty.
  RegKey plain;
  EXPECT_EQ(plain.Open(HKEY_LOCAL_MACHINE, kRoot.c_str(), KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(plain.Valid());
}

TEST_F(Registry, MovesHandOverTheKeyAndDestructionClosesIt) {
  ASSERT_TRUE(zyhok::WriteRegDword(9, kRoot, L"Nine"));
  HKEY raw = nullptr;
  {
    RegKey source;
    ASSERT_EQ(source.Open(HKEY_LOCAL_MACHINE, kRoot.c_str(), KEY_ALL_ACCESS), ERROR_SUCCESS);
    raw = source.Handle();
    RegKey moved(std::move(source));
    EXPECT_FALSE(source.Valid());
    DWORD nine = 0;
    EXPECT_EQ(moved.QueryValue(nine, L"Nine"), ERROR_SUCCESS);
    EXPECT_EQ(nine, 9u);

    RegKey target;
    ASSERT_EQ(target.Create(HKEY_LOCAL_MACHINE, (kRoot + L"\\other").c_str()), ERROR_SUCCESS);
    const HKEY replaced = target.Handle();
    target = std::move(moved);
    EXPECT_TRUE(IsClosed(replaced));
    EXPECT_FALSE(moved.Valid());
    EXPECT_EQ(target.Handle(), raw);
    EXPECT_FALSE(IsClosed(raw));
  }
  EXPECT_TRUE(IsClosed(raw));
}

}  // namespace
