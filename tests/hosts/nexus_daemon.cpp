// nexusDaemon.exe: a test host named like the platform's service host. It links the library's core,
// so its environment table is built during its start-up exactly as in the DLL, and writes that table
// to the file named on its command line, one "token<TAB>value" line per entry, in UTF-8.
//
//   nexusDaemon.exe <output file>
//
// Exit status: 0 when the table was written, 1 when the file could not be written, 2 without an
// output file.
#include <windows.h>

#include <string>

#include "util/util_EnvironmentVar.h"

namespace {

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], bytes,
                      nullptr, nullptr);
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  std::wstring lines;
  for (const auto& entry : zyhok::EnvironmentVarMap()) {
    lines += entry.first + L"\t" + entry.second + L"\r\n";
  }
  const std::string bytes = ToUtf8(lines);
  HANDLE file = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size() ? 0 : 1;
}
