// RegKey and the HKEY_LOCAL_MACHINE value functions against Wine's real registry. Every case works
// below HKLM\SOFTWARE\ZyhokTest_Registry (and its twin in the 32-bit view), removed before and after.
// Values are planted and checked with the raw advapi32 calls, independently of the code under test.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "util/registry.h"

namespace {

using zyhok::RegKey;

constexpr const wchar_t* kRoot = L"SOFTWARE\\ZyhokTest_Registry";
const std::wstring kRootText = kRoot;

static_assert(!std::is_copy_constructible<RegKey>::value, "RegKey owns its key");
static_assert(!std::is_copy_assignable<RegKey>::value, "RegKey owns its key");
static_assert(std::is_nothrow_move_constructible<RegKey>::value, "RegKey moves");

void DeleteTree(const wchar_t* sub_key, REGSAM view) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub_key, 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS) {
    return;
  }
  RegDeleteTreeW(key, nullptr);
  RegCloseKey(key);
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, sub_key, view, 0);
}

bool KeyExists(const std::wstring& sub_key, REGSAM view = KEY_WOW64_64KEY) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub_key.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

// Writes value data byte for byte, creating the key.
void PutRaw(const std::wstring& sub_key, const wchar_t* name, DWORD type, const void* data,
            DWORD bytes, REGSAM view = KEY_WOW64_64KEY) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, sub_key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
  RegCloseKey(key);
}

struct RawValue {
  LONG error = ERROR_FILE_NOT_FOUND;
  DWORD type = 0;
  std::string bytes;
};

RawValue GetRaw(const std::wstring& sub_key, const wchar_t* name) {
  RawValue out;
  HKEY key = nullptr;
  out.error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub_key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key);
  if (out.error != ERROR_SUCCESS) return out;
  char data[512];
  DWORD size = sizeof(data);
  out.error = RegQueryValueExW(key, name, nullptr, &out.type, reinterpret_cast<BYTE*>(data), &size);
  if (out.error == ERROR_SUCCESS) out.bytes.assign(data, size);
  RegCloseKey(key);
  return out;
}

std::string Utf16Bytes(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

// True when `key` is no longer an open registry handle.
bool IsClosed(HKEY key) {
  DWORD subkeys = 0;
  return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                          nullptr, nullptr, nullptr) == ERROR_INVALID_HANDLE;
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { Clean(); }
  void TearDown() override {
    Clean();
    EXPECT_FALSE(KeyExists(kRoot));
    EXPECT_FALSE(KeyExists(kRoot, KEY_WOW64_32KEY));
  }
  static void Clean() {
    DeleteTree(kRoot, KEY_WOW64_64KEY);
    DeleteTree(kRoot, KEY_WOW64_32KEY);
  }
};

TEST_F(Registry, DwordRoundTripCreatesMissingParents) {
  const std::wstring nested = kRootText + L"\\a\\b\\c";
  ASSERT_TRUE(zyhok::WriteRegDword(0xE01A000Cu, nested, L"Number"));
  RawValue raw = GetRaw(nested, L"Number");
  ASSERT_EQ(raw.error, ERROR_SUCCESS);
  EXPECT_EQ(raw.type, static_cast<DWORD>(REG_DWORD));
  const DWORD expected = 0xE01A000Cu;
  EXPECT_EQ(raw.bytes, std::string(reinterpret_cast<const char*>(&expected), 4));

  DWORD value = 7;
  ASSERT_TRUE(zyhok::ReadRegDword(value, nested, L"Number"));
  EXPECT_EQ(value, 0xE01A000Cu);

  ASSERT_TRUE(zyhok::WriteRegDword(0, nested, L"Number"));
  ASSERT_TRUE(zyhok::ReadRegDword(value, nested, L"Number"));
  EXPECT_EQ(value, 0u);
}

