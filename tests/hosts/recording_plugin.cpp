// recording_plugin.dll: simulates the plug-in's batch export for zyhost's tests. It exports only
// Plugin_Interface_DriversDoAction, writes what one call received to the file named by
// ZYHOST_RECORDING_FILE and returns the result code in ZYHOST_RECORDING_RESULT (hexadecimal;
// 0x201A0001 when unset). File layout: u32 record count, u32 1 when the record pointer was null (else 0),
// then the bytes of count records of 2060 bytes each, read from the pointer exactly as a plug-in walks the array.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>

#include "util/handle.h"

namespace {

std::wstring Env(const wchar_t* name) {
  wchar_t buffer[1024];
  const DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
  return n == 0 || n >= 1024 ? std::wstring() : std::wstring(buffer, n);
}

}  // namespace

extern "C" __declspec(dllexport) uint32_t Plugin_Interface_DriversDoAction(const void* records, uint32_t count) {
  const uint32_t head[2] = {count, records == nullptr ? 1u : 0u};
  std::string bytes(reinterpret_cast<const char*>(head), sizeof(head));
  if (records != nullptr) bytes.append(static_cast<const char*>(records), size_t{count} * 2060);
  const zyhok::UniqueFileHandle out(
      CreateFileW(Env(L"ZYHOST_RECORDING_FILE").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  if (out) WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  const std::wstring result = Env(L"ZYHOST_RECORDING_RESULT");
  return result.empty() ? 0x201A0001u : static_cast<uint32_t>(std::wcstoul(result.c_str(), nullptr, 16));
}
