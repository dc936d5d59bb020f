// zyhost: a small plug-in host for helperZYHOKDriver.dll, as the platform's service host drives it.
//
// It loads the DLL with LoadLibraryW, resolves the exports with GetProcAddress and lays out the
// records byte for byte as the host does; it shares no code with the library.
//
//   zyhost [--plugin <dll path>] status     driver id, status code, version text and flag
//   zyhost [--plugin <dll path>] info       owner module id and module version
//
// Exit status: 0 when the call's result is a success code, 1 when it is not, 2 for usage errors and a
// plug-in that cannot be loaded.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The host's driver-info record: 2060 bytes, array stride 2060.
struct DrvInfo {
  uint32_t host_word;
  wchar_t wszDriverPath[1024];
  uint32_t action;
  uint32_t compare_state;
};
static_assert(sizeof(DrvInfo) == 2060, "DrvInfo is 2060 bytes");
static_assert(offsetof(DrvInfo, wszDriverPath) == 4, "DrvInfo layout");
static_assert(offsetof(DrvInfo, action) == 2052, "DrvInfo layout");
static_assert(offsetof(DrvInfo, compare_state) == 2056, "DrvInfo layout");

// The driver-status record handed to the callback: 112 bytes.
struct DrvStatusInfo {
  uint32_t driver_id;
  uint32_t status;
  char version[100];
  uint8_t flag;
  uint8_t padding[3];
};
static_assert(sizeof(DrvStatusInfo) == 112, "DrvStatusInfo is 112 bytes");
static_assert(offsetof(DrvStatusInfo, status) == 4, "DrvStatusInfo layout");
static_assert(offsetof(DrvStatusInfo, version) == 8, "DrvStatusInfo layout");
static_assert(offsetof(DrvStatusInfo, flag) == 108, "DrvStatusInfo layout");

using StatusCallback = uint32_t (*)(const DrvStatusInfo*, void*);
using DriversDoActionFn = uint32_t (*)(const DrvInfo*, uint32_t);
using EnumerateDriversInfoFn = uint32_t (*)(StatusCallback, void*);
using GetHelperOwnerModuleIdFn = uint32_t (*)();
using GetModuleVersionFn = void (*)(uint32_t*);

struct Plugin {
  HMODULE module = nullptr;
  DriversDoActionFn do_action = nullptr;
  EnumerateDriversInfoFn enumerate = nullptr;
  GetHelperOwnerModuleIdFn owner_id = nullptr;
  GetModuleVersionFn module_version = nullptr;
};

const char* Meaning(uint32_t code) {
  switch (code) {
    case 0x201A0001: return "success";
    case 0x201A0002: return "success, but the running driver could not be stopped for the update";
    case 0xE01A0004: return "the driver service is running";
    case 0xE01A0008: return "the driver service exists and is not running";
    case 0xE01A0009: return "the driver service status could not be read";
    case 0xE01A000A: return "unknown action, or the driver path could not be normalised";
    case 0xE01A000B: return "the new driver did not start; the original driver file was restored";
    case 0xE01A000C: return "failed; the batch was ended";
    case 0xE01A000E: return "restoring or restarting the original driver failed";
    case 0xE01A0019: return "the running driver could not be stopped";
    default: return "not a result code of this plug-in";
  }
}

bool IsSuccess(uint32_t code) { return (code & 0xFFFF0000u) == 0x201A0000u; }

void PrintCode(const char* label, uint32_t code) {
  std::printf("%-17s0x%08X (%s)\n", label, code, Meaning(code));
}

int Usage() {
  std::fprintf(stderr,
               "usage: zyhost [--plugin <dll path>] <command>\n"
               "commands:\n"
               "  status    report the driver's service state and file version\n"
               "  info      show the plug-in's owner module id and module version\n");
  return 2;
}

