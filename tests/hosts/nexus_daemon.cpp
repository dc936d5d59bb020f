// nexusDaemon.exe: a test host named like the platform's service host. It links the library's core,
// so its environment table is built during its start-up exactly as in the DLL, and writes that table
// to the file named on its command line, one "token<TAB>value" line per entry, in UTF-16.
//
//   nexusDaemon.exe <output file>
//
// Exit status: 0 when the table was written, 1 when the file could not be written, 2 without an
// output file.
#include <windows.h>

#include <string>

#include "util/util_EnvironmentVar.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  std::wstring lines;
  for (const auto& entry : zyhok::EnvironmentVarMap()) {
    lines += entry.first + L"\t" + entry.second + L"\r\n";
  }
  HANDLE file = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  const DWORD bytes = static_cast<DWORD>(lines.size() * sizeof(wchar_t));
  DWORD written = 0;
  const BOOL ok = WriteFile(file, lines.data(), bytes, &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes ? 0 : 1;
}
