// nexusDaemon.exe: a test host named like the platform's service host. It links the library's core, so its
// environment table is built during its start-up exactly as in the DLL, and writes that table to the file
// named on its command line ("nexusDaemon.exe <output file>"), one "token<TAB>value" line per entry, in
// UTF-16. Exit status: 0 when the table was written, 1 when the file could not be written, 2 without a file.
#include <windows.h>

#include <string>

#include "util/handle.h"
#include "util/util_EnvironmentVar.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  std::wstring lines;
  for (const auto& entry : zyhok::EnvironmentVarMap()) lines += entry.first + L"\t" + entry.second + L"\r\n";
  const zyhok::UniqueFileHandle file(CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  const DWORD bytes = static_cast<DWORD>(lines.size() * sizeof(wchar_t));
  DWORD written = 0;
  return file && WriteFile(file.get(), lines.data(), bytes, &written, nullptr) && written == bytes ? 0 : 1;
}