bool LoadPlugin(const std::wstring& path, Plugin& plugin) {
  plugin.module = LoadLibraryW(path.c_str());
  if (plugin.module == nullptr) {
    std::fprintf(stderr, "zyhost: cannot load %ls (error %lu)\n", path.c_str(), GetLastError());
    return false;
  }
  auto resolve = [&plugin](const char* name) {
    void* p = reinterpret_cast<void*>(GetProcAddress(plugin.module, name));
    if (p == nullptr) std::fprintf(stderr, "zyhost: the plug-in does not export %s\n", name);
    return p;
  };
  plugin.do_action = reinterpret_cast<DriversDoActionFn>(resolve("Plugin_Interface_DriversDoAction"));
  plugin.enumerate =
      reinterpret_cast<EnumerateDriversInfoFn>(resolve("Plugin_Interface_EnumerateDriversInfo"));
  plugin.owner_id =
      reinterpret_cast<GetHelperOwnerModuleIdFn>(resolve("Plugin_Interface_GetHelperOwnerModuleID"));
  plugin.module_version =
      reinterpret_cast<GetModuleVersionFn>(resolve("Plugin_Interface_GetModuleVersion"));
  return plugin.do_action && plugin.enumerate && plugin.owner_id && plugin.module_version;
}

std::wstring DefaultPluginPath() {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return L"helperZYHOKDriver.dll";
  std::wstring path(self, n);
  size_t slash = path.find_last_of(L"\\/");
  path = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
  return path + L"helperZYHOKDriver.dll";
}

struct StatusCopy {
  bool called = false;
  int calls = 0;
  DrvStatusInfo info = {};
};

uint32_t OnStatus(const DrvStatusInfo* info, void* context) {
  auto* copy = static_cast<StatusCopy*>(context);
  ++copy->calls;
  if (info != nullptr) {
    copy->called = true;
    std::memcpy(&copy->info, info, sizeof(DrvStatusInfo));
  }
  return 0;
}

int CommandStatus(const Plugin& plugin) {
  StatusCopy copy;
  const uint32_t result = plugin.enumerate(&OnStatus, &copy);
  if (copy.called) {
    char version[sizeof(copy.info.version) + 1] = {};
    std::memcpy(version, copy.info.version, sizeof(copy.info.version));  // never trust the NUL
    std::printf("%-17s0x%08X\n", "driver id:", copy.info.driver_id);
    PrintCode("status:", copy.info.status);
    std::printf("%-17s%s\n", "version:", version);
    std::printf("%-17s%u\n", "flag:", copy.info.flag);
  } else {
    std::printf("the plug-in did not call back\n");
  }
  if (copy.calls != 1) std::printf("callback calls:  %d\n", copy.calls);
  PrintCode("result:", result);
  return IsSuccess(result) && copy.called ? 0 : 1;
}

int CommandInfo(const Plugin& plugin) {
  uint32_t version[3] = {0, 0, 0};
  plugin.module_version(version);
  std::printf("%-17s%u\n", "owner module id:", plugin.owner_id());
  std::printf("%-17s%u.%u.%u\n", "module version:", version[0], version[1], version[2]);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring plugin_path = DefaultPluginPath();
  int i = 1;
  while (i < argc && std::wcsncmp(argv[i], L"--", 2) == 0) {
    if (std::wcscmp(argv[i], L"--plugin") == 0 && i + 1 < argc) {
      plugin_path = argv[i + 1];
      i += 2;
    } else {
      return Usage();
    }
  }
  if (i >= argc) return Usage();
  const std::wstring command = argv[i];
  const int rest = argc - i - 1;
  if (command != L"status" && command != L"info") return Usage();
  if (rest != 0) return Usage();

  Plugin plugin;
  if (!LoadPlugin(plugin_path, plugin)) return 2;
  int status = command == L"status" ? CommandStatus(plugin) : CommandInfo(plugin);
  std::fflush(stdout);
  FreeLibrary(plugin.module);
  return status;
}