TEST_F(Registry, StringRoundTripStoresTheTerminator) {
  const std::wstring nested = kRootText + L"\\s\\t";
  ASSERT_TRUE(zyhok::WriteRegString(L"C:\\Windows\\system32\\zyhok\\20019", nested, L"Text"));
  RawValue raw = GetRaw(nested, L"Text");
  ASSERT_EQ(raw.error, ERROR_SUCCESS);
  EXPECT_EQ(raw.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(raw.bytes, Utf16Bytes(std::wstring(L"C:\\Windows\\system32\\zyhok\\20019") + L'\0'));

  std::wstring value = L"old";
  ASSERT_TRUE(zyhok::ReadRegString(value, nested, L"Text"));
  EXPECT_EQ(value, L"C:\\Windows\\system32\\zyhok\\20019");

  // An empty text is stored as its terminator alone and reads back empty.
  ASSERT_TRUE(zyhok::WriteRegString(L"", nested, L"Empty"));
  raw = GetRaw(nested, L"Empty");
  EXPECT_EQ(raw.bytes, std::string(2, '\0'));
  value = L"old";
  ASSERT_TRUE(zyhok::ReadRegString(value, nested, L"Empty"));
  EXPECT_EQ(value, L"");
}

TEST_F(Registry, MissingKeysAndValuesLeaveTheOutputAlone) {
  DWORD number = 0x1234;
  std::wstring text = L"untouched";
  EXPECT_FALSE(zyhok::ReadRegDword(number, kRootText + L"\\missing", L"Number"));
  EXPECT_FALSE(zyhok::ReadRegString(text, kRootText + L"\\missing", L"Text"));

  ASSERT_TRUE(zyhok::WriteRegDword(1, kRootText, L"Other"));
  EXPECT_FALSE(zyhok::ReadRegDword(number, kRootText, L"Number"));
  EXPECT_FALSE(zyhok::ReadRegString(text, kRootText, L"Text"));
  EXPECT_EQ(number, 0x1234u);
  EXPECT_EQ(text, L"untouched");

  RegKey key;
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, (kRootText + L"\\missing").c_str(), KEY_READ),
            ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(key.Valid());
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kRoot, KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(key.QueryValue(number, L"Number"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.QueryValue(text, L"Text"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(number, 0x1234u);
  EXPECT_EQ(text, L"untouched");
}

TEST_F(Registry, NumberReadTakesFourBytesWhateverTheType) {
  const wchar_t hello[] = L"hello";
  PutRaw(kRoot, L"Text", REG_SZ, hello, sizeof(hello));
  const unsigned char four[4] = {0x78, 0x56, 0x34, 0x12};
  PutRaw(kRoot, L"Binary", REG_BINARY, four, 4);

  RegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kRoot, KEY_READ), ERROR_SUCCESS);
  DWORD number = 0xABCD;
  EXPECT_EQ(key.QueryValue(number, L"Text"), ERROR_MORE_DATA);
  EXPECT_EQ(number, 0xABCDu);
  EXPECT_FALSE(zyhok::ReadRegDword(number, kRootText, L"Text"));
  EXPECT_EQ(number, 0xABCDu);

  EXPECT_EQ(key.QueryValue(number, L"Binary"), ERROR_SUCCESS);
  EXPECT_EQ(number, 0x12345678u);
}

TEST_F(Registry, TextReadStopsAtTheFirstNulAndNeverTrustsATerminator) {
  const wchar_t unterminated[] = {L'a', L'b', L'c'};
  PutRaw(kRoot, L"NoNul", REG_SZ, unterminated, sizeof(unterminated));
  const wchar_t embedded[] = {L'a', L'b', L'\0', L'c', L'd', L'\0'};
  PutRaw(kRoot, L"Embedded", REG_SZ, embedded, sizeof(embedded));
  const wchar_t expand[] = L"%SystemRoot%\\zyhok";
  PutRaw(kRoot, L"Expand", REG_EXPAND_SZ, expand, sizeof(expand));
  const DWORD as_text = 0x00420041;  // "AB" in UTF-16LE, no terminator
  PutRaw(kRoot, L"Dword", REG_DWORD, &as_text, sizeof(as_text));
  const char odd[] = {'x', 0, 'y', 0, 'z'};  // two characters and a stray byte
  PutRaw(kRoot, L"Odd", REG_BINARY, odd, sizeof(odd));
  PutRaw(kRoot, L"ZeroBytes", REG_SZ, L"", 0);

  RegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kRoot, KEY_READ), ERROR_SUCCESS);
  std::wstring text;
  EXPECT_EQ(key.QueryValue(text, L"NoNul"), ERROR_SUCCESS);
  EXPECT_EQ(text, L"abc");
  EXPECT_EQ(key.QueryValue(text, L"Embedded"), ERROR_SUCCESS);
  EXPECT_EQ(text, L"ab");
  EXPECT_EQ(key.QueryValue(text, L"Expand"), ERROR_SUCCESS);
  EXPECT_EQ(text, L"%SystemRoot%\\zyhok");
  EXPECT_EQ(key.QueryValue(text, L"Dword"), ERROR_SUCCESS);
  EXPECT_EQ(text, L"AB");
  EXPECT_EQ(key.QueryValue(text, L"Odd"), ERROR_SUCCESS);
  EXPECT_EQ(text, L"xy");
  text = L"old";
  EXPECT_EQ(key.QueryValue(text, L"ZeroBytes"), ERROR_SUCCESS);
  EXPECT_EQ(text, L"");
}

TEST_F(Registry, MemberSettersWriteTypeAndSize) {
  RegKey key;
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kRoot), ERROR_SUCCESS);
  EXPECT_EQ(key.SetValue(L"%WINDIR%\\x", L"Expand", REG_EXPAND_SZ), ERROR_SUCCESS);
  EXPECT_EQ(key.SetValue(L"", L"Empty", REG_SZ), ERROR_SUCCESS);
  EXPECT_EQ(key.SetValue(0x201A0001u, L"Number"), ERROR_SUCCESS);

  RawValue raw = GetRaw(kRoot, L"Expand");
  EXPECT_EQ(raw.type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(raw.bytes, Utf16Bytes(std::wstring(L"%WINDIR%\\x") + L'\0'));
  raw = GetRaw(kRoot, L"Empty");
  EXPECT_EQ(raw.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(raw.bytes, std::string(2, '\0'));
  DWORD number = 0;
  EXPECT_EQ(key.QueryValue(number, L"Number"), ERROR_SUCCESS);
  EXPECT_EQ(number, 0x201A0001u);

  EXPECT_EQ(key.DeleteValue(L"Number"), ERROR_SUCCESS);
  EXPECT_EQ(GetRaw(kRoot, L"Number").error, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.DeleteValue(L"Number"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetRaw(kRoot, L"Expand").error, ERROR_SUCCESS);
}

TEST_F(Registry, CreateReportsDispositionAndKeepsTheOldKeyOnFailure) {
  RegKey key;
  DWORD disposition = 0;
  const std::wstring nested = kRootText + L"\\x\\y";
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, nested.c_str(), nullptr, REG_OPTION_NON_VOLATILE,
                       KEY_ALL_ACCESS, nullptr, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_TRUE(KeyExists(nested));

  RegKey again;
  disposition = 0;
  ASSERT_EQ(again.Create(HKEY_LOCAL_MACHINE, nested.c_str(), nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_ALL_ACCESS, nullptr, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

  // A failing create (no parent key) reports its error, leaves the disposition and the held key.
  const HKEY held = key.Handle();
  disposition = 0xDEAD;
  EXPECT_EQ(key.Create(nullptr, L"ZyhokNoParent", nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                       nullptr, &disposition),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(disposition, 0xDEADu);
  EXPECT_EQ(key.Handle(), held);
  EXPECT_EQ(key.SetValue(5, L"StillOpen"), ERROR_SUCCESS);

  // A successful create over a held key closes that key.
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kRoot), ERROR_SUCCESS);
  EXPECT_NE(key.Handle(), nullptr);
  if (key.Handle() != held) {
    EXPECT_TRUE(IsClosed(held));
  }
}

TEST_F(Registry, OpenReplacesTheHeldKeyOnlyOnSuccess) {
  ASSERT_TRUE(zyhok::WriteRegDword(1, kRootText + L"\\first", L"Which"));
  ASSERT_TRUE(zyhok::WriteRegDword(2, kRootText + L"\\second", L"Which"));

  RegKey key;
  EXPECT_EQ(key.Close(), ERROR_SUCCESS);  // nothing held
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, (kRootText + L"\\first").c_str(), KEY_ALL_ACCESS),
            ERROR_SUCCESS);
  const HKEY first = key.Handle();

  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, (kRootText + L"\\none").c_str(), KEY_ALL_ACCESS),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.Handle(), first);
  DWORD which = 0;
  EXPECT_EQ(key.QueryValue(which, L"Which"), ERROR_SUCCESS);
  EXPECT_EQ(which, 1u);

  // Opening over a held key returns the result of closing it, and the new key is open.
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, (kRootText + L"\\second").c_str(), KEY_ALL_ACCESS),
            ERROR_SUCCESS);
  EXPECT_EQ(key.QueryValue(which, L"Which"), ERROR_SUCCESS);
  EXPECT_EQ(which, 2u);
  if (key.Handle() != first) {
    EXPECT_TRUE(IsClosed(first));
  }

  EXPECT_EQ(key.Close(), ERROR_SUCCESS);
  EXPECT_FALSE(key.Valid());
  EXPECT_EQ(key.Close(), ERROR_SUCCESS);
}

// A key that exists only in the 32-bit view (SOFTWARE\WOW6432Node). Open adds KEY_WOW64_64KEY to its
// first attempt; a caller that asks for the 32-bit view must still get that view's key, through the
// second attempt with the caller's own mask where the combined flags are refused. Wine lets the 32-bit
// flag win in the first attempt already, so the fallback itself cannot be observed here.
TEST_F(Registry, OpenHonoursTheCallers32BitView) {
  const DWORD marker = 32;
  PutRaw(kRoot, L"View", REG_DWORD, &marker, sizeof(marker), KEY_WOW64_32KEY);
  ASSERT_TRUE(KeyExists(L"SOFTWARE\\WOW6432Node\\ZyhokTest_Registry", KEY_WOW64_64KEY));
  ASSERT_FALSE(KeyExists(kRoot, KEY_WOW64_64KEY));

  RegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kRoot, KEY_READ | KEY_WOW64_32KEY), ERROR_SUCCESS);
  DWORD view = 0;
  EXPECT_EQ(key.QueryValue(view, L"View"), ERROR_SUCCESS);
  EXPECT_EQ(view, 32u);

  // Without the 32-bit flag neither attempt sees it, and the object stays empty.
  RegKey plain;
  EXPECT_EQ(plain.Open(HKEY_LOCAL_MACHINE, kRoot, KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(plain.Valid());
}

TEST_F(Registry, MovesHandOverTheKeyAndDestructionClosesIt) {
  ASSERT_TRUE(zyhok::WriteRegDword(9, kRootText, L"Nine"));
  HKEY raw = nullptr;
  {
    RegKey source;
    ASSERT_EQ(source.Open(HKEY_LOCAL_MACHINE, kRoot, KEY_ALL_ACCESS), ERROR_SUCCESS);
    raw = source.Handle();

    RegKey moved(std::move(source));
    EXPECT_FALSE(source.Valid());
    EXPECT_EQ(moved.Handle(), raw);
    DWORD nine = 0;
    EXPECT_EQ(moved.QueryValue(nine, L"Nine"), ERROR_SUCCESS);
    EXPECT_EQ(nine, 9u);

    RegKey target;
    ASSERT_EQ(target.Create(HKEY_LOCAL_MACHINE, (kRootText + L"\\other").c_str()), ERROR_SUCCESS);
    const HKEY replaced = target.Handle();
    target = std::move(moved);
    EXPECT_TRUE(IsClosed(replaced));
    EXPECT_FALSE(moved.Valid());
    EXPECT_EQ(target.Handle(), raw);
    EXPECT_FALSE(IsClosed(raw));
  }
  EXPECT_TRUE(IsClosed(raw));
}

TEST_F(Registry, StaticSettersReportTheFirstError) {
  EXPECT_EQ(RegKey::SetValue(HKEY_LOCAL_MACHINE, (kRootText + L"\\p\\q").c_str(), L"text", L"T"),
            ERROR_SUCCESS);
  EXPECT_EQ(RegKey::SetValue(HKEY_LOCAL_MACHINE, (kRootText + L"\\p\\q").c_str(), 3u, L"N"),
            ERROR_SUCCESS);
  EXPECT_EQ(GetRaw(kRootText + L"\\p\\q", L"T").type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(GetRaw(kRootText + L"\\p\\q", L"N").type, static_cast<DWORD>(REG_DWORD));

  EXPECT_EQ(RegKey::SetValue(nullptr, L"ZyhokNoParent", L"text", L"T"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegKey::SetValue(nullptr, L"ZyhokNoParent", 3u, L"N"), ERROR_INVALID_HANDLE);
}

}  // namespace
